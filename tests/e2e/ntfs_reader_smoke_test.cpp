// The NTFS reader on volumes made by mkntfs and filled through ntfs-3g: names, directory
// indexes with blocks, resident and non-resident data read back byte for byte, the label,
// with 512- and 4096-byte sectors.

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "device/CVolumeDevice.h"
#include "ntfs/CIndexEntry.h"
#include "ntfs/CNTFSVolume.h"
#include "platform/RawVolume.h"
#include "platform/TextEncoding.h"
#include "tests/support/Command.h"

namespace {

using testsupport::RunShell;
using testsupport::ShellQuote;
using testsupport::TempDir;

std::string Pattern(size_t bytes, uint32_t seed) {
    std::mt19937 random(seed);
    std::string s(bytes, '\0');
    for (char& c : s) c = static_cast<char>(random());
    return s;
}

// What the test puts on the volume: path -> content.
std::map<std::string, std::string> Contents() {
    std::map<std::string, std::string> files;
    files["hello.txt"] = "hello, reader\n";                  // resident
    files["data/big.bin"] = Pattern(300000, 7);               // non-resident, several runs at most
    files["data/odd size.bin"] = Pattern(4097, 8);            // one byte into a second cluster
    files["data/\xc3\x9cnic\xc3\xb8" "de \xf0\x9f\x98\x80.txt"] = "unicode\n";
    for (int i = 0; i < 400; ++i) files["many/entry_with_a_longish_name_" + std::to_string(i)] = std::to_string(i);
    return files;
}

// Lists a directory's names (no DOS-only names, no system files) -> record numbers.
std::map<std::string, uint64_t> ListDirectory(CNTFSVolume* volume, uint64_t number) {
    std::map<std::string, uint64_t> names;
    CFileRecord dir(volume);
    EXPECT_TRUE(dir.LoadRecord(number));
    dir.TypeMask = 0x307;
    EXPECT_TRUE(dir.BuildAttributes());
    EXPECT_TRUE(EnumerateDirectory(&dir, [&](CSList<CIndexEntry>* entries) {
        for (CIndexEntry* e = entries->First(); e != nullptr; e = entries->Next()) {
            if (e->NameValue == nullptr || e->RecordNumber() < kFirstUserRecord || e->NameSpace() == kNamespaceDos) {
                continue;
            }
            const std::string name = platform::Utf16ToUtf8(e->Name());
            EXPECT_EQ(names.count(name), 0u) << "listed twice: " << name;
            names[name] = e->RecordNumber();
        }
        return true;
    }));
    return names;
}

std::string ReadData(CNTFSVolume* volume, uint64_t number) {
    CFileRecord rec(volume);
    EXPECT_TRUE(rec.LoadRecord(number));
    rec.TypeMask = 0x387;
    EXPECT_TRUE(rec.BuildAttributes());
    CAttrBase* data = rec.FirstUnnamedData();
    if (data == nullptr) return "<no data>";
    EXPECT_TRUE(data->RunsValid());
    std::string bytes(data->DataLength(), '\0');
    const uint64_t zero = 0;
    uint32_t got = 0;
    EXPECT_TRUE(data->ReadAt(&zero, bytes.data(), static_cast<uint32_t>(bytes.size()), &got));
    EXPECT_EQ(got, bytes.size());
    return bytes;
}

class ReaderSmoke : public testing::TestWithParam<int> {};

TEST_P(ReaderSmoke, ReadsWhatNtfs3gWrote) {
    const int sectorBytes = GetParam();
    TempDir dir("ntfs-smoke");
    const std::string image = dir.File("v.img");
    const std::string mnt = dir.File("mnt");
    auto r = RunShell("truncate -s 48M " + ShellQuote(image) + " && mkntfs -F -Q -q -s " + std::to_string(sectorBytes) +
                      " -L 'Smoke Test' " + ShellQuote(image) + " && mkdir " + ShellQuote(mnt) +
                      " && ntfs-3g " + ShellQuote(image) + " " + ShellQuote(mnt));
    ASSERT_TRUE(r.Ok()) << r.Describe();
    const auto files = Contents();
    r = RunShell("mkdir " + ShellQuote(mnt + "/data") + " " + ShellQuote(mnt + "/many"));
    ASSERT_TRUE(r.Ok()) << r.Describe();
    for (const auto& [path, content] : files) testsupport::WriteFileBytes(mnt + "/" + path, content);
    r = RunShell("umount " + ShellQuote(mnt));
    ASSERT_TRUE(r.Ok()) << r.Describe();

    int error = 0;
    const auto handle = platform::OpenVolume(image, platform::VolumeAccess::Shared, &error);
    ASSERT_NE(handle, platform::kInvalidVolume);
    {
        CVolumeDevice device(handle);
        CNTFSVolume volume(&device);
        ASSERT_TRUE(volume.IsVolumeOK()) << volume.RefusalReason();
        EXPECT_EQ(volume.SectorBytes, sectorBytes);
        EXPECT_EQ(volume.NtfsVersion, 0x0301);
        ASSERT_NE(volume.MftOwnData, nullptr);

        // The label.
        CFileRecord volumeRecord(&volume);
        ASSERT_TRUE(volumeRecord.LoadRecord(kVolumeRecord));
        volumeRecord.TypeMask = 0x63;
        ASSERT_TRUE(volumeRecord.BuildAttributes());
        auto* label = static_cast<CAttr_VolName*>(volumeRecord.Attrs(kAttrVolumeName)->First());
        ASSERT_NE(label, nullptr);
        EXPECT_STREQ(label->AnsiLabel.get(), "Smoke Test");

        // Every file by its path, with its bytes.
        const auto root = ListDirectory(&volume, kRootRecord);
        EXPECT_EQ(root.size(), 3u);  // hello.txt, data, many
        size_t checked = 0;
        for (const char* sub : {"data", "many"}) {
            ASSERT_EQ(root.count(sub), 1u) << sub;
            for (const auto& [name, number] : ListDirectory(&volume, root.at(sub))) {
                const std::string path = std::string(sub) + "/" + name;
                ASSERT_EQ(files.count(path), 1u) << "unexpected " << path;
                EXPECT_EQ(ReadData(&volume, number), files.at(path)) << path;
                ++checked;
            }
        }
        ASSERT_EQ(root.count("hello.txt"), 1u);
        EXPECT_EQ(ReadData(&volume, root.at("hello.txt")), files.at("hello.txt"));
        EXPECT_EQ(checked + 1, files.size());
    }
    platform::CloseVolume(handle);

    // The listing tool agrees with the names above.
    r = testsupport::RunCommand({testsupport::ToolPath("ntfsls"), image});
    ASSERT_TRUE(r.Ok()) << r.Describe();
    EXPECT_NE(r.out.find("\t14\thello.txt\n"), std::string::npos);
    EXPECT_NE(r.out.find("\t300000\tdata/big.bin\n"), std::string::npos);
    EXPECT_NE(r.out.find("\t0\tmany/\n"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(SectorSizes, ReaderSmoke, testing::Values(512, 4096));

TEST(ReaderSmoke, ListingToolRefusesWhatIsNotNtfs) {
    TempDir dir("ntfs-smoke");
    const std::string image = dir.File("zero.img");
    ASSERT_TRUE(RunShell("truncate -s 1M " + ShellQuote(image)).Ok());
    auto r = testsupport::RunCommand({testsupport::ToolPath("ntfsls"), image});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("not NTFS"), std::string::npos) << r.err;
    r = testsupport::RunCommand({testsupport::ToolPath("ntfsls"), dir.File("missing.img")});
    EXPECT_EQ(r.exitCode, 1);
    r = testsupport::RunCommand({testsupport::ToolPath("ntfsls")});
    EXPECT_EQ(r.exitCode, 2);
}

}  // namespace
