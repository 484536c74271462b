// The in-place conversion with an unchanged (or a smaller) cluster size, on small hand-made
// NTFS volumes in memory: files laid where the test wants them (under the FAT area, across
// its end, with hard links, preallocated clusters, an initialized size below the data size),
// converted through a FaultyDevice, then read back through the FAT that was written and
// judged by fsck.fat.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/TextEncoding.h"
#include "device/Log.h"
#include "device/ProgressInforAssist.h"
#include "engine/ConvertSameClusterSize.h"
#include "engine/DirectoryWriter.h"
#include "engine/FileData.h"
#include "engine/FileTree.h"
#include "engine/NFat.h"
#include "ntfs/CFileRecord.h"
#include "ntfs/CNTFSVolume.h"
#include "tests/support/Command.h"
#include "tests/support/CraftedFiles.h"
#include "tests/support/CraftedNtfs.h"
#include "tests/support/FaultyDevice.h"
#include "tests/support/FsckFat.h"
#include "tests/support/MemoryDevice.h"

namespace {

namespace crafted = testsupport::crafted;
using testsupport::FaultyDevice;
using testsupport::MemoryDevice;

[[maybe_unused]] const bool kQuietLog = UseFileLog("/dev/null");

std::vector<std::string> gLogged;  // warnings and errors of the running test

class LogCapture {
public:
    LogCapture() {
        gLogged.clear();
        SetLogEcho([](int, const char* line) { gLogged.emplace_back(line); });
    }
    ~LogCapture() { SetLogEcho(nullptr); }
    static bool Saw(const std::string& part) {
        return std::any_of(gLogged.begin(), gLogged.end(),
                           [&](const std::string& l) { return l.find(part) != std::string::npos; });
    }
};

// 512-byte clusters on a 2 MiB volume: the FAT32 layout puts cluster 2 at sector 80, so
// volume cluster L is FAT cluster L - 78 and everything up to cluster 80 lies under the FAT
// area or is cluster 2. The MFT (records of two clusters) lies under the FAT area too, from
// cluster 20: the tree is read before anything is written.
constexpr uint32_t kClusterBytes = 512;
constexpr uint64_t kVolumeClusters = 4096;
constexpr uint64_t kMftLcn = 20;

crafted::Geometry SmallGeometry() {
    crafted::Geometry g;
    g.sectorsPerCluster = 1;
    g.clustersPerRecord = -10;
    g.clusters = kVolumeClusters;
    g.mftLcn = kMftLcn;
    return g;
}

// Deterministic bytes that differ per file and per position.
std::vector<uint8_t> Pattern(size_t bytes, uint8_t seed) {
    std::vector<uint8_t> out(bytes);
    for (size_t i = 0; i < bytes; ++i) out[i] = static_cast<uint8_t>(seed * 31 + i * 7 + (i >> 9));
    return out;
}

struct RunSpec {
    uint64_t clusters;
    int64_t lcn;
};

// A file to lay on the crafted volume.
struct FileSpec {
    std::u16string name;  // an upper-case 8.3 name: the FAT short name is the same
    uint64_t record = 0;
    std::vector<RunSpec> runs;  // empty: resident data
    uint64_t dataSize = 0;
    uint64_t initialized = ~0ULL;  // ~0: the data size
    std::string resident;          // resident data
    std::u16string parent;         // "" for the root, else the name of a directory in the root
    uint64_t linkOf = 0;           // nonzero: one more name of that record (no record of its own)
};

FileSpec NonResident(std::u16string name, uint64_t record, std::vector<RunSpec> runs, uint64_t size,
                     uint64_t initialized = ~0ULL) {
    FileSpec f;
    f.name = std::move(name);
    f.record = record;
    f.runs = std::move(runs);
    f.dataSize = size;
    f.initialized = initialized;
    return f;
}
FileSpec Resident(std::u16string name, uint64_t record, std::string data) {
    FileSpec f;
    f.name = std::move(name);
    f.record = record;
    f.dataSize = data.size();
    f.resident = std::move(data);
    return f;
}
// One more name, in directory `parent`, of the file `of`.
FileSpec Link(const FileSpec& of, std::u16string parent) {
    FileSpec f = of;
    f.runs.clear();
    f.parent = std::move(parent);
    f.linkOf = of.record;
    f.record = 0;
    return f;
}

// The crafted NTFS volume, its tree and the devices the conversion writes through.
class SameClusterVolume {
public:
    explicit SameClusterVolume(const std::vector<FileSpec>& files,
                               std::vector<std::u16string> dirs = {})
        : Files(files), Volume(SmallGeometry()) {
        const uint32_t recordSize = Volume.Geom().RecordSize();
        // Root directory and subdirectories.
        Volume.PutRecord(kRootRecord, DirectoryRecord(u".", recordSize));
        uint64_t dirRecord = 25;
        for (const auto& d : dirs) {
            DirRecords[d] = dirRecord;
            Volume.PutRecord(dirRecord++, DirectoryRecord(d, recordSize));
        }
        // Files and their data.
        for (const FileSpec& f : files) {
            if (f.linkOf != 0) continue;
            std::vector<crafted::Bytes> attrs = {
                crafted::ResidentAttr(kAttrStandardInformation, crafted::StdInfoValue(0x20)),
                crafted::ResidentAttr(kAttrFileName,
                                      crafted::FileNameValue(f.name, kNamespaceWin32AndDos, 0x20)),
            };
            if (f.runs.empty()) {
                attrs.push_back(crafted::ResidentAttr(
                    kAttrData, crafted::Bytes(f.resident.begin(), f.resident.end())));
            } else {
                std::vector<std::pair<uint64_t, int64_t>> pairs;
                uint64_t clusters = 0;
                for (const RunSpec& r : f.runs) {
                    pairs.emplace_back(r.clusters, r.lcn);
                    clusters += r.clusters;
                }
                crafted::Bytes data = crafted::NonResidentAttr(
                    kAttrData, crafted::MappingPairs(pairs), 0, clusters - 1, f.dataSize);
                crafted::Put<uint64_t>(&data, offsetof(ATTR_HEADER_NONRESIDENT, AllocatedSize),
                                       clusters * kClusterBytes);
                if (f.initialized != ~0ULL) {
                    crafted::Put<uint64_t>(
                        &data, offsetof(ATTR_HEADER_NONRESIDENT, InitializedSize), f.initialized);
                }
                attrs.push_back(data);
                // Every cluster the runs hold gets bytes, also past the data size.
                uint64_t vcn = 0;
                for (const RunSpec& r : f.runs) {
                    Volume.PutCluster(
                        static_cast<uint64_t>(r.lcn),
                        Slice(OnDisk(f), vcn * kClusterBytes, r.clusters * kClusterBytes));
                    vcn += r.clusters;
                }
            }
            Volume.PutRecord(f.record, crafted::FileRecord(recordSize, attrs));
        }
        Memory = std::make_unique<MemoryDevice>(Volume.Image());
        Ntfs = std::make_unique<CNTFSVolume>(Memory.get());
        EXPECT_TRUE(Ntfs->IsVolumeOK());

        // The tree: the files of the root in the order given, then the directories.
        Root = NewItem(kRootRecord);
        std::map<std::u16string, FILE_ITEM*> dirItems;
        for (const auto& d : dirs) dirItems[d] = NewItem(DirRecords[d]);
        for (const FileSpec& f : files) {
            FILE_ITEM* item = NewItem(f.linkOf != 0 ? f.linkOf : f.record);
            Append(f.parent.empty() ? Root : dirItems[f.parent], item);
        }
        for (const auto& d : dirs) Append(Root, dirItems[d]);

        Memory->ClearReads();
        Faulty = std::make_unique<FaultyDevice>(*Memory);
        Faulty->RecordWriteBytes(false);
        const uint64_t sectors = Memory->SectorCount();
        EXPECT_TRUE(
            BuildFat32BootSector(1, &Image, static_cast<uint32_t>(sectors), 63, 255, 512, 0));
        FirstDataLcn = NFat::FirstDataSectorOf(Image);
    }

