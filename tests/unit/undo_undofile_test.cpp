// Undo files on volumes held in memory: what is saved, the order of saving and writing, the
// rollback, and every way a file is refused before anything is written.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

#include "device/Log.h"
#include "platform/LocalTime.h"
#include "tests/support/FaultyDevice.h"
#include "tests/support/MemoryDevice.h"
#include "undo/CUndoVolumeDevice.h"
#include "undo/Crc32c.h"

namespace {

using namespace testsupport;

[[maybe_unused]] const bool kQuietLog = UseFileLog("/dev/null");

constexpr uint64_t kSectors = 256;

std::vector<uint8_t> RandomBytes(size_t n, unsigned seed) {
    std::mt19937 random(seed);
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = static_cast<uint8_t>(random());
    return v;
}

// A fresh undo file path in a private directory.
struct UndoPath {
    UndoPath() : dir(std::filesystem::temp_directory_path() /
                     ("velundra-undo-" + std::to_string(std::random_device{}()))) {
        std::filesystem::create_directories(dir);
    }
    ~UndoPath() { std::filesystem::remove_all(dir); }
    std::string File() const { return (dir / "volume.undo").string(); }
    std::filesystem::path dir;
};

// An undo device over `inner` whose used sectors are those for which used(s) is true.
std::unique_ptr<CUndoVolumeDevice> MakeUndo(CVolumeDevice& inner, const std::string& path,
                                            const std::vector<uint8_t>& original) {
    uint8_t boot[512];
    std::memcpy(boot, original.data(), 512);
    auto writer = std::make_unique<CUndoWriter>();
    std::string problem;
    EXPECT_TRUE(writer->Create(path, MakeUndoHeader(UndoDirection::NtfsToFat32, kSectors, boot), &problem))
        << problem;
    CUsedSectors used;
    used.UseAll(kSectors);
    return std::make_unique<CUndoVolumeDevice>(inner, std::move(writer), std::move(used));
}

// A conversion-like write pattern: overlapping runs, rewrites, sector 0 last.
void WriteAll(CVolumeDevice& device) {
    const struct { uint64_t first, count; unsigned seed; } writes[] = {
        {10, 20, 1}, {25, 10, 2}, {10, 5, 3}, {200, 56, 4}, {100, 1, 5}, {6, 1, 6}, {0, 1, 7},
    };
    for (const auto& w : writes) {
        const auto data = RandomBytes(w.count * 512, w.seed);
        device.WriteSectors(data.data(), w.first, w.count);
    }
}

TEST(Crc32c, KnownValues) {
    EXPECT_EQ(Crc32c("123456789", 9), 0xE3069283u);
    EXPECT_EQ(Crc32c("", 0), 0u);
    // Continuing over two pieces equals one pass.
    EXPECT_EQ(Crc32c("6789", 4, Crc32c("12345", 5)), 0xE3069283u);
}

TEST(UndoFile, RollbackRestoresEverySectorAndSavesEachOnce) {
    const auto original = RandomBytes(kSectors * 512, 42);
    MemoryDevice volume(original);
    UndoPath path;
    {
        auto undo = MakeUndo(volume, path.File(), original);
        WriteAll(*undo);
        // The first write saves its sectors and the rest of the volume ahead of it; the writes
        // below it save what lies before: every sector once.
        EXPECT_EQ(undo->SavedSectors(), kSectors);
    }
    ASSERT_NE(volume.Bytes(), original);
    std::string problem;
    ASSERT_TRUE(RollbackVolume(path.File(), &volume, &problem)) << problem;
    EXPECT_EQ(volume.Bytes(), original);
    // A second rollback of a rolled-back volume changes nothing.
    ASSERT_TRUE(RollbackVolume(path.File(), &volume, &problem)) << problem;
    EXPECT_EQ(volume.Bytes(), original);
}

TEST(UndoFile, OnlyUsedSectorsAreSavedAndRestored) {
    // Clusters of 8 sectors from sector 16; every other cluster used; sectors 0..15 used.
    const auto original = RandomBytes(kSectors * 512, 7);
    MemoryDevice volume(original);
    UndoPath path;
    uint8_t boot[512];
    std::memcpy(boot, original.data(), 512);
    auto writer = std::make_unique<CUndoWriter>();
    std::string problem;
    ASSERT_TRUE(writer->Create(path.File(), MakeUndoHeader(UndoDirection::FatToNtfs, kSectors, boot), &problem));
    CUsedSectors used;
    used.Assign(kSectors, 16, 8, (kSectors - 16) / 8, std::vector<uint8_t>(4, 0x55));
    {
        CUndoVolumeDevice undo(volume, std::move(writer), used);
        const auto data = RandomBytes(kSectors * 512, 1);
        ASSERT_EQ(undo.WriteSectors(data.data(), 0, kSectors), 1);
        EXPECT_EQ(undo.SavedSectors(), 16u + 15 * 8);
        EXPECT_EQ(undo.SavedSectors(), used.UsedCount());
    }
    ASSERT_TRUE(RollbackVolume(path.File(), &volume, &problem)) << problem;
    for (uint64_t s = 0; s < kSectors; ++s) {
        const bool same = std::memcmp(volume.Bytes().data() + s * 512, original.data() + s * 512, 512) == 0;
        EXPECT_EQ(same, used.IsUsed(s)) << "sector " << s;
    }
}

TEST(UndoFile, PowerCutAtEveryWriteStillRollsBack) {
    const auto original = RandomBytes(kSectors * 512, 9);
    for (uint64_t cut = 1; cut <= 8; ++cut) {
        SCOPED_TRACE("power cut before write " + std::to_string(cut));
        MemoryDevice volume(original);
        FaultyDevice disk(volume);
        disk.FailWritesFrom(cut);
        UndoPath path;
        {
            auto undo = MakeUndo(disk, path.File(), original);
            WriteAll(*undo);
        }
        std::string problem;
        ASSERT_TRUE(RollbackVolume(path.File(), &volume, &problem)) << problem;
        EXPECT_EQ(volume.Bytes(), original);
    }
}

TEST(UndoFile, InterruptedRollbackRunAgainEndsIdentical) {
    const auto original = RandomBytes(kSectors * 512, 11);
    MemoryDevice volume(original);
    UndoPath path;
    { WriteAll(*MakeUndo(volume, path.File(), original)); }
    UndoContents contents;
    std::string read;
    ASSERT_TRUE(ReadUndoFile(path.File(), &contents, &read)) << read;
    ASSERT_GE(contents.Extents.size(), 2u);
    // Cut before each of the rollback's writes (one per saved extent).
    for (uint64_t cut = 1; cut <= contents.Extents.size(); ++cut) {
        FaultyDevice disk(volume);
        disk.FailWritesFrom(cut);
        std::string problem;
        EXPECT_FALSE(RollbackVolume(path.File(), &disk, &problem));
    }
    std::string problem;
    ASSERT_TRUE(RollbackVolume(path.File(), &volume, &problem)) << problem;
    EXPECT_EQ(volume.Bytes(), original);
}

// Damage or a foreign volume is refused before anything is written.
TEST(UndoFile, RefusedFilesWriteNothing) {
    const auto original = RandomBytes(kSectors * 512, 13);
    UndoPath path;
    std::vector<uint8_t> converted;
    {
        MemoryDevice volume(original);
        WriteAll(*MakeUndo(volume, path.File(), original));
        converted = volume.Bytes();
    }
    const auto fileBytes = [&] {
        std::ifstream in(path.File(), std::ios::binary);
        return std::vector<char>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }();
    const auto writeFile = [&](const std::vector<char>& bytes) {
        std::ofstream(path.File(), std::ios::binary | std::ios::trunc).write(bytes.data(), bytes.size());
    };

    struct Case {
        const char* what;
        std::function<void(std::vector<char>&, std::vector<uint8_t>&)> change;
        const char* reason;
    };
    const Case cases[] = {
        {"a data byte of the first record", [](auto& f, auto&) { f[sizeof(UNDO_FILE_HEADER) + 32 + 5] ^= 1; },
         "damaged"},
        {"the header's old boot sector", [](auto& f, auto&) { f[0x30] ^= 1; }, "damaged"},
        {"not an undo file", [](auto& f, auto&) { f[0] = 'X'; }, "not an undo file"},
        {"another volume's boot sector", [](auto&, auto& v) { v[3] ^= 1; }, "does not belong"},
        {"a longer volume", [](auto&, auto& v) { v.resize(v.size() + 512); }, "sectors"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto file = fileBytes;
        auto volumeBytes = converted;
        c.change(file, volumeBytes);
        writeFile(file);
        MemoryDevice volume(volumeBytes);
        std::string problem;
        EXPECT_FALSE(RollbackVolume(path.File(), &volume, &problem));
        EXPECT_NE(problem.find(c.reason), std::string::npos) << problem;
        EXPECT_EQ(volume.Bytes(), volumeBytes);
    }
}

TEST(UndoFile, TornTailAfterTheLastSyncIsLeftOut) {
    const auto original = RandomBytes(kSectors * 512, 17);
    MemoryDevice volume(original);
    UndoPath path;
    { WriteAll(*MakeUndo(volume, path.File(), original)); }
    // Half a record appended after the last mark: what a power cut during an append leaves.
    {
        std::ofstream out(path.File(), std::ios::binary | std::ios::app);
        UNDO_RECORD_HEADER r{};
        r.Magic = kUndoRecordMagic;
        out.write(reinterpret_cast<const char*>(&r), 12);
    }
    UndoContents contents;
    std::string problem;
    ASSERT_TRUE(ReadUndoFile(path.File(), &contents, &problem)) << problem;
    EXPECT_TRUE(contents.TornTail);
    ASSERT_TRUE(RollbackVolume(path.File(), &volume, &problem)) << problem;
    EXPECT_EQ(volume.Bytes(), original);
}

TEST(UndoFile, AnExistingFileIsNeverOverwritten) {
    UndoPath path;
    std::ofstream(path.File()) << "an earlier undo file";
    uint8_t boot[512] = {};
    CUndoWriter writer;
    std::string problem;
    EXPECT_FALSE(writer.Create(path.File(), MakeUndoHeader(UndoDirection::FatToNtfs, 8, boot), &problem));
    EXPECT_NE(problem.find("exists already"), std::string::npos) << problem;
    std::ifstream in(path.File());
    std::string text;
    std::getline(in, text);
    EXPECT_EQ(text, "an earlier undo file");
}

TEST(UndoFile, TheWizardKeepsItsUndoFilesInTheDataFolder) {
    UndoPath path;
    platform::SetLocalClock([] {
        platform::LocalClockTime t;
        t.year = 2026, t.month = 12, t.day = 11, t.hour = 9, t.minute = 5, t.second = 7;
        return t;
    });
    const std::string data = (path.dir / "data").string();
    setenv("VELUNDRA_DATA_DIR", data.c_str(), 1);
    std::string problem;
    EXPECT_EQ(WizardUndoPath('E', &problem), data + "/undo/20261211-090507-E.undo") << problem;
    EXPECT_TRUE(std::filesystem::is_directory(data + "/undo"));
    // A folder that cannot be made is named.
    const std::string blocked = (path.dir / "file").string();
    std::ofstream(blocked) << "x";
    setenv("VELUNDRA_DATA_DIR", blocked.c_str(), 1);
    EXPECT_EQ(WizardUndoPath('E', &problem), "");
    EXPECT_NE(problem.find(blocked + "/undo"), std::string::npos) << problem;
    unsetenv("VELUNDRA_DATA_DIR");
    platform::SetLocalClock({});
}

}  // namespace
