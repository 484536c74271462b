// Volumes FAT32 cannot hold, or that are damaged, go through the whole conversion driver
// (ConvertNtfsToFat32 on a handle from platform::OpenVolume, as the front ends call it) and
// are refused with the sentence the user reads, before anything is written: every image is
// byte-identical afterwards. The volumes are made by ntfs-3g (names, compression) or patched
// copies of one (flags, names, update sequences, runs, sizes that no tool writes).
//
// The walk refuses before the size checks, so most volumes here are too small for FAT32 and
// never reach its layout; the last one is refused by the conversion path's free-space check.
// (velundra-convert's own tests cover a sparse file, a record with a broken signature, a
// volume too small for FAT32 and one with 4096-byte sectors.)
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "device/Log.h"
#include "engine/ConvertNtfsToFat32.h"
#include "engine/VolumeCheck.h"
#include "ntfs/CAttrBase.h"
#include "ntfs/CFileRecord.h"
#include "ntfs/CIndexEntry.h"
#include "ntfs/CNTFSVolume.h"
#include "platform/RawVolume.h"
#include "platform/TextEncoding.h"
#include "tests/support/Command.h"
#include "tests/support/ConvertedVolume.h"
#include "tests/support/Fixtures.h"
#include "tests/support/NtfsPatch.h"
#include "tests/support/Sha256.h"

namespace {

using namespace testsupport;

[[maybe_unused]] const bool kQuietLog = UseFileLog("/dev/null");

const std::string kAdvice =
    " The volume may be damaged: please check it (chkdsk /f on Windows, ntfsfix on Linux) and try again.";

// What a patch found out (record numbers, clusters) for the expected message: "{name}" in the
// message is replaced by facts["name"].
using Facts = std::map<std::string, std::string>;

std::string Fill(std::string text, const Facts& facts) {
    for (const auto& [name, value] : facts) {
        const std::string key = "{" + name + "}";
        for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + value.size()))
            text.replace(at, key.size(), value);
    }
    return text;
}

// The driver on the image, as velundra-convert runs it: the message thrown, "" on success.
std::string ConvertImage(const std::string& image, ConversionReport* report) {
    int error = 0;
    const platform::VolumeHandle handle = platform::OpenVolume(image, platform::VolumeAccess::Exclusive, &error);
    if (handle == platform::kInvalidVolume) return "cannot open (error " + std::to_string(error) + ")";
    std::string failure;
    try {
        ConvertNtfsToFat32(nullptr, handle, {}, report);
    } catch (const SimpleException& e) {
        EXPECT_EQ(e.Kind, 1);
        failure = platform::Utf16ToUtf8(e.Text());
    }
    platform::CloseVolume(handle);
    return failure;
}

const char kBig[] = "data/size_1048576.bin";  // 256 clusters, one run
const char kMid[] = "data/size_0200000.bin";  // 49 clusters, one run

// Sets bits in the file attribute flags of a record's $STANDARD_INFORMATION.
void AddStandardFlags(NtfsPatch& p, uint64_t record, uint32_t flags) {
    p.EditRecord(record, [&](std::vector<uint8_t>& r) {
        const size_t info = NtfsPatch::ResidentValue(r, NtfsPatch::FindAttribute(r, kAttrStandardInformation));
        const size_t at = info + offsetof(STANDARD_INFORMATION, FileAttributes);
        NtfsPatch::Put<uint32_t>(r, at, NtfsPatch::Get<uint32_t>(r, at) | flags);
    });
}

// Writes a value into the unnamed non-resident $DATA header of a record.
template <typename T>
void SetDataHeaderField(NtfsPatch& p, uint64_t record, size_t field, T value) {
    p.EditRecord(record, [&](std::vector<uint8_t>& r) {
        const size_t data = NtfsPatch::FindAttribute(r, kAttrData);
        ASSERT_NE(data, NtfsPatch::npos);
        NtfsPatch::Put<T>(r, data + field, value);
    });
}

uint64_t OnlyRunLcn(NtfsPatch& p, uint64_t record) {
    const std::vector<tagDataRun_Entry> runs = p.Runs(record);
    EXPECT_EQ(runs.size(), 1u) << "record " << record;
    return runs.empty() ? 0 : static_cast<uint64_t>(runs[0].Lcn);
}