    static std::u16string PathOf(const FileSpec& f) {
        return f.parent.empty() ? u"/" + f.name : u"/" + f.parent + u"/" + f.name;
    }

    // The bytes the data clusters of a file hold before the conversion (its data, then what
    // lies in the clusters past it).
    static std::vector<uint8_t> OnDisk(const FileSpec& f) {
        uint64_t clusters = 0;
        for (const RunSpec& r : f.runs) clusters += r.clusters;
        return Pattern(clusters * kClusterBytes, static_cast<uint8_t>(f.record));
    }
    // What the file must read as afterwards: its data up to the initialized size, zeros after.
    static std::vector<uint8_t> Expected(const FileSpec& f) {
        if (f.runs.empty()) return std::vector<uint8_t>(f.resident.begin(), f.resident.end());
        std::vector<uint8_t> bytes = OnDisk(f);
        bytes.resize(f.dataSize);
        if (f.initialized != ~0ULL && f.initialized < f.dataSize) {
            std::fill(bytes.begin() + static_cast<ptrdiff_t>(f.initialized), bytes.end(), 0);
        }
        return bytes;
    }

    // Runs the conversion; returns the message thrown, empty on success.
    std::string Convert(SameClusterReport* report = nullptr, SameClusterOptions options = {},
                        ProgressInforAssist* scaler = nullptr) {
        try {
            ConvertSameClusterSize(Image, Faulty.get(), Root, nullptr, scaler, options, report);
        } catch (const SimpleException& e) {
            EXPECT_EQ(e.Kind, 1);
            return platform::Utf16ToUtf8(e.Text());
        }
        return "";
    }

    uint64_t SectorOfFatCluster(uint32_t cluster) const { return FirstDataLcn + cluster - 2; }
    // The FAT cluster of a volume cluster on this layout.
    int64_t FatClusterOfLcn(int64_t lcn) const {
        return lcn - static_cast<int64_t>(FirstDataLcn) + 2;
    }

    std::vector<FileSpec> Files;
    crafted::Volume Volume;
    std::map<std::u16string, uint64_t> DirRecords;
    std::unique_ptr<MemoryDevice> Memory;
    std::unique_ptr<CNTFSVolume> Ntfs;
    std::vector<std::unique_ptr<FILE_ITEM>> Items;  // owns the tree's items
    FILE_ITEM* Root = nullptr;
    std::unique_ptr<FaultyDevice> Faulty;
    FAT32_BOOT_SECTOR Image{};
    uint64_t FirstDataLcn = 0;

private:
    static crafted::Bytes Slice(const std::vector<uint8_t>& bytes, uint64_t at, uint64_t n) {
        return crafted::Bytes(bytes.begin() + static_cast<ptrdiff_t>(at),
                              bytes.begin() + static_cast<ptrdiff_t>(at + n));
    }
    static crafted::Bytes DirectoryRecord(const std::u16string& name, uint32_t recordSize) {
        return crafted::FileRecord(
            recordSize,
            {crafted::ResidentAttr(kAttrStandardInformation, crafted::StdInfoValue(0x10)),
             crafted::ResidentAttr(
                 kAttrFileName, crafted::FileNameValue(name, kNamespaceWin32AndDos, 0x10000010))},
            kRecordInUse | kRecordDirectory);
    }
    FILE_ITEM* NewItem(uint64_t record) {
        auto item = std::make_unique<FILE_ITEM>();
        item->FileRecord = std::make_unique<CFileRecord>(Ntfs.get());
        EXPECT_TRUE(item->FileRecord->LoadRecord(record)) << record;
        item->FileRecord->TypeMask = kTreeRecordTypeMask;
        EXPECT_TRUE(item->FileRecord->BuildAttributes()) << record;
        Items.push_back(std::move(item));
        return Items.back().get();
    }
    static void Append(FILE_ITEM* parent, FILE_ITEM* child) {
        FILE_ITEM** slot = &parent->FirstChild;
        while (*slot != nullptr) slot = &(*slot)->NextSibling;
        *slot = child;
    }
};

// A reader of the FAT32 volume the conversion wrote, straight from the bytes.
class FatReader {
public:
    explicit FatReader(const std::vector<uint8_t>& bytes) : Bytes(bytes) {
        std::memcpy(&Boot, bytes.data(), sizeof Boot);
        FirstData = NFat::FirstDataSectorOf(Boot);
    }
    uint32_t Entry(uint32_t cluster) const {
        uint32_t v;
        std::memcpy(&v, Bytes.data() + uint64_t{Boot.ReservedSectors} * 512 + cluster * 4ull, 4);
        return v;
    }
    std::vector<uint32_t> Chain(uint32_t first) const {
        std::vector<uint32_t> chain;
        for (uint32_t c = first; c >= 2 && c < kFat32EndOfChain && chain.size() < 100000;
             c = Entry(c)) {
            chain.push_back(c);
        }
        return chain;
    }
    const uint8_t* Cluster(uint32_t c) const {
        return Bytes.data() + (FirstData + uint64_t{c - 2} * Boot.SectorsPerCluster) * 512;
    }
    std::vector<uint8_t> Read(uint32_t first, uint32_t size) const {
        std::vector<uint8_t> out;
        const uint32_t cb = Boot.SectorsPerCluster * 512u;
        for (uint32_t c : Chain(first)) out.insert(out.end(), Cluster(c), Cluster(c) + cb);
        if (out.size() > size) out.resize(size);
        return out;
    }
    // The short entries of a directory by 8.3 name ("A.BIN"), skipping long-name pieces,
    // labels, dot entries and deleted entries.
    std::map<std::string, FAT_DIR_ENTRY> Directory(uint32_t first) const {
        std::map<std::string, FAT_DIR_ENTRY> out;
        const uint32_t cb = Boot.SectorsPerCluster * 512u;
        for (uint32_t c : Chain(first)) {
            for (uint32_t at = 0; at < cb; at += 32) {
                FAT_DIR_ENTRY e;
                std::memcpy(&e, Cluster(c) + at, 32);
                if (e.Name[0] == 0) return out;
                if (e.Name[0] == 0xE5 || e.Name[0] == '.' || e.Attributes == kFatAttrLongName ||
                    (e.Attributes & kFatAttrVolumeId)) {
                    continue;
                }
                std::string base(reinterpret_cast<char*>(e.Name), 8),
                    ext(reinterpret_cast<char*>(e.Name) + 8, 3);
                base.erase(base.find_last_not_of(' ') + 1);
                ext.erase(ext.find_last_not_of(' ') + 1);
                out[ext.empty() ? base : base + "." + ext] = e;
            }
        }
        return out;
    }
    static uint32_t First(const FAT_DIR_ENTRY& e) {
        return uint32_t{e.FirstClusterHigh} << 16 | e.FirstClusterLow;
    }

