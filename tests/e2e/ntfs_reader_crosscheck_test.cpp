// The NTFS reader against The Sleuth Kit on real ntfs-3g volumes: every fixture is listed
// by velundra-ntfsls and by fls, and the two must name the same files and directories with
// the same records and data sizes; for a sample of records the reader's names (all
// namespaces), data runs, stream sizes and data bytes must match istat and icat.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "device/CVolumeDevice.h"
#include "device/Log.h"
#include "ntfs/CAttrBase.h"
#include "ntfs/CFileRecord.h"
#include "ntfs/CIndexEntry.h"
#include "ntfs/CNTFSVolume.h"
#include "platform/RawVolume.h"
#include "platform/TextEncoding.h"
#include "tests/support/Command.h"
#include "tests/support/Fixtures.h"
#include "tests/support/NtfsLs.h"
#include "tests/support/Sha256.h"
#include "tests/support/SleuthKit.h"

using namespace testsupport;

namespace {

// The reader opened on an image, read only in practice (the handle is shared).
class OpenedVolume {
public:
    explicit OpenedVolume(const std::string& image) {
        int error = 0;
        handle_ = platform::OpenVolume(image, platform::VolumeAccess::Shared, &error);
        if (handle_ == platform::kInvalidVolume) return;
        device_ = std::make_unique<CVolumeDevice>(handle_);
        volume_ = std::make_unique<CNTFSVolume>(device_.get());
    }
    ~OpenedVolume() {
        volume_.reset();
        device_.reset();
        platform::CloseVolume(handle_);
    }
    CNTFSVolume* Volume() const { return volume_.get(); }

private:
    platform::VolumeHandle handle_ = platform::kInvalidVolume;
    std::unique_ptr<CVolumeDevice> device_;
    std::unique_ptr<CNTFSVolume> volume_;
};

// Lists the first few elements of a set difference for a failure message.
std::string Sample(const std::vector<std::string>& items) {
    std::string s;
    for (size_t i = 0; i < items.size() && i < 15; ++i) s += "\n  '" + items[i] + "'";
    if (items.size() > 15) s += "\n  ... " + std::to_string(items.size() - 15) + " more";
    return s;
}

// Compares the clusters of a non-resident attribute with istat's list of them (in VCN
// order, sparse clusters as 0). istat lists the allocated clusters but shows those past the
// data's end as 0 (sometimes from one cluster after it), so only the clusters that hold data
// must be equal; an empty string means they agree.
std::string CompareClusters(CAttrNonResident* attr, const std::vector<uint64_t>& istat) {
    std::vector<uint64_t> reader;
    for (const tagDataRun_Entry& r : attr->SortedRuns())
        for (uint64_t k = 0; k < r.ClusterCount; ++k)
            reader.push_back(r.Lcn < 0 ? 0 : static_cast<uint64_t>(r.Lcn) + k);
    const uint64_t holdingData =
        (attr->DataLength(nullptr) + attr->ClusterBytes - 1) / attr->ClusterBytes;
    if (reader.size() < holdingData || istat.size() < holdingData || istat.size() > reader.size())
        return "the reader has " + std::to_string(reader.size()) + " clusters, istat " +
               std::to_string(istat.size()) + ", the data needs " + std::to_string(holdingData);
    for (size_t i = 0; i < istat.size(); ++i) {
        if (istat[i] == reader[i] || (i >= holdingData && istat[i] == 0)) continue;
        return "VCN " + std::to_string(i) + ": the reader says cluster " + std::to_string(reader[i]) +
               ", istat " + std::to_string(istat[i]);
    }
    return "";
}

// The whole data of an attribute through the reader's ReadAt; false when a read fails or
// comes up short.
bool ReadWhole(CAttrBase* attr, std::string* out) {
    const uint64_t size = attr->DataLength(nullptr);
    out->assign(size, '\0');
    uint64_t at = 0;
    while (at < size) {
        const uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(size - at, 1 << 20));
        uint32_t got = 0;
        if (!attr->ReadAt(&at, out->data() + at, want, &got) || got != want) return false;
        at += got;
    }
    return true;
}

std::string Utf8(const std::u16string& s) { return platform::Utf16ToUtf8(s); }

