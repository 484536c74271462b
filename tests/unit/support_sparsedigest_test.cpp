// The digest of sparse images that the refusal tests of large volumes rely on to prove that
// nothing was written: it must change with any write, zeros into a hole included, and stay
// the same otherwise, without reading the holes.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "tests/support/SparseDigest.h"
#include "tests/support/TempImage.h"

using namespace testsupport;

namespace {

void WriteAt(const std::string& path, uint64_t offset, const std::string& bytes) {
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(offset));
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(f.good()) << path;
}

}  // namespace

TEST(SparseFileDigest, ChangesWithEveryWriteAndOnlyThen) {
    // 64 GiB of holes with a little data: hashing every byte would take minutes.
    TempImage image(uint64_t{64} << 30, "digest");
    WriteAt(image.Path(), 4096, std::string(8192, 'a'));
    WriteAt(image.Path(), uint64_t{40} << 30, "tail data");
    const std::string first = SparseFileDigest(image.Path());
    EXPECT_EQ(first.size(), 64u);
    EXPECT_EQ(SparseFileDigest(image.Path()), first);

    struct Step {
        const char* what;
        uint64_t offset;
        std::string bytes;
    };
    const Step steps[] = {
        {"one byte of the data changed", 4096 + 100, "b"},
        {"zeros written into a hole", uint64_t{20} << 30, std::string(4096, '\0')},
        {"a byte past the old end", uint64_t{64} << 30, "x"},
    };
    std::string last = first;
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        WriteAt(image.Path(), s.offset, s.bytes);
        const std::string now = SparseFileDigest(image.Path());
        EXPECT_NE(now, last);
        EXPECT_EQ(SparseFileDigest(image.Path()), now);
        last = now;
    }
}

TEST(SparseFileDigest, MissingFileIsAnError) {
    EXPECT_THROW(SparseFileDigest("/nonexistent/velundra-digest.img"), std::runtime_error);
}
