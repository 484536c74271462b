#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/CVolumeListPage.h"
#include "platform/TextEncoding.h"

namespace {

std::string U8(const std::u16string& s) { return platform::Utf16ToUtf8(s); }

constexpr uint64_t kGiB = uint64_t{1} << 30;

VolumeInfo Volume(char16_t letter, const char16_t* label, const char16_t* fs, bool system = false) {
    VolumeInfo v;
    v.DriveLetter = letter;
    v.DevicePath = std::string("/dev/vol") + static_cast<char>(letter);
    v.Label = label;
    v.FileSystem = fs;
    v.IsSystem = system;
    if (letter == u'F') v.MountPoints = {"/media/camera", "/mnt/x"};
    return v;
}

// A drive table as the enumeration finds it: the system volume (NTFS, so that leaving it out
// is the list's doing), NTFS volumes with and without a label, FAT32 and FAT, exFAT, and an
// NTFS volume whose free space cannot be read.
std::vector<VolumeInfo> Drives() {
    return {Volume(u'C', u"System", u"NTFS", true), Volume(u'D', u"Daten", u"NTFS"),
            Volume(u'E', u"", u"NTFS"),             Volume(u'F', u"CAMERA", u"FAT32"),
            Volume(u'G', u"", u"FAT"),              Volume(u'H', u"Stick", u"exFAT"),
            Volume(u'I', u"Kaputt", u"NTFS"),       Volume(u'J', u"", u"ext4")};
}

bool Space(const VolumeInfo& v, VolumeSpace* s) {
    if (v.DriveLetter == u'I') return false;
    s->TotalBytes = (v.DriveLetter - u'A') * kGiB;
    s->FreeBytes = s->TotalBytes / 4;
    return true;
}

TEST(VolumeListModel, ListsTheModulesVolumesWithoutTheSystemVolume) {
    struct Row {
        const char* name;
        const char* fs;
        char letter;
        const char* label;
    };
    struct Case {
        int filter;
        std::vector<Row> rows;
    } cases[] = {
        {kFilterNtfs, {{"Daten (D:)", "NTFS", 'D', "Daten"}, {" (E:)", "NTFS", 'E', ""}, {"Kaputt (I:)", "NTFS", 'I', "Kaputt"}}},
        {kFilterFat, {{"CAMERA (F:)", "FAT32", 'F', "CAMERA"}, {" (G:)", "FAT", 'G', ""}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.filter);
        std::unique_ptr<CVolumeListModel> model = CVolumeListModel::Enumerate(c.filter, Drives(), Space);
        ASSERT_EQ(model->GetRowCount(), static_cast<int>(c.rows.size()));
        for (size_t i = 0; i < c.rows.size(); ++i) {
            const Row& r = c.rows[i];
            const int row = static_cast<int>(i);
            EXPECT_EQ(U8(model->GetCellText(row, 0)), r.name);
            EXPECT_EQ(U8(model->GetCellText(row, 1)), r.fs);
            EXPECT_EQ(U8(model->GetCellText(row, 3)), r.fs);
            EXPECT_EQ(model->DriveLetters[i], static_cast<char16_t>(r.letter));
            EXPECT_EQ(U8(model->Labels[i]), r.label);
            EXPECT_EQ(model->GetCellColor(row, 2), ListRgb(30, 30, 30));
        }
        // The six arrays (and the tooltips) stay of one length.
        for (size_t n : {model->DisplayNames.size(), model->FileSystems.size(), model->TotalBytes.size(),
                         model->FreeBytes.size(), model->Labels.size(), model->ToolTips.size()})
            EXPECT_EQ(n, c.rows.size());
    }
}

TEST(VolumeListModel, SizesAndTheirUnknownCase) {
    std::unique_ptr<CVolumeListModel> model = CVolumeListModel::Enumerate(kFilterNtfs, Drives(), Space);
    ASSERT_EQ(model->GetRowCount(), 3);
    EXPECT_EQ(model->GetCellBytes(0, 2), static_cast<int64_t>(3 * kGiB));  // D: total
    EXPECT_EQ(model->GetCellBytes(0, 3), static_cast<int64_t>(3 * kGiB / 4));
    EXPECT_EQ(model->GetCellBytes(0, 1), static_cast<int64_t>(3 * kGiB / 4));  // any other column: free
    EXPECT_EQ(model->GetCellBytes(2, 2), -1);  // I: listed although its space is unknown
    EXPECT_EQ(model->GetCellBytes(2, 3), -1);
    EXPECT_EQ(model->GetCellBytes(7, 2), -1);  // no such row
    EXPECT_EQ(model->GetCellText(-1, 0), u"");

    // Defaults of the interface that the volume model keeps.
    EXPECT_EQ(model->GetCellNumber(0, 0), -1);
    EXPECT_EQ(model->GetRowExpansion(0), -1);
    EXPECT_EQ(model->GetRowFlags(0), 0u);
    EXPECT_EQ(model->GetCellDate(0, 0), 0);
    EXPECT_EQ(model->GetCellFsType(0, 0), 0);
}

TEST(VolumeListModel, ToolTipNamesTheDeviceAndItsMounts) {
    std::unique_ptr<CVolumeListModel> fat = CVolumeListModel::Enumerate(kFilterFat, Drives(), Space);
    EXPECT_EQ(U8(fat->GetRowToolTip(0)), "/dev/volF\nmounted at /media/camera\nmounted at /mnt/x");
    EXPECT_EQ(U8(fat->GetRowToolTip(1)), "/dev/volG\nnot mounted");
}

TEST(VolumeListModel, FormatSize) {
    constexpr int64_t K = 1024, M = K * K, G = M * K, T = G * K;
    struct Case {
        int64_t bytes;
        const char* text;
    } cases[] = {
        {0, "0.000 B"},           {9, "9.000 B"},           {99, "99.00 B"},
        {999, "999.0 B"},         {1000, "1000 B"},         {1023, "1023 B"},
        {1024, "1.000 KB"},       {1536, "1.500 KB"},       {10 * K, "10.00 KB"},
        {1000 * M, "1000 MB"},    {1023 * M + M / 2, "1024 MB"},  // rounded, not moved to GB
        {G, "1.000 GB"},          {T, "1.000 TB"},          {1023 * T, "1023 TB"},
        {1024 * T, "1024 TB"},    {2048 * T, "2048 TB"},    {INT64_MAX, "8388608 TB"},
    };
    for (const Case& c : cases) EXPECT_EQ(U8(FormatSize(c.bytes)), c.text) << c.bytes;
}

TEST(VolumeListModel, FsTypeName) {
    const char* names[] = {"", "NTFS", "FAT12", "FAT16", "FAT32", ""};
    for (int code = 0; code < 6; ++code) EXPECT_EQ(U8(FsTypeName(code)), names[code]) << code;
    EXPECT_EQ(U8(FsTypeName(-1)), "");
}

}  // namespace