// Records the reader and the Sleuth Kit are compared on in detail: at most `count`, spread
// evenly over the listing, plus the largest files and the record with the most names.
std::vector<uint64_t> SampleRecords(const std::vector<NtfsLsEntry>& listing, size_t count) {
    std::map<uint64_t, const NtfsLsEntry*> byRecord;
    std::map<uint64_t, int> names;
    for (const NtfsLsEntry& e : listing) {
        byRecord.emplace(e.record, &e);
        ++names[e.record];
    }
    std::set<uint64_t> chosen;
    std::vector<uint64_t> all;
    for (const auto& [record, entry] : byRecord) all.push_back(record);
    const size_t step = std::max<size_t>(1, all.size() / count);
    for (size_t i = 0; i < all.size(); i += step) chosen.insert(all[i]);
    std::vector<const NtfsLsEntry*> bySize;
    for (const auto& [record, entry] : byRecord) bySize.push_back(entry);
    std::sort(bySize.begin(), bySize.end(),
              [](const NtfsLsEntry* a, const NtfsLsEntry* b) { return a->size > b->size; });
    for (size_t i = 0; i < bySize.size() && i < 3; ++i) chosen.insert(bySize[i]->record);
    const auto most = std::max_element(names.begin(), names.end(),
                                       [](const auto& a, const auto& b) { return a.second < b.second; });
    if (most != names.end()) chosen.insert(most->first);
    return {chosen.begin(), chosen.end()};
}

class NtfsReaderCrossCheck : public testing::TestWithParam<const char*> {
protected:
    static void SetUpTestSuite() {
        // The reader's warnings go to the test's output, not to a DefaultLog.log.
        UseFileLog("/dev/null");
    }
    void SetUp() override {
        ASSERT_NO_THROW(image_ = FixtureImage(GetParam()));
        ASSERT_TRUE(std::filesystem::exists(ToolPath("ntfsls"))) << "build velundra-ntfsls first";
    }
    std::string image_;
};

TEST_P(NtfsReaderCrossCheck, ListsTheSameNamesRecordsAndSizesAsFls) {
    CommandResult raw;
    const std::vector<NtfsLsEntry> listing = RunNtfsLs(image_, &raw);
    ASSERT_EQ(raw.exitCode, 0) << raw.Describe();
    EXPECT_EQ(raw.err, "");
    const Tree expected = NtfsTree(image_);
    ASSERT_FALSE(expected.empty());

    std::map<std::string, const NtfsLsEntry*> got;
    std::vector<std::string> duplicates, extra, missing, mismatched;
    for (const NtfsLsEntry& e : listing)
        if (!got.emplace(e.path, &e).second) duplicates.push_back(e.path);
    for (const auto& [path, e] : got) {
        const auto it = expected.find(path);
        if (it == expected.end()) {
            extra.push_back(path);
            continue;
        }
        const TreeEntry& t = it->second;
        if (e->record != t.record || e->isDir != t.isDir || (!t.isDir && e->size != t.size))
            mismatched.push_back(path + ": ntfsls record " + std::to_string(e->record) + " size " +
                                 std::to_string(e->size) + (e->isDir ? " dir" : "") +
                                 ", fls record " + std::to_string(t.record) + " size " +
                                 std::to_string(t.size) + (t.isDir ? " dir" : ""));
    }
    for (const auto& [path, t] : expected)
        if (!got.count(path)) missing.push_back(path);
    EXPECT_TRUE(duplicates.empty()) << "listed twice:" << Sample(duplicates);
    EXPECT_TRUE(extra.empty()) << "listed by ntfsls only:" << Sample(extra);
    EXPECT_TRUE(missing.empty()) << "listed by fls only:" << Sample(missing);
    EXPECT_TRUE(mismatched.empty()) << "records or sizes differ:" << Sample(mismatched);
    EXPECT_EQ(listing.size(), expected.size());
}