TEST(ConvertRefusalsE2E, EveryRefusalComesBeforeTheFirstWrite) {
    struct Case {
        const char* what;
        const char* recipe;
        std::function<Facts(NtfsPatch&)> patch;  // null: the recipe is refused as it is
        std::string message;                     // with "{fact}" placeholders
    };
    const std::vector<Case> cases = {
        {"two names that differ only in letter case", "refuse-case", nullptr,
         "The names '/Docs/README.txt' and '/Docs/readme.txt' differ only in letter case. FAT32 cannot hold both "
         "in one folder: please rename one of them and try again."},
        {"a character long names forbid", "refuse-char", nullptr,
         "The name of '/Docs/why?.txt' holds a character that FAT32 does not allow in file names (\\ / : * ? \" < "
         "> | or a control character). Please rename it and try again."},
        {"a control character", "refuse-control", nullptr,
         "The name of '/Docs/bell\xEF\xBF\xBD.txt' holds a character that FAT32 does not allow in file names (\\ / "
         ": * ? \" < > | or a control character). Please rename it and try again."},
        {"a compressed file", "refuse-compressed", nullptr,
         "The file '/Zip/packed.txt' contain Compressed or Encrypted attribute, please remove these attributes and "
         "retry!"},
        {"the encrypted flag", "c4096",
         [](NtfsPatch& p) {
             AddStandardFlags(p, p.RecordOf("a/b/side.txt"), kFileAttrEncrypted);
             return Facts{};
         },
         "The file '/a/b/side.txt' contain Compressed or Encrypted attribute, please remove these attributes and "
         "retry!"},
        {"a file of 4 GiB", "c4096",
         [](NtfsPatch& p) {
             SetDataHeaderField<uint64_t>(p, p.RecordOf(kBig), offsetof(ATTR_HEADER_NONRESIDENT, DataSize),
                                          uint64_t{1} << 32);
             return Facts{};
         },
         "File '/data/size_1048576.bin' is larger than 4GB.\nFAT32 format does not support file larger than 4GB. To "
         "continue, please split it into files smaller than 4GB."},
        {"a record without a name", "c4096",
         [](NtfsPatch& p) {
             // Every $FILE_NAME becomes an attribute type the walk does not read ($OBJECT_ID,
             // which keeps the attributes in ascending order).
             p.EditRecord(p.RecordOf("tiny.txt"), [](std::vector<uint8_t>& r) {
                 for (size_t at; (at = NtfsPatch::FindAttribute(r, kAttrFileName)) != NtfsPatch::npos;)
                     NtfsPatch::Put<uint32_t>(r, at, 0x40);
             });
             return Facts{};
         },
         "Find a NTFS File/Directory '/tiny.txt' without Dos and Win namespace,The volume may install an opearting "
         "system.\nVelundra has stopped converting, please move it to the other volume and try again."},
        {"a record whose update sequence is broken", "c4096",
         [](NtfsPatch& p) {
             const uint64_t record = p.RecordOf("a/b/c/d/e/deep.txt");
             // The protected last word of the record's first 512 bytes no longer matches.
             const uint64_t word = p.RecordByteOnImage(record, 510);
             std::string w = p.ReadAt(word, 2);
             w[0] = static_cast<char>(w[0] ^ 0x5A);
             p.WriteAt(word, w);
             return Facts{{"record", std::to_string(record)}};
         },
         "The file record {record} ('/a/b/c/d/e/deep.txt') cannot be read." + kAdvice},
        {"an index block whose update sequence is broken", "c4096",
         [](NtfsPatch& p) {
             const uint64_t block = p.FirstIndexBlockInUse(kRootRecord);
             const std::vector<tagDataRun_Entry> runs = p.Runs(kRootRecord, kAttrIndexAllocation);
             const uint64_t vcn = block * 4096 / p.ClusterBytes();
             uint64_t lcn = 0;
             for (const tagDataRun_Entry& run : runs) {
                 if (vcn >= run.VcnFrom && vcn <= run.VcnTo) lcn = static_cast<uint64_t>(run.Lcn) + vcn - run.VcnFrom;
             }
             EXPECT_NE(lcn, 0u);
             const uint64_t word = lcn * p.ClusterBytes() + 510;  // end of the block's first 512 bytes
             std::string w = p.ReadAt(word, 2);
             w[0] = static_cast<char>(w[0] ^ 0x5A);
             p.WriteAt(word, w);
             return Facts{{"block", std::to_string(block)}};
         },
         "The index block {block} of the folder '/' (file record 5) cannot be read." + kAdvice},
        {"a run past the end of the volume", "c4096",
         [](NtfsPatch& p) {
             const uint64_t record = p.RecordOf(kMid);
             p.SetRuns(record, {{49, static_cast<int64_t>(p.VolumeClusters() - 10)}});
             return Facts{{"record", std::to_string(record)}};
         },
         "The data runs of '/data/size_0200000.bin' (file record {record}) are damaged or reach beyond the end of "
         "the volume." +
             kAdvice},
        {"a run into the boot sector", "c4096",
         [](NtfsPatch& p) {
             // The last run of a fragmented file moves to cluster 0 (reached by an offset back
             // from the run before, not the zero offset of a sparse run).
             const uint64_t record = p.RecordOf("frag/left.bin");
             std::vector<std::pair<uint64_t, int64_t>> runs;
             for (const tagDataRun_Entry& run : p.Runs(record)) runs.emplace_back(run.ClusterCount, run.Lcn);
             runs.back().second = 0;
             p.SetRuns(record, runs);
             return Facts{{"record", std::to_string(record)}};
         },
         "The data of '/frag/left.bin' (file record {record}) is placed on the boot sector of the volume." +
             kAdvice},
        {"runs of two files over the same clusters", "c4096",
         [](NtfsPatch& p) {
             const uint64_t onto = OnlyRunLcn(p, p.RecordOf(kBig));
             p.SetRuns(p.RecordOf(kMid), {{49, static_cast<int64_t>(onto)}});
             return Facts{{"lcn", std::to_string(onto)}};
         },
         "The files '/data/size_0200000.bin' and '/data/size_1048576.bin' both use cluster {lcn} of the volume." +
             kAdvice},
        {"a data size larger than the runs hold", "c4096",
         [](NtfsPatch& p) {
             const uint64_t record = p.RecordOf(kMid);
             const uint64_t held = 49ULL * p.ClusterBytes();
             SetDataHeaderField<uint64_t>(p, record, offsetof(ATTR_HEADER_NONRESIDENT, DataSize), held + 1);
             return Facts{{"record", std::to_string(record)},
                          {"size", std::to_string(held + 1)},
                          {"held", std::to_string(held)}};
         },
         "The file '/data/size_0200000.bin' (file record {record}) has {size} bytes of data, but its clusters hold "
         "only {held}." +
             kAdvice},
        {"the dirty flag", "c4096",
         [](NtfsPatch& p) {
             p.EditRecord(kVolumeRecord, [](std::vector<uint8_t>& r) {
                 const size_t info = NtfsPatch::ResidentValue(r, NtfsPatch::FindAttribute(r, kAttrVolumeInformation));
                 const size_t at = info + offsetof(VOLUME_INFORMATION, Flags);
                 NtfsPatch::Put<uint16_t>(r, at, static_cast<uint16_t>(NtfsPatch::Get<uint16_t>(r, at) | kVolumeDirty));
             });
             return Facts{};
         },
         "The NTFS volume is marked dirty: it was not unmounted cleanly, or errors were found on it. Please check it "
         "first (chkdsk /f on Windows, ntfsfix -d on Linux) and try again."},
        // The volume's size passes; the conversion path finds too little room for the copy
        // that the second name of a hard-linked file needs.
        {"too little room for the copy of a hard link", "refuse-space", nullptr,
         "The free space that convert to fat is too few."},
    };

    TempDir dir("convert-refusals");
    std::map<std::string, std::string> pristine;  // recipe -> its cached image
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (!pristine.count(c.recipe)) pristine[c.recipe] = FixtureImage(c.recipe);
        const std::string image = dir.File("refused.img");
        const CommandResult copy = RunCommand({"cp", "--sparse=always", pristine[c.recipe], image});
        ASSERT_TRUE(copy.Ok()) << copy.Describe();
        Facts facts;
        try {
            if (c.patch) {
                NtfsPatch patch(image);
                facts = c.patch(patch);
            }
        } catch (const std::exception& e) {
            ADD_FAILURE() << "the patch failed: " << e.what();
            continue;
        }
        const std::string sha = Sha256File(image);
        ConversionReport report;
        EXPECT_EQ(ConvertImage(image, &report), Fill(c.message, facts));
        EXPECT_EQ(report.bytesWritten, 0u);
        ExpectImageUnchanged(image, sha);
        std::remove(image.c_str());
    }
}

}  // namespace