    const std::vector<uint8_t>& Bytes;
    FAT32_BOOT_SECTOR Boot{};
    uint32_t FirstData = 0;
};

// fsck.fat's verdict on the memory image. The test volume is small on purpose, so the
// warning about FAT32 volumes of fewer than 65525 clusters is not a finding here.
testsupport::FsckResult Fsck(const std::vector<uint8_t>& bytes) {
    testsupport::TempDir dir("sameclu");
    const std::string path = dir.File("fat.img");
    testsupport::WriteFileBytes(path, std::string(bytes.begin(), bytes.end()));
    return testsupport::FsckSmallFat(path);
}

// LCNs on this layout: cluster 2 is volume cluster 80.
constexpr int64_t kLcnOfCluster2 = 80;
constexpr int64_t Lcn(int64_t fatCluster) { return kLcnOfCluster2 + fatCluster - 2; }

// The files of the main scenario, one per case the path must handle.
std::vector<FileSpec> ScenarioFiles() {
    const FileSpec d = NonResident(u"D.BIN", 19, {{4, Lcn(400)}}, 4 * 512 - 100);
    return {
        // Stays where it is.
        NonResident(u"A.BIN", 16, {{10, Lcn(122)}}, 10 * 512),
        // A run at FAT clusters 1..5, and an initialized size inside cluster 3: the two low
        // clusters are copied, the rest is zeroed in place from the initialized size on.
        NonResident(u"B.BIN", 17, {{5, Lcn(1)}}, 5 * 512 - 17, 2 * 512 + 7),
        // First run wholly under the FATs, second run above.
        NonResident(u"C.BIN", 18, {{2, Lcn(-2)}, {3, Lcn(300)}}, 5 * 512),
        // Two names of one file (the second one below).
        d,
        // Ten clusters for three clusters of data (preallocated).
        NonResident(u"E.BIN", 20, {{10, Lcn(500)}}, 3 * 512 - 5),
        // Size 0 but owns clusters.
        NonResident(u"Z.BIN", 21, {{2, Lcn(600)}}, 0),
        // Initialized size below the data size, in place.
        NonResident(u"I.BIN", 22, {{4, Lcn(700)}}, 2000, 522),
        // Resident data.
        Resident(u"R.TXT", 23, "hello"),
        Link(d, u"SUB"),
    };
}

class SameClusterScenario : public ::testing::Test {
protected:
    void SetUp() override {
        volume = std::make_unique<SameClusterVolume>(ScenarioFiles(),
                                                     std::vector<std::u16string>{u"SUB"});
        before = volume->Memory->Bytes();
    }
    FatReader Reader() { return FatReader(volume->Memory->Bytes()); }