TEST_P(NtfsReaderCrossCheck, SampledRecordsMatchIstatAndIcat) {
    CommandResult raw;
    const std::vector<NtfsLsEntry> listing = RunNtfsLs(image_, &raw);
    ASSERT_EQ(raw.exitCode, 0) << raw.Describe();
    OpenedVolume opened(image_);
    ASSERT_NE(opened.Volume(), nullptr);
    ASSERT_TRUE(opened.Volume()->IsVolumeOK());

    for (uint64_t number : SampleRecords(listing, 40)) {
        SCOPED_TRACE("record " + std::to_string(number));
        const IstatNtfs expected = IstatNtfsRecord(image_, number);
        CFileRecord record(opened.Volume());
        ASSERT_TRUE(record.LoadRecord(number));
        ASSERT_TRUE(record.BuildAttributes());

        // Every $FILE_NAME, whatever its namespace and whichever record holds it.
        std::multiset<std::string> names, expectedNames;
        CSList<CAttrBase>* nameList = record.Attrs(0x30);
        for (CAttrBase* a = nameList->First(); a; a = nameList->Next())
            names.insert(Utf8(static_cast<CAttr_FileName*>(a)->Name()));
        for (const IstatFileName& n : expected.names) expectedNames.insert(n.name);
        EXPECT_EQ(names, expectedNames);

        // Every $DATA stream: the same names, sizes, residency, clusters and bytes.
        std::map<std::string, const IstatAttribute*> streams;
        for (const IstatAttribute& a : expected.attributes)
            if (a.type == 0x80) streams[a.name] = &a;
        size_t seen = 0;
        CSList<CAttrBase>* dataList = record.Attrs(0x80);
        for (CAttrBase* a = dataList->First(); a; a = dataList->Next()) {
            const std::string name = Utf8(a->AttrName());
            SCOPED_TRACE("stream '" + name + "'");
            const auto it = streams.find(name);
            ASSERT_NE(it, streams.end()) << "the reader has a stream istat does not show";
            ++seen;
            const IstatAttribute& e = *it->second;
            EXPECT_EQ(a->DataLength(nullptr), e.size);
            EXPECT_EQ(a->IsNonResident(), !e.resident);
            EXPECT_TRUE(a->RunsValid());
            if (a->IsNonResident()) {
                EXPECT_EQ(CompareClusters(static_cast<CAttrNonResident*>(a), e.clusters), "");
            }
            if (e.size > (8u << 20)) continue;
            std::string bytes;
            ASSERT_TRUE(ReadWhole(a, &bytes));
            const std::string address = std::to_string(number) + "-128-" + std::to_string(e.id);
            const CommandResult icat = RunCommand({"icat", "-f", "ntfs", image_, address});
            ASSERT_EQ(icat.exitCode, 0) << icat.Describe();
            EXPECT_EQ(Sha256Hex(bytes), Sha256Hex(icat.out)) << "data differs from icat";
        }
        EXPECT_EQ(seen, streams.size()) << "istat shows streams the reader did not build";
    }
}

// The reader's runs of $MFT, as it reads records through them, equal istat's.
TEST_P(NtfsReaderCrossCheck, MftRunsMatchIstat) {
    OpenedVolume opened(image_);
    ASSERT_NE(opened.Volume(), nullptr);
    CNTFSVolume* volume = opened.Volume();
    ASSERT_TRUE(volume->IsVolumeOK());
    ASSERT_NE(volume->MftOwnData, nullptr);
    ASSERT_TRUE(volume->MftOwnData->IsNonResident());
    auto* mft = static_cast<CAttrNonResident*>(volume->MftOwnData);
    const IstatNtfs expected = IstatNtfsRecord(image_, 0);
    ASSERT_NE(expected.UnnamedData(), nullptr);
    EXPECT_EQ(mft->DataLength(nullptr), expected.UnnamedData()->size);
    EXPECT_EQ(CompareClusters(mft, expected.UnnamedData()->clusters), "");
}

// On volumes made to fragment the MFT, records beyond its first piece are in use, and the
// listing (checked against fls above) includes them.
class NtfsFragmentedMft : public NtfsReaderCrossCheck {};

TEST_P(NtfsFragmentedMft, RecordsBeyondTheFirstExtentAreListed) {
    OpenedVolume opened(image_);
    ASSERT_NE(opened.Volume(), nullptr);
    CNTFSVolume* volume = opened.Volume();
    ASSERT_NE(volume->MftOwnData, nullptr);
    const std::vector<tagDataRun_Entry> runs =
        static_cast<CAttrNonResident*>(volume->MftOwnData)->SortedRuns();
    ASSERT_GE(runs.size(), 2u);
    const uint64_t firstExtentRecords = runs[0].ClusterCount * volume->ClusterBytes / volume->RecordSize;
    CommandResult raw;
    const std::vector<NtfsLsEntry> listing = RunNtfsLs(image_, &raw);
    ASSERT_EQ(raw.exitCode, 0) << raw.Describe();
    const auto beyond = std::count_if(listing.begin(), listing.end(), [&](const NtfsLsEntry& e) {
        return e.record >= firstExtentRecords;
    });
    EXPECT_GT(beyond, 100) << "records beyond the MFT's first extent: " << beyond;
}

INSTANTIATE_TEST_SUITE_P(Fixtures, NtfsFragmentedMft, testing::Values("mft-fragmented", "mft-extents"),
                         [](const testing::TestParamInfo<const char*>& info) {
                             std::string name = info.param;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

INSTANTIATE_TEST_SUITE_P(Fixtures, NtfsReaderCrossCheck,
                         testing::Values("c512", "c4096", "c65536", "names", "bigdir", "hardlinks",
                                         "fragmented", "mft-fragmented", "mft-extents",
                                         "sector4096"),
                         [](const testing::TestParamInfo<const char*>& info) {
                             std::string name = info.param;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

}  // namespace
