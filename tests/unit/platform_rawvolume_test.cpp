#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/RawVolume.h"
#include "tests/support/TempImage.h"

namespace {

using platform::CloseVolume;
using platform::kInvalidVolume;
using platform::OpenVolume;
using platform::ReadAt;
using platform::VolumeAccess;
using platform::WriteAt;
using testsupport::TempImage;

constexpr uint64_t kGiB = uint64_t{1} << 30;

// Closes a handle at scope exit.
struct Handle {
    explicit Handle(platform::VolumeHandle h) : fd(h) {}
    ~Handle() { CloseVolume(fd); }
    platform::VolumeHandle fd;
};

TEST(RawVolume, TransfersAtOffsetsBeyondFourGiB) {
    TempImage image(6 * kGiB);
    int error = -1;
    Handle h(OpenVolume(image.Path(), VolumeAccess::Shared, &error));
    ASSERT_NE(h.fd, kInvalidVolume) << error;

    uint64_t length = 0;
    ASSERT_TRUE(platform::VolumeLengthBytes(h.fd, &length, &error));
    EXPECT_EQ(length, 6 * kGiB);
    EXPECT_FALSE(platform::IsBlockDevice(h.fd));

    // Two sectors straddling the 5 GiB mark; a 32-bit offset would land near 1 GiB.
    const uint64_t offset = 5 * kGiB - 512;
    std::vector<unsigned char> out(1024), in(1024);
    for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<unsigned char>(i * 7 + 1);
    ASSERT_TRUE(WriteAt(h.fd, out.data(), out.size(), offset, &error)) << error;
    ASSERT_TRUE(ReadAt(h.fd, in.data(), in.size(), offset, &error)) << error;
    EXPECT_EQ(in, out);

    // Nothing landed at the offset's low 32 bits.
    std::vector<unsigned char> low(1024, 0xFF);
    ASSERT_TRUE(ReadAt(h.fd, low.data(), low.size(), offset & 0xFFFFFFFFu, &error));
    EXPECT_EQ(low, std::vector<unsigned char>(1024, 0));
}

TEST(RawVolume, TransfersReachingTheEndFail) {
    TempImage image(4096);
    int error = 0;
    Handle h(OpenVolume(image.Path(), VolumeAccess::Shared, &error));
    ASSERT_NE(h.fd, kInvalidVolume);
    std::vector<unsigned char> buf(1024, 0xAB);

    // The last 512 bytes exist, the next 512 do not: the read is short and so a failure.
    EXPECT_FALSE(ReadAt(h.fd, buf.data(), 1024, 4096 - 512, &error));
    EXPECT_EQ(error, EIO);
    EXPECT_TRUE(ReadAt(h.fd, buf.data(), 512, 4096 - 512, &error));

    // A write past the end fails and does not grow the image.
    EXPECT_FALSE(WriteAt(h.fd, buf.data(), 1024, 4096 - 512, &error));
    EXPECT_EQ(error, ENOSPC);
    uint64_t length = 0;
    ASSERT_TRUE(platform::VolumeLengthBytes(h.fd, &length, &error));
    EXPECT_EQ(length, 4096u);

    // Zero bytes succeed anywhere; offsets off_t cannot hold fail cleanly.
    EXPECT_TRUE(ReadAt(h.fd, buf.data(), 0, 1u << 20, &error));
    EXPECT_TRUE(WriteAt(h.fd, buf.data(), 0, 1u << 20, &error));
    EXPECT_FALSE(ReadAt(h.fd, buf.data(), 512, UINT64_MAX - 100, &error));
    EXPECT_EQ(error, EINVAL);
    EXPECT_FALSE(ReadAt(kInvalidVolume, buf.data(), 512, 0, &error));
    EXPECT_EQ(error, EBADF);
}

TEST(RawVolume, ExclusiveOpenOfAnImageIsRefusedWhileHeld) {
    TempImage image(4096);
    int error = 0;
    {
        Handle first(OpenVolume(image.Path(), VolumeAccess::Exclusive, &error));
        ASSERT_NE(first.fd, kInvalidVolume) << error;

        Handle second(OpenVolume(image.Path(), VolumeAccess::Exclusive, &error));
        EXPECT_EQ(second.fd, kInvalidVolume);
        EXPECT_EQ(error, EWOULDBLOCK);

        // A shared open still works (the converter's own reads are never blocked by itself).
        Handle shared(OpenVolume(image.Path(), VolumeAccess::Shared, &error));
        EXPECT_NE(shared.fd, kInvalidVolume);
    }
    // Closing releases the lock.
    Handle again(OpenVolume(image.Path(), VolumeAccess::Exclusive, &error));
    EXPECT_NE(again.fd, kInvalidVolume) << error;
}

// A read-only open takes no lock, so it works while another open holds the image
// exclusively, and it cannot write.
TEST(RawVolume, ReadOnlyOpenReadsBesideAnExclusiveHolderAndNeverWrites) {
    TempImage image(4096);
    int error = 0;
    Handle holder(OpenVolume(image.Path(), VolumeAccess::Exclusive, &error));
    ASSERT_NE(holder.fd, kInvalidVolume) << error;
    const std::vector<unsigned char> marked(512, 0x5A);
    ASSERT_TRUE(WriteAt(holder.fd, marked.data(), marked.size(), 512, &error)) << error;

    Handle reader(OpenVolume(image.Path(), VolumeAccess::ReadOnly, &error));
    ASSERT_NE(reader.fd, kInvalidVolume) << error;
    std::vector<unsigned char> in(512, 0);
    ASSERT_TRUE(ReadAt(reader.fd, in.data(), in.size(), 512, &error)) << error;
    EXPECT_EQ(in, marked);
    const std::vector<unsigned char> zeros(512, 0);
    EXPECT_FALSE(WriteAt(reader.fd, zeros.data(), zeros.size(), 512, &error));
    EXPECT_EQ(error, EBADF);
    ASSERT_TRUE(ReadAt(holder.fd, in.data(), in.size(), 512, &error)) << error;
    EXPECT_EQ(in, marked);
}

TEST(RawVolume, OpenRefusesWhatIsNotAVolume) {
    int error = 0;
    EXPECT_EQ(OpenVolume("/nonexistent/velundra.img", VolumeAccess::Shared, &error),
              kInvalidVolume);
    EXPECT_EQ(error, ENOENT);
    EXPECT_EQ(OpenVolume("/tmp", VolumeAccess::Shared, &error), kInvalidVolume);
    EXPECT_EQ(error, ENOTBLK);
}

TEST(RawVolume, FileGeometryFallsBackAndFlushWorks) {
    TempImage image(4096);
    int error = 0;
    Handle h(OpenVolume(image.Path(), VolumeAccess::Shared, &error));
    ASSERT_NE(h.fd, kInvalidVolume);
    error = -1;
    const platform::DiskGeometry g = platform::QueryGeometry(h.fd, &error);
    EXPECT_EQ(error, 0);  // a file has no geometry to ask for: not an error
    EXPECT_EQ(g.sectorsPerTrack, 63u);
    EXPECT_EQ(g.heads, 255u);
    EXPECT_TRUE(platform::FlushVolume(h.fd));
}

}  // namespace