    std::unique_ptr<SameClusterVolume> volume;
    std::vector<uint8_t> before;
    LogCapture log;
};

TEST_F(SameClusterScenario, EveryFileReadsBackWithItsBytesAndFsckIsClean) {
    SameClusterReport report;
    ASSERT_EQ(volume->Convert(&report), "");
    FatReader fat = Reader();
    ASSERT_EQ(fat.Boot.RootCluster, 2u);
    const auto root = fat.Directory(2);
    const auto sub = fat.Directory(FatReader::First(root.at("SUB")));
    for (const FileSpec& f : volume->Files) {
        SCOPED_TRACE(platform::Utf16ToUtf8(SameClusterVolume::PathOf(f)));
        const auto& dir = f.parent.empty() ? root : sub;
        ASSERT_TRUE(dir.count(platform::Utf16ToUtf8(f.name)));
        const FAT_DIR_ENTRY& e = dir.at(platform::Utf16ToUtf8(f.name));
        const uint64_t size = f.dataSize;
        EXPECT_EQ(e.FileSize, size);
        const FileSpec& data = f.linkOf ? volume->Files[3] : f;
        EXPECT_EQ(fat.Read(FatReader::First(e), e.FileSize), SameClusterVolume::Expected(data));
        // A chain holds exactly the clusters the size needs.
        EXPECT_EQ(fat.Chain(FatReader::First(e)).size(), (size + 511) / 512);
    }
    const testsupport::FsckResult fsck = Fsck(volume->Memory->Bytes());
    EXPECT_TRUE(fsck.Clean()) << fsck.output;
    // FSInfo at sector 1 and its copy at 7 hold the true free count and a free cluster.
    FAT32_FSINFO info;
    std::memcpy(&info, volume->Memory->Bytes().data() + 512, 512);
    EXPECT_EQ(info.LeadSignature, 0x41615252u);
    uint32_t free = 0;
    for (uint32_t c = 2; c < NFat::ClusterCountOf(fat.Boot) + 2; ++c) free += fat.Entry(c) == 0;
    EXPECT_EQ(info.FreeCount, free);
    EXPECT_EQ(fat.Entry(info.NextFree), 0u);
    EXPECT_EQ(std::memcmp(volume->Memory->Bytes().data() + 512,
                          volume->Memory->Bytes().data() + 7 * 512, 512),
              0);
    EXPECT_EQ(report.clustersRelocated, 2u + 2u);  // B's clusters 1 and 2, C's first run
    EXPECT_EQ(report.clustersLinkCopies, 4u);
    EXPECT_EQ(report.clustersTrimmed, 7u + 2u);  // E's preallocation, Z's clusters
    EXPECT_TRUE(report.unreadFiles.empty());
}

TEST_F(SameClusterScenario, ChainsFollowTheRelocationRules) {
    ASSERT_EQ(volume->Convert(), "");
    FatReader fat = Reader();
    const auto root = fat.Directory(2);

    // A stays: its chain is its run.
    EXPECT_EQ(fat.Chain(FatReader::First(root.at("A.BIN"))),
              (std::vector<uint32_t>{122, 123, 124, 125, 126, 127, 128, 129, 130, 131}));
    // B, run at clusters 1..5: two new clusters, the second leading into 3, 4, 5 in place.
    const std::vector<uint32_t> b = fat.Chain(FatReader::First(root.at("B.BIN")));
    ASSERT_EQ(b.size(), 5u);
    EXPECT_GE(b[0], 3u);
    EXPECT_NE(b[0], 3u);
    EXPECT_EQ(std::vector<uint32_t>(b.begin() + 2, b.end()), (std::vector<uint32_t>{3, 4, 5}));
    // C: the directory entry names the first claimed cluster; the last claimed cluster leads
    // into the second run, which stays.
    const std::vector<uint32_t> c = fat.Chain(FatReader::First(root.at("C.BIN")));
    ASSERT_EQ(c.size(), 5u);
    EXPECT_EQ(std::vector<uint32_t>(c.begin() + 2, c.end()),
              (std::vector<uint32_t>{300, 301, 302}));
    // The first name of D keeps the original chain, the second has its own.
    const auto sub = fat.Directory(FatReader::First(root.at("SUB")));
    EXPECT_EQ(fat.Chain(FatReader::First(root.at("D.BIN"))),
              (std::vector<uint32_t>{400, 401, 402, 403}));
    const std::vector<uint32_t> d2 = fat.Chain(FatReader::First(sub.at("D.BIN")));
    for (uint32_t x : d2) EXPECT_TRUE(x < 400 || x > 403) << x;
    // Z has first cluster 0; the clusters cut from E and Z are free.
    EXPECT_EQ(FatReader::First(root.at("Z.BIN")), 0u);
    EXPECT_EQ(fat.Chain(FatReader::First(root.at("E.BIN"))),
              (std::vector<uint32_t>{500, 501, 502}));
    for (uint32_t x : {503u, 509u, 600u, 601u}) EXPECT_EQ(fat.Entry(x), 0u) << x;
    // Nothing but the root directory is at cluster 2.
    for (const auto& [name, e] : root) EXPECT_NE(FatReader::First(e), 2u) << name;
}

TEST_F(SameClusterScenario, DataThatStaysIsNeitherReadNorWritten) {
    ASSERT_EQ(volume->Convert(), "");
    // A, C's second run, what E keeps, I's first cluster (before its initialized size):
    // untouched. (D's clusters are read by the copy for its second name.)
    const std::vector<std::pair<int64_t, uint64_t>> staying = {
        {122, 10}, {300, 3}, {500, 3}, {700, 1}};
    for (const auto& [cluster, count] : staying) {
        const uint64_t first = volume->SectorOfFatCluster(static_cast<uint32_t>(cluster));
        for (const auto& r : volume->Memory->Reads()) {
            EXPECT_FALSE(r.first < first + count && first < r.first + r.count) << cluster;
        }
        for (const auto& w : volume->Faulty->Writes()) {
            EXPECT_FALSE(w.first < first + count && first < w.first + w.count) << cluster;
        }
    }
}

TEST_F(SameClusterScenario, CopiesMoveWholeSpansPerDeviceCall) {
    ASSERT_EQ(volume->Convert(), "");
    // D's second name: four clusters from one run into four free clusters in a row: one read
    // of four sectors.
    const uint64_t dSource = volume->SectorOfFatCluster(400);
    size_t reads = 0;
    for (const auto& r : volume->Memory->Reads()) {
        if (r.first == dSource) {
            ++reads;
            EXPECT_EQ(r.count, 4u);
        }
    }
    EXPECT_EQ(reads, 1u);
}

TEST_F(SameClusterScenario, ProgressRunsThroughTheMilestones) {
    struct Sink : IProgressInfor {
        void SetProgress(float p) override { positions.push_back(p); }
        void SetStatusText(const char16_t* t) override { texts.emplace_back(t); }
        std::vector<float> positions;
        std::vector<std::u16string> texts;
    } sink;
    ProgressInforAssist scaler(&sink);
    scaler.Reached = 0.02f + 0.36f;  // where the tree walk leaves it
    ASSERT_EQ(volume->Convert(nullptr, {}, &scaler), "");
    EXPECT_EQ(sink.texts, (std::vector<std::u16string>{u"Converting NTFS to FAT32...",
                                                       u"Process the Fat Table in the FAT32."}));
    ASSERT_GE(sink.positions.size(), 4u);
    EXPECT_FLOAT_EQ(sink.positions.front(), 0.4f);
    EXPECT_FLOAT_EQ(sink.positions.back(), 0.97f);
    EXPECT_FLOAT_EQ(sink.positions[sink.positions.size() - 2], 0.9f);
    for (size_t i = 1; i < sink.positions.size(); ++i) {
        EXPECT_GE(sink.positions[i], sink.positions[i - 1]);
        EXPECT_LE(sink.positions[i], 0.97f);
    }
    EXPECT_EQ(volume->Faulty->ProgressSink, nullptr);  // counting stopped
}

TEST_F(SameClusterScenario, CheckOnlyReportsAndWritesNothing) {
    SameClusterReport report;
    ASSERT_EQ(volume->Convert(&report, {true}), "");
    EXPECT_TRUE(volume->Faulty->Writes().empty());
    EXPECT_EQ(volume->Memory->Bytes(), before);
    // Relocated 4, link copy 4, root + SUB directories, one resident cluster.
    EXPECT_EQ(report.clustersNeeded, 4u + 4u + report.directoryClusters + 1u);
    EXPECT_GT(report.clustersFree, report.clustersNeeded);
}

// ---- failures ---------------------------------------------------------------------------

TEST_F(SameClusterScenario, UnreadableClustersAreZerosAndTheFilesAreNamedAtTheEnd) {
    // B's cluster 1 and one cluster of D's second copy cannot be read.
    volume->Faulty->FailReadsTouching(volume->SectorOfFatCluster(1), 1);
    volume->Faulty->FailReadsTouching(volume->SectorOfFatCluster(402), 1);
    const std::string message = volume->Convert();
    EXPECT_EQ(message,
              "The conversion finished, but these files could not be read completely and hold "
              "zeros where the read failed:\n/B.BIN\n/SUB/D.BIN");
    EXPECT_TRUE(LogCapture::Saw("ReadSector err"));
    // The volume was finished: sector 0 was the last write.
    ASSERT_FALSE(volume->Faulty->Writes().empty());
    EXPECT_EQ(volume->Faulty->Writes().back().first, 0u);
    FatReader fat = Reader();
    const auto root = fat.Directory(2);
    const auto sub = fat.Directory(FatReader::First(root.at("SUB")));
    // Zeros where the read failed (not the failed read's buffer), the rest copied.
    std::vector<uint8_t> b = SameClusterVolume::Expected(volume->Files[1]);
    std::fill(b.begin(), b.begin() + 512, 0);
    EXPECT_EQ(fat.Read(FatReader::First(root.at("B.BIN")), root.at("B.BIN").FileSize), b);
    std::vector<uint8_t> d = SameClusterVolume::Expected(volume->Files[3]);
    std::fill(d.begin() + 1024, d.begin() + 1536, 0);
    EXPECT_EQ(fat.Read(FatReader::First(sub.at("D.BIN")), sub.at("D.BIN").FileSize), d);
    const testsupport::FsckResult fsck = Fsck(volume->Memory->Bytes());
    EXPECT_TRUE(fsck.Clean()) << fsck.output;
}

// The failure that ends a conversion whose folders or resident data were not all written.
const std::string kUnwrittenFolders =
    "The conversion finished, but some folders or small files (whose data NTFS kept inside "
    "their records) could not be written completely: files may be missing from their folders "
    "or hold wrong data. Please check the volume (fsck.fat on Linux, chkdsk /f on Windows).";

TEST_F(SameClusterScenario, FailedWritesEndAsTheFailureTableSays) {
    const FAT32_BOOT_SECTOR& image = volume->Image;
    const uint64_t fat1 = image.ReservedSectors;
    const uint64_t fat2 = fat1 + image.FatSize32;
    struct Case {
        const char* what;
        std::vector<std::pair<uint64_t, uint64_t>> failing;  // sector ranges whose writes fail
        std::string thrown;
        const char* logged;
    };
    const std::vector<Case> cases = {
        // A folder that could not be written would hide its files: the conversion finishes
        // and then fails.
        {"root directory cluster",
         {{volume->SectorOfFatCluster(2), 1}},
         kUnwrittenFolders,
         "WriteSector err"},
        {"first FAT copy", {{fat1, 1}}, "", "write fat table sector fail"},
        {"both FAT copies",
         {{fat1, 1}, {fat2, 1}},
         "Flush the fat table fail.",
         "write fat table sector fail"},
        {"sector 0", {{0, 1}}, "Flush fat dbr fail.", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        for (const auto& [first, count] : c.failing)
            volume->Faulty->FailWritesTouching(first, count);
        LogCapture capture;
        EXPECT_EQ(volume->Convert(), c.thrown);
        if (c.logged != nullptr) {
            EXPECT_TRUE(LogCapture::Saw(c.logged));
        }
    }
}

TEST_F(SameClusterScenario, AFailedCopyWriteNamesTheFile) {
    // The copy of D's second name goes to free clusters; fail every write there except the
    // directories, FATs and the boot area by failing writes into D's copy only: find it first.
    ASSERT_EQ(volume->Convert(), "");
    const auto sub = Reader().Directory(FatReader::First(Reader().Directory(2).at("SUB")));
    const uint32_t copyFirst = FatReader::First(sub.at("D.BIN"));
    SetUp();
    volume->Faulty->FailWritesTouching(volume->SectorOfFatCluster(copyFirst), 1);
    EXPECT_EQ(volume->Convert(),
              "The conversion finished, but these files could not be written completely and may "
              "hold wrong data:\n/SUB/D.BIN");
}

TEST_F(SameClusterScenario, FailedFolderAndResidentDataWritesFailTheConversion) {
    // Where the subfolder and the resident file land, from a clean run.
    ASSERT_EQ(volume->Convert(), "");
    const auto root = Reader().Directory(2);
    const uint32_t sub = FatReader::First(root.at("SUB"));
    const uint32_t resident = FatReader::First(root.at("R.TXT"));
    const uint32_t copy = FatReader::First(Reader().Directory(sub).at("D.BIN"));
    struct Case {
        const char* what;
        std::vector<uint32_t> failing;  // FAT clusters whose writes fail
        std::string thrown;
    };
    const std::vector<Case> cases = {
        {"subfolder", {sub}, kUnwrittenFolders},
        {"resident data", {resident}, kUnwrittenFolders},
        {"copy and subfolder",
         {copy, sub},
         "The conversion finished, but these files could not be written completely and may "
         "hold wrong data:\n/SUB/D.BIN\nSome folders or small files (whose data NTFS kept "
         "inside their records) could not be written completely: files may be missing from "
         "their folders or hold wrong data. Please check the volume (fsck.fat on Linux, "
         "chkdsk /f on Windows)."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        for (uint32_t cluster : c.failing)
            volume->Faulty->FailWritesTouching(volume->SectorOfFatCluster(cluster), 1);
        EXPECT_EQ(volume->Convert(), c.thrown);
        // The rest of the volume is FAT32 all the same: both FATs and the boot sector.
        EXPECT_EQ(Reader().Boot.Signature, 0xAA55);
    }
}

// ---- free space -------------------------------------------------------------------------

// A volume whose free clusters are exactly what the conversion needs, plus `extra` clusters
// of a filler file.
std::unique_ptr<SameClusterVolume> TightVolume(int64_t extra, SameClusterReport* probe) {
    std::vector<FileSpec> files = {
        NonResident(u"LOW.BIN", 16, {{3, Lcn(0)}}, 3 * 512),
        NonResident(u"FILL.BIN", 17, {{100, Lcn(3)}}, 100 * 512),
    };
    auto probeVolume = std::make_unique<SameClusterVolume>(files);
    EXPECT_EQ(probeVolume->Convert(probe, {true}), "");
    // Grow the filler by the surplus of free clusters (and `extra` more).
    const int64_t grow = static_cast<int64_t>(probe->clustersFree - probe->clustersNeeded) + extra;
    files[1].runs[0].clusters += static_cast<uint64_t>(grow);
    files[1].dataSize = files[1].runs[0].clusters * 512;
    return std::make_unique<SameClusterVolume>(files);
}

TEST(SameClusterFreeSpace, ExactlyEnoughProceedsOneMoreRefusesBeforeAnyWrite) {
    LogCapture log;
    SameClusterReport probe;
    auto exact = TightVolume(0, &probe);
    SameClusterReport report;
    ASSERT_EQ(exact->Convert(&report), "");
    EXPECT_EQ(report.clustersNeeded, report.clustersFree);
    const testsupport::FsckResult fsck = Fsck(exact->Memory->Bytes());
    EXPECT_TRUE(fsck.Clean()) << fsck.output;

    auto tooFull = TightVolume(1, &probe);
    const std::vector<uint8_t> before = tooFull->Memory->Bytes();
    EXPECT_EQ(tooFull->Convert(&report), "The free space that convert to fat is too few.");
    EXPECT_EQ(report.clustersNeeded, report.clustersFree + 1);
    EXPECT_TRUE(tooFull->Faulty->Writes().empty());
    EXPECT_EQ(tooFull->Memory->Bytes(), before);
    EXPECT_TRUE(LogCapture::Saw("The free space that convert to fat too few."));
}

TEST(SameClusterTrim, ClustersCutFromAHardLinkedFileCountOnce) {
    // Eight clusters for two of data, under two names: six clusters become free, once.
    const FileSpec p = NonResident(u"P.BIN", 16, {{8, Lcn(200)}}, 2 * 512);
    SameClusterVolume volume({p, Link(p, u"SUB")}, {u"SUB"});
    SameClusterReport report;
    ASSERT_EQ(volume.Convert(&report), "");
    EXPECT_EQ(report.clustersTrimmed, 6u);
    EXPECT_EQ(report.clustersLinkCopies, 2u);
}

// ---- the pieces -------------------------------------------------------------------------

class FatPieces : public ::testing::Test {
protected:
    FatPieces() : volume({}) {}
    NFat MakeFat() { return NFat(volume.Image, volume.Faulty.get()); }
    static void SetRuns(CSList<tagDataRun_Entry>* list, const std::vector<RunSpec>& runs) {
        list->Clear();
        uint64_t vcn = 0;
        for (const RunSpec& r : runs) {
            list->Append(new tagDataRun_Entry{r.lcn, r.clusters, vcn, vcn + r.clusters - 1});
            vcn += r.clusters;
        }
    }
    SameClusterVolume volume;
};

TEST_F(FatPieces, ChainRunsInPlace) {
    struct Case {
        const char* what;
        std::vector<RunSpec> runs;
        uint32_t low;                                        // clusters below 3
        std::vector<std::pair<uint32_t, uint32_t>> entries;  // cluster, entry afterwards
    };
    constexpr uint32_t kEnd = kFat32EndOfChain;
    const std::vector<Case> cases = {
        {"one run in place", {{3, Lcn(10)}}, 0, {{10, 11}, {11, 12}, {12, kEnd}}},
        {"clusters 1 to 5", {{5, Lcn(1)}}, 2, {{1, kEnd}, {2, 0}, {3, 4}, {4, 5}, {5, kEnd}}},
        {"two runs linked",
         {{2, Lcn(10)}, {2, Lcn(20)}},
         0,
         {{10, 11}, {11, 20}, {20, 21}, {21, kEnd}}},
        {"sparse run passed over",
         {{2, Lcn(10)}, {4, -1}, {1, Lcn(30)}},
         0,
         {{11, 30}, {30, kEnd}}},
        {"low run, then a run above: not linked",
         {{2, Lcn(-5)}, {2, Lcn(40)}},
         2,
         {{40, 41}, {41, kEnd}}},
        {"run above, then a low run: not linked",
         {{2, Lcn(40)}, {1, Lcn(2)}},
         1,
         {{41, kEnd}, {2, 0}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        NFat fat = MakeFat();
        CSList<tagDataRun_Entry> runs;
        SetRuns(&runs, c.runs);
        EXPECT_EQ(ChainRunsInPlace(&fat, &runs), c.low);
        for (const auto& [cluster, value] : c.entries)
            EXPECT_EQ(fat.Entries[cluster], value) << cluster;
    }
}

TEST_F(FatPieces, CopyRunToChainBatchesConsecutiveClusters) {
    NFat fat = MakeFat();
    ClusterCopier copier(&fat, volume.Faulty.get());
    fat.Entries[10] = kFat32EndOfChain;  // a used cluster splits the new chain
    fat.SearchHint = 8;
    const uint32_t first = fat.ClaimChain(4);  // 8, 9, 11, 12
    ASSERT_EQ(first, 8u);
    const std::vector<uint8_t> source = Pattern(4 * 512, 9);
    std::memcpy(volume.Memory->Bytes().data() + Lcn(200) * 512, source.data(), source.size());
    copier.BeginFile(~0ULL);
    EXPECT_EQ(CopyRunToChain(&fat, first, Lcn(200), 4, 0, &copier), kFat32EndOfChain);
    ASSERT_EQ(volume.Faulty->Writes().size(), 2u);
    EXPECT_EQ(volume.Faulty->Writes()[0].first, volume.SectorOfFatCluster(8));
    EXPECT_EQ(volume.Faulty->Writes()[0].count, 2u);
    EXPECT_EQ(volume.Faulty->Writes()[1].first, volume.SectorOfFatCluster(11));
    EXPECT_EQ(volume.Faulty->Writes()[1].count, 2u);
    const uint8_t* bytes = volume.Memory->Bytes().data();
    EXPECT_EQ(std::memcmp(bytes + volume.SectorOfFatCluster(8) * 512, source.data(), 1024), 0);
    EXPECT_EQ(std::memcmp(bytes + volume.SectorOfFatCluster(11) * 512, source.data() + 1024, 1024),
              0);
    EXPECT_FALSE(copier.ReadFailed || copier.WriteFailed);
}

TEST_F(FatPieces, CopySpanZerosFromTheInitializedSizeAndNarrowsFailedReads) {
    NFat fat = MakeFat();
    ClusterCopier copier(&fat, volume.Faulty.get());
    const std::vector<uint8_t> source = Pattern(4 * 512, 3);
    std::memcpy(volume.Memory->Bytes().data() + Lcn(200) * 512, source.data(), source.size());
    volume.Faulty->FailReadsTouching(Lcn(200), 1);  // the span's first cluster
    copier.BeginFile(2 * 512 + 100);                // file bytes from 1124 on read as zeros
    copier.CopySpan(Lcn(200), 0, 20, 4);
    EXPECT_TRUE(copier.ReadFailed);
    std::vector<uint8_t> expected = source;
    std::fill(expected.begin(), expected.begin() + 512, 0);  // unreadable
    std::fill(expected.begin() + 1124, expected.end(), 0);   // past the initialized size
    const uint8_t* at = volume.Memory->Bytes().data() + volume.SectorOfFatCluster(20) * 512;
    EXPECT_EQ(std::vector<uint8_t>(at, at + 2048), expected);
    // Clusters wholly past the initialized size are not read at all.
    for (const auto& r : volume.Memory->Reads())
        EXPECT_LT(r.first, static_cast<uint64_t>(Lcn(203)));
}

TEST_F(FatPieces, SetSingleRunNamesTheFirstCluster) {
    NFat fat = MakeFat();
    auto attrBytes = crafted::NonResidentAttr(
        kAttrData, crafted::MappingPairs({{3, Lcn(50)}, {2, Lcn(90)}}), 0, 4, 5 * 512);
    volume.Volume.PutRecord(26,
                            crafted::FileRecord(volume.Volume.Geom().RecordSize(), {attrBytes}));
    MemoryDevice memory(volume.Volume.Image());
    CNTFSVolume ntfs(&memory);
    CFileRecord record(&ntfs);
    ASSERT_TRUE(record.LoadRecord(26));
    ASSERT_TRUE(record.BuildAttributes());
    auto* data = dynamic_cast<CAttrNonResident*>(record.FirstUnnamedData());
    ASSERT_NE(data, nullptr);
    SetSingleRun(data, &fat, 77);
    ASSERT_EQ(data->Runs.Count(), 1);
    const tagDataRun_Entry* run = data->Runs.First();
    EXPECT_EQ(fat.ClusterOfLcn(static_cast<uint64_t>(run->Lcn)), 77);
    EXPECT_EQ(run->ClusterCount, ~0ULL);
    EXPECT_EQ(run->VcnFrom, ~0ULL);
    EXPECT_EQ(run->VcnTo, ~0ULL);
}

TEST(SameClusterMessage, ListsAtMostFiftyNamesAndCountsTheRest) {
    std::vector<std::u16string> many;
    for (int i = 0; i < 53; ++i)
        many.push_back(u"/f" + std::u16string(1, static_cast<char16_t>(u'a' + i % 26)));
    const std::string text = platform::Utf16ToUtf8(UnreadFilesMessage(many, {u"/w"}));
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 50 + 1 + 1 + 1);
    EXPECT_NE(text.find("\n... and 3 more.\nThese files could not be written completely and may "
                        "hold wrong data:\n/w"),
              std::string::npos);
    EXPECT_TRUE(UnreadFilesMessage({}, {}).empty());
}

// ---- FAT32 clusters smaller than the NTFS clusters -------------------------------------
//
// 4096-byte NTFS clusters on 4 MiB, converted with FAT32 clusters of 2048 and of 512 bytes
// (each NTFS cluster two or eight FAT32 clusters), the data area on an NTFS cluster boundary.
// LCNs are counted from D, the NTFS cluster that holds FAT cluster 2: NTFS cluster D + i
// holds FAT clusters 2 + i * ratio to 1 + (i + 1) * ratio.

struct SmallerClusters {
    uint32_t fatSectors;  // sectors per FAT32 cluster
    uint32_t ratio;       // FAT32 clusters per NTFS cluster
};

struct SmallerClusterVolume {
    static constexpr uint32_t kNtfsBytes = 4096;
    static constexpr uint64_t kSectors = 8192;

    static crafted::Geometry Geometry() {
        crafted::Geometry g;  // 4096-byte clusters, 1024-byte records
        g.clusters = kSectors / 8;
        g.mftLcn = 600;  // records well away from the files' clusters
        return g;
    }
    // The boot sector with the data area moved onto an NTFS cluster boundary.
    static FAT32_BOOT_SECTOR Boot(uint32_t s, bool aligned = true) {
        const FAT32_LAYOUT base = ComputeFat32Layout(s, kSectors, 512, 0);
        const uint32_t extra = aligned ? (8 - base.FirstDataSector % 8) % 8 : 0;
        FAT32_BOOT_SECTOR image{};
        EXPECT_TRUE(BuildFat32BootSector(s, &image, kSectors, 63, 255, 512, extra));
        return image;
    }
    static int64_t D(uint32_t s) { return NFat::FirstDataSectorOf(Boot(s)) / 8; }
};

class SmallerFatClusters : public ::testing::TestWithParam<SmallerClusters>,
                           protected SmallerClusterVolume {};

TEST_P(SmallerFatClusters, EachNtfsClusterBecomesWholeFatClustersAndDataStays) {
    const SmallerClusters p = GetParam();
    const uint32_t r = p.ratio;
    const uint32_t fatBytes = p.fatSectors * 512;
    const int64_t d = D(p.fatSectors);
    ASSERT_GE(d, 4);
    // FAT cluster of the first FAT32 cluster of NTFS cluster d + i.
    auto fatOf = [&](int64_t i) { return static_cast<uint32_t>(2 + i * r); };
    const std::vector<crafted::FileSpec> files = {
        // 0: stays; its last NTFS cluster holds 100 bytes: the FAT32 clusters after them free.
        {u"A.BIN", 16, {{3, d + 10}}, 2 * kNtfsBytes + 100},
        // 1: wholly under the FAT area, then through cluster D (FAT cluster 2 and the ones
        //    after it, which stay), then a cluster that stays.
        {u"B.BIN", 17, {{3, d - 1}}, 3 * kNtfsBytes},
        // 2: a piece under the FAT area, a piece that stays and ends mid-cluster.
        {u"C.BIN", 18, {{1, d - 3}, {2, d + 20}}, 3 * kNtfsBytes - 1000},
        // 3, 5: two names of one file.
        {u"L.BIN", 19, {{2, d + 30}}, 5000},
        // 4: resident.
        {u"R.TXT", 20, {}, 5, ~0ULL, "small"},
        {u"L.BIN", 0, {}, 0, ~0ULL, "", u"SUB", 19},
    };
    crafted::FileVolume volume(Geometry(), files, {u"SUB"});
    FaultyDevice device(volume.Memory());
    device.RecordWriteBytes(false);
    SameClusterOptions options;
    options.fatClustersPerNtfsCluster = r;
    SameClusterReport report;
    const FAT32_BOOT_SECTOR image = Boot(p.fatSectors);
    ConvertSameClusterSize(image, &device, volume.Root(), nullptr, nullptr, options, &report);

    const std::vector<uint8_t>& bytes = volume.Memory().Bytes();
    FatReader fat(bytes);
    ASSERT_EQ(fat.Boot.SectorsPerCluster, p.fatSectors);
    const auto root = fat.Directory(2);
    const auto sub = fat.Directory(FatReader::First(root.at("SUB")));
    auto chainOf = [&](const std::map<std::string, FAT_DIR_ENTRY>& dir, const char* name) {
        return fat.Chain(FatReader::First(dir.at(name)));
    };
    auto run = [](uint32_t first, uint32_t count) {
        std::vector<uint32_t> out(count);
        for (uint32_t i = 0; i < count; ++i) out[i] = first + i;
        return out;
    };
    auto need = [&](uint64_t size) { return static_cast<uint32_t>(DivideUp(size, fatBytes)); };

    // Every name reads back its bytes, through a chain as long as its size needs.
    for (size_t i = 0; i < files.size(); ++i) {
        const auto& dir = files[i].parent.empty() ? root : sub;
        const std::string name = platform::Utf16ToUtf8(files[i].name);
        SCOPED_TRACE(name);
        ASSERT_TRUE(dir.count(name));
        const FAT_DIR_ENTRY& e = dir.at(name);
        EXPECT_EQ(fat.Read(FatReader::First(e), e.FileSize), volume.Expected(i));
        EXPECT_EQ(fat.Chain(FatReader::First(e)).size(), need(e.FileSize));
    }
    // A: its clusters where they were, cut at the data size; the rest of the run is free.
    const uint32_t aKeep = need(files[0].dataSize);
    EXPECT_EQ(chainOf(root, "A.BIN"), run(fatOf(10), aKeep));
    for (uint32_t x = fatOf(10) + aKeep; x < fatOf(13); ++x) EXPECT_EQ(fat.Entry(x), 0u) << x;
    // B: its r clusters under the FAT area and FAT cluster 2 are copies, leading into
    //    FAT clusters 3 onwards in place.
    const std::vector<uint32_t> b = chainOf(root, "B.BIN");
    ASSERT_EQ(b.size(), 3u * r);
    for (uint32_t i = 0; i <= r; ++i) EXPECT_GE(b[i], fatOf(2)) << i;  // past B's own
    EXPECT_EQ(std::vector<uint32_t>(b.begin() + r + 1, b.end()), run(3, 2 * r - 1));
    // C: a copy of its first NTFS cluster, then its second run in place, cut at the size.
    const std::vector<uint32_t> c = chainOf(root, "C.BIN");
    ASSERT_EQ(c.size(), need(files[2].dataSize));
    EXPECT_EQ(std::vector<uint32_t>(c.begin() + r, c.end()), run(fatOf(20), c.size() - r));
    // L: the first name keeps its clusters, the second has a copy of what the size needs.
    EXPECT_EQ(chainOf(root, "L.BIN"), run(fatOf(30), need(5000)));
    for (uint32_t x : chainOf(sub, "L.BIN")) EXPECT_TRUE(x < fatOf(30) || x >= fatOf(32)) << x;

    EXPECT_EQ(report.clustersRelocated, (r + 1) + r);
    EXPECT_EQ(report.clustersLinkCopies, need(5000));
    EXPECT_EQ(report.clustersTrimmed, (3 * r - aKeep) + (3 * r - c.size()) + (2 * r - need(5000)));
    // What stays is neither read nor written: A, and C's piece in place.
    for (const auto& [first, count] : {std::pair<int64_t, uint64_t>{d + 10, 3}, {d + 20, 2}}) {
        const uint64_t sector = static_cast<uint64_t>(first) * 8;
        for (const auto& rd : volume.Memory().Reads()) {
            EXPECT_FALSE(rd.first < sector + count * 8 && sector < rd.first + rd.count) << first;
        }
        for (const auto& w : device.Writes()) {
            EXPECT_FALSE(w.first < sector + count * 8 && sector < w.first + w.count) << first;
        }
    }
    const testsupport::FsckResult fsck = Fsck(bytes);
    EXPECT_TRUE(fsck.Clean()) << fsck.output;
}

INSTANTIATE_TEST_SUITE_P(Ratios, SmallerFatClusters,
                         ::testing::Values(SmallerClusters{4, 2}, SmallerClusters{1, 8}),
                         [](const ::testing::TestParamInfo<SmallerClusters>& info) {
                             return "ratio" + std::to_string(info.param.ratio);
                         });

}  // namespace
