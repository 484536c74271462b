#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "device/VolumePreparation.h"
#include "tests/support/TempImage.h"

namespace {

using platform::kInvalidVolume;
using testsupport::TempImage;

// Real exclusive opens, recorded; dismounts and pauses only recorded. `onDismount` lets a
// test free the volume the way an unmount would.
struct Recorder {
    int opens = 0;
    std::vector<std::string> dismounts;
    std::vector<int> sleeps;
    std::vector<std::u16string> questions;
    std::function<void()> onDismount;

    VolumeLockActions Actions() {
        VolumeLockActions a = DefaultVolumeLockActions();
        auto realOpen = a.open;
        a.open = [this, realOpen](const std::string& path, int* error) {
            ++opens;
            return realOpen(path, error);
        };
        a.dismount = [this](const std::string& path) {
            dismounts.push_back(path);
            if (onDismount) onDismount();
        };
        a.sleep = [this](int ms) { sleeps.push_back(ms); };
        return a;
    }
    VolumeQuestion Answer(bool yes) {
        return [this, yes](const char16_t* text) {
            questions.emplace_back(text);
            return yes;
        };
    }
};

// Another program's exclusive hold on an image.
struct Holder {
    explicit Holder(const std::string& path)
        : handle(platform::OpenVolume(path, platform::VolumeAccess::Exclusive, nullptr)) {}
    ~Holder() { Release(); }
    void Release() {
        platform::CloseVolume(handle);
        handle = kInvalidVolume;
    }
    platform::VolumeHandle handle;
};

TEST(LockVolume, FreeVolumeLocksAtOnceWithoutAQuestion) {
    TempImage image(64 * 512);
    Recorder r;
    const platform::VolumeHandle h = LockVolume(image.Path(), r.Answer(true), r.Actions());
    ASSERT_NE(h, kInvalidVolume);
    EXPECT_EQ(r.opens, 1);
    EXPECT_TRUE(r.questions.empty());
    EXPECT_TRUE(r.dismounts.empty());
    EXPECT_TRUE(r.sleeps.empty());

    // While locked nobody else gets it; after the release they do.
    Holder other(image.Path());
    EXPECT_EQ(other.handle, kInvalidVolume);
    EXPECT_EQ(GetVolumeSectors(h), 64u);
    ReleaseVolume(h);
    Holder later(image.Path());
    EXPECT_NE(later.handle, kInvalidVolume);
}

TEST(LockVolume, VolumeInUseAndUserSaysNo) {
    TempImage image(4096);
    Holder other(image.Path());
    ASSERT_NE(other.handle, kInvalidVolume);
    Recorder r;
    EXPECT_EQ(LockVolume(image.Path(), r.Answer(false), r.Actions()), kInvalidVolume);
    EXPECT_EQ(r.opens, 1);
    ASSERT_EQ(r.questions.size(), 1u);
    EXPECT_EQ(r.questions[0],
              u"Some programs is running on the volume that need to be converted, \nThe "
              u"converting may affect these running program, would you like to continue?");
    EXPECT_TRUE(r.dismounts.empty());
    EXPECT_TRUE(r.sleeps.empty());
}

TEST(LockVolume, VolumeThatStaysInUseAfterYes) {
    TempImage image(4096);
    Holder other(image.Path());
    Recorder r;
    EXPECT_EQ(LockVolume(image.Path(), r.Answer(true), r.Actions()), kInvalidVolume);
    EXPECT_EQ(r.opens, 3);
    EXPECT_EQ(r.questions.size(), 1u);
    EXPECT_EQ(r.dismounts, std::vector<std::string>(3, image.Path()));
    EXPECT_EQ(r.sleeps, (std::vector<int>{800, 800, 800}));
}

TEST(LockVolume, VolumeFreedByTheDismountLocksOnTheNextAttempt) {
    TempImage image(4096);
    Holder other(image.Path());
    Recorder r;
    r.onDismount = [&] { other.Release(); };
    const platform::VolumeHandle h = LockVolume(image.Path(), r.Answer(true), r.Actions());
    EXPECT_NE(h, kInvalidVolume);
    EXPECT_EQ(r.opens, 2);
    EXPECT_EQ(r.questions.size(), 1u);
    EXPECT_EQ(r.dismounts.size(), 1u);
    ReleaseVolume(h);
}

TEST(LockVolume, UnopenableVolumesEndWithoutAQuestion) {
    Recorder r;
    EXPECT_EQ(LockVolume(std::string("/nonexistent/velundra.img"), r.Answer(true), r.Actions()),
              kInvalidVolume);
    EXPECT_EQ(LockVolume(u'1', r.Answer(true), r.Actions()), kInvalidVolume);
    EXPECT_EQ(LockVolume(u'\u00C4', r.Answer(true), r.Actions()), kInvalidVolume);
    EXPECT_EQ(r.opens, 1);
    EXPECT_TRUE(r.questions.empty());
    EXPECT_TRUE(r.dismounts.empty());
}

TEST(VolumeQueries, SectorsDropTheRemainderAndFailAsAllOnes) {
    TempImage image(10 * 512 + 511);
    const platform::VolumeHandle h =
        platform::OpenVolume(image.Path(), platform::VolumeAccess::Shared, nullptr);
    EXPECT_EQ(GetVolumeSectors(h), 10u);
    platform::CloseVolume(h);
    EXPECT_EQ(GetVolumeSectors(kInvalidVolume), UINT64_MAX);
    EXPECT_FALSE(IsWindows2000());
    ReleaseVolume(kInvalidVolume);  // harmless
}

}  // namespace
