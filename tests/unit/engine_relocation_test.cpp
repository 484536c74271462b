// Relocation of file data onto the groups of larger FAT32 clusters: the run-list operations
// on hand-built runs, and the passes on small crafted volumes whose files lie where each test
// puts them. Every test that writes goes through a BitmapGuardDevice, which refuses (and fails
// the test on) any write into a cluster that still holds file data.
//
// The crafted volumes have 512-byte NTFS clusters and keep their MFT near the end, so LCNs
// below kMftLcn are free for the tests' data.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/TextEncoding.h"
#include "device/Log.h"
#include "device/ProgressInforAssist.h"
#include "engine/Fat32BootSector.h"
#include "engine/FileTree.h"
#include "ntfs/CFileRecord.h"
#include "relocation/AlignPass.h"
#include "relocation/NBitmap.h"
#include "tests/support/BitmapGuardDevice.h"
#include "tests/support/CraftedFiles.h"

// Runs compare field by field (found by argument lookup: the type is global).
bool operator==(const tagDataRun_Entry& a, const tagDataRun_Entry& b) {
    return a.Lcn == b.Lcn && a.ClusterCount == b.ClusterCount && a.VcnFrom == b.VcnFrom && a.VcnTo == b.VcnTo;
}

namespace {

namespace crafted = testsupport::crafted;
using crafted::FileSpec;
using testsupport::BitmapGuardDevice;

[[maybe_unused]] const bool kQuietLog = UseFileLog("/dev/null");

constexpr uint64_t kClusters = 512;
constexpr uint64_t kMftLcn = 280;  // records up to 101 end before LCN 484
constexpr uint32_t kCb = 512;

crafted::Geometry SmallGeometry() {
    crafted::Geometry g;
    g.sectorsPerCluster = 1;
    g.clustersPerRecord = -10;
    g.clusters = kClusters;
    g.mftLcn = kMftLcn;
    return g;
}

tagDataRun_Entry Rn(int64_t lcn, uint64_t count, uint64_t vcn) { return {lcn, count, vcn, vcn + count - 1}; }

// Runs as (Lcn, count) pairs, VCNs checked to follow each other from 0.
std::vector<std::pair<int64_t, uint64_t>> Shape(const RunList& runs) {
    std::vector<std::pair<int64_t, uint64_t>> out;
    uint64_t vcn = 0;
    for (const tagDataRun_Entry& r : runs) {
        EXPECT_EQ(r.VcnFrom, vcn);
        EXPECT_EQ(r.VcnTo, r.VcnFrom + r.ClusterCount - 1);
        vcn += r.ClusterCount;
        out.emplace_back(r.Lcn, r.ClusterCount);
    }
    return out;
}
using Pairs = std::vector<std::pair<int64_t, uint64_t>>;

// A crafted volume with its bitmap: group size, data area and reserved group as given, a FAT,
// runs trimmed to the data and every file cluster marked.
struct Scene {
    Scene(std::vector<FileSpec> files, uint32_t groupSize, uint32_t dataStart, uint32_t lastLcn,
          int64_t reserved = NBitmap::kNone, const std::vector<std::u16string>& dirs = {})
        : volume(SmallGeometry(), std::move(files), dirs),
          guard(volume.Memory()),
          bitmap(&guard, &volume.Ntfs(), groupSize) {
        guard.Watch(&bitmap);
        bitmap.SetDataArea(dataStart, lastLcn);
        bitmap.AllocateFatTable(1);
        bitmap.ReservedGroup = reserved;
        TrimRunsToData(volume.Root(), kCb);
        MarkFileClusters(volume.Root(), &bitmap, &phases);
        bitmap.Cursor = bitmap.DataStartLcn;
    }

    RunList Runs(size_t i) { return LoadRuns(volume.Data(i)); }

    // Every file reads back as it should through its runs.
    void ExpectDataIntact() {
        for (size_t i = 0; i < volume.Files().size(); ++i) {
            if (volume.Data(i) == nullptr) continue;
            EXPECT_EQ(volume.ReadThroughRuns(i), volume.Expected(i)) << platform::Utf16ToUtf8(volume.Files()[i].name);
        }
    }
    // Every group of every file is in place.
    void ExpectAllInPlace() {
        for (size_t i = 0; i < volume.Files().size(); ++i) {
            if (volume.Data(i) == nullptr) continue;
            const RunList runs = Runs(i);
            RunWalker walker(runs, bitmap.GroupSize);
            uint32_t n = 0;
            uint64_t f = 0;
            while (walker.NextGroup(&n, &f)) {
                EXPECT_TRUE(GroupInPlace(&bitmap, walker.Lcns(), n, f))
                    << platform::Utf16ToUtf8(volume.Files()[i].name) << " VCN " << f << " at LCN " << walker.Lcns()[0];
            }
        }
    }
    // The marked bits are exactly the clusters the files' runs hold.
    void ExpectBitsMatchRuns() {
        std::set<uint64_t> held;
        for (size_t i = 0; i < volume.Files().size(); ++i) {
            if (volume.Data(i) == nullptr) continue;
            for (const tagDataRun_Entry& r : Runs(i)) {
                for (uint64_t k = 0; k < r.ClusterCount; ++k) held.insert(static_cast<uint64_t>(r.Lcn) + k);
            }
        }
        for (uint64_t lcn = 0; lcn < bitmap.BitCount(); ++lcn) {
            EXPECT_EQ(bitmap.IsMarked(lcn), held.count(lcn) == 1) << "LCN " << lcn;
        }
    }

    crafted::FileVolume volume;
    BitmapGuardDevice guard;
    NBitmap bitmap;
    std::vector<uint32_t> phases;
    RelocationNotes notes;
};

// ---- Run lists ----------------------------------------------------------------------

TEST(RunWalker, DeliversFileGroupsAcrossRunsInVcnOrder) {
    struct Case {
        const char* what;
        RunList runs;
        uint32_t groupSize;
        std::vector<std::vector<uint64_t>> groups;  // LCNs per group
        std::vector<uint64_t> firstVcns;
    } cases[] = {
        {"one run", {Rn(21, 4, 0)}, 2, {{21, 22}, {23, 24}}, {0, 2}},
        {"short last group", {Rn(10, 5, 0)}, 4, {{10, 11, 12, 13}, {14}}, {0, 4}},
        {"groups cross runs", {Rn(30, 3, 0), Rn(7, 2, 3), Rn(50, 3, 5)}, 4, {{30, 31, 32, 7}, {8, 50, 51, 52}}, {0, 4}},
        {"runs of one cluster", {Rn(9, 1, 0), Rn(3, 1, 1), Rn(5, 1, 2)}, 2, {{9, 3}, {5}}, {0, 2}},
        {"sparse run ends a group", {Rn(40, 1, 0), Rn(-1, 2, 1), Rn(60, 3, 3)}, 2, {{40}, {60}, {61, 62}}, {0, 3, 4}},
        {"nothing", {}, 2, {}, {}},
    };
    for (const Case& c : cases) {
        RunWalker walker(c.runs, c.groupSize);
        std::vector<std::vector<uint64_t>> groups;
        std::vector<uint64_t> vcns;
        uint32_t n = 0;
        uint64_t f = 0;
        while (walker.NextGroup(&n, &f)) {
            groups.emplace_back(walker.Lcns(), walker.Lcns() + n);
            vcns.push_back(f);
        }
        EXPECT_EQ(groups, c.groups) << c.what;
        EXPECT_EQ(vcns, c.firstVcns) << c.what;
        EXPECT_FALSE(walker.NextGroup(&n, &f)) << c.what;
    }
}

TEST(RunWalker, IsASnapshot) {
    RunList runs = {Rn(21, 4, 0)};
    RunWalker walker(runs, 2);
    runs[0].Lcn = 99;
    uint32_t n = 0;
    uint64_t f = 0;
    ASSERT_TRUE(walker.NextGroup(&n, &f));
    EXPECT_EQ(walker.Lcns()[0], 21u);
}

TEST(SplitRunAt, SplitsInsideARunAndFindsRunStarts) {
    RunList runs = {Rn(100, 8, 0)};
    size_t before = 0;
    EXPECT_EQ(SplitRunAt(&runs, 3, &before), 1u);
    EXPECT_EQ(before, 0u);
    EXPECT_EQ(Shape(runs), (Pairs{{100, 3}, {103, 5}}));
    // A run that already starts there is returned as it is, with the one before it.
    EXPECT_EQ(SplitRunAt(&runs, 3, &before), 1u);
    EXPECT_EQ(before, 0u);
    EXPECT_EQ(SplitRunAt(&runs, 0, &before), 0u);
    EXPECT_EQ(before, kNoRun);
    // The split becomes the tail when it splits the tail.
    EXPECT_EQ(SplitRunAt(&runs, 7, &before), 2u);
    EXPECT_EQ(Shape(runs), (Pairs{{100, 3}, {103, 4}, {107, 1}}));
    // Past the end, nothing changes.
    EXPECT_EQ(SplitRunAt(&runs, 8, &before), kNoRun);
    EXPECT_EQ(runs.size(), 3u);
    // A sparse run stays sparse in both parts.
    RunList sparse = {Rn(-1, 4, 0)};
    SplitRunAt(&sparse, 2);
    EXPECT_EQ(Shape(sparse), (Pairs{{-1, 2}, {-1, 2}}));
}

TEST(MergeRuns, JoinsRunsThatFollowOnDisk) {
    struct Case {
        const char* what;
        RunList runs;
        size_t from, stop;
        Pairs expected;
    } cases[] = {
        {"no from: nothing", {Rn(10, 2, 0), Rn(12, 2, 2)}, kNoRun, 1, {{10, 2}, {12, 2}}},
        {"moved run joins the run before", {Rn(10, 2, 0), Rn(12, 2, 2), Rn(40, 1, 4)}, 0, 2, {{10, 4}, {40, 1}}},
        {"ends after an unmerged stop", {Rn(10, 2, 0), Rn(30, 2, 2), Rn(32, 1, 4)}, 0, 1, {{10, 2}, {30, 2}, {32, 1}}},
        {"a merged stop goes on", {Rn(10, 2, 0), Rn(12, 2, 2), Rn(14, 1, 4), Rn(15, 1, 5)}, 0, 1, {{10, 6}}},
        {"no stop: to the end", {Rn(5, 1, 0), Rn(10, 2, 1), Rn(12, 2, 3), Rn(14, 2, 5)}, 1, kNoRun, {{5, 1}, {10, 6}}},
        {"runs of 0 clusters go", {Rn(10, 2, 0), {77, 0, 2, 1}, Rn(12, 1, 2)}, 0, 2, {{10, 3}}},
    };
    for (Case& c : cases) {
        MergeRuns(&c.runs, c.from, c.stop);
        EXPECT_EQ(Shape(c.runs), c.expected) << c.what;
    }
}

// ---- MoveRange ----------------------------------------------------------------------

TEST(MoveRange, MovesThroughTheBufferRewritesRunsAndBits) {
    // A file of 6 clusters in two runs; VCNs 1 .. 4 move to LCN 100.
    Scene s({{u"A.BIN", 16, {{3, 40}, {3, 60}}, 6 * kCb}}, 4, 10, 199);
    RunList runs = s.Runs(0);
    MoveNotes notes;
    ASSERT_TRUE(MoveRange(&s.bitmap, &runs, 1, 4, 100, &notes));
    EXPECT_EQ(Shape(runs), (Pairs{{40, 1}, {100, 4}, {62, 1}}));
    EXPECT_FALSE(notes.ReadFailed || notes.WriteFailed);
    // The source is released, the destination held.
    for (uint64_t lcn : {41u, 42u, 60u, 61u}) EXPECT_FALSE(s.bitmap.IsMarked(lcn)) << lcn;
    for (uint64_t lcn : {40u, 62u, 100u, 101u, 102u, 103u}) EXPECT_TRUE(s.bitmap.IsMarked(lcn)) << lcn;
    // One read per source piece, one write for the range.
    EXPECT_EQ(s.guard.Writes().size(), 1u);
    EXPECT_EQ(s.guard.Writes()[0].first, 100u);
    EXPECT_EQ(s.guard.Writes()[0].count, 4u);
    EXPECT_EQ(s.guard.ReadCalls(), 2u);
    StoreRuns(s.volume.Data(0), runs);
    s.ExpectDataIntact();
}

TEST(MoveRange, MergesWithTheRunBeforeAndAfter) {
    Scene s({{u"A.BIN", 16, {{2, 20}, {2, 50}, {2, 24}}, 6 * kCb}}, 2, 10, 199);
    RunList runs = s.Runs(0);
    ASSERT_TRUE(MoveRange(&s.bitmap, &runs, 2, 2, 22));
    EXPECT_EQ(Shape(runs), (Pairs{{20, 6}}));
    StoreRuns(s.volume.Data(0), runs);
    s.ExpectDataIntact();
}

TEST(MoveRange, WritesZerosPastTheInitializedSizeAndNotesFailures) {
    Scene s({{u"A.BIN", 16, {{4, 40}}, 4 * kCb, kCb + 100}}, 4, 10, 199);
    s.guard.FailReadsTouching(40, 1);   // the first cluster cannot be read
    RunList runs = s.Runs(0);
    MoveNotes notes;
    notes.ZeroFrom = kCb + 100;
    ASSERT_TRUE(MoveRange(&s.bitmap, &runs, 0, 4, 100, &notes));
    EXPECT_TRUE(notes.ReadFailed);
    EXPECT_FALSE(notes.WriteFailed);
    // Clusters wholly past the initialized size are not even read.
    EXPECT_EQ(s.guard.ReadCalls(), 3u);  // the span, then its two clusters one by one
    const std::vector<uint8_t> disk = s.volume.OnDisk(0);
    const uint8_t* moved = s.volume.Memory().Bytes().data() + 100 * kCb;
    EXPECT_TRUE(std::all_of(moved, moved + kCb, [](uint8_t b) { return b == 0; }));
    EXPECT_TRUE(std::equal(moved + kCb, moved + kCb + 100, disk.begin() + kCb));
    EXPECT_TRUE(std::all_of(moved + kCb + 100, moved + 4 * kCb, [](uint8_t b) { return b == 0; }));

    s.guard.FailWritesTouching(200, 1);
    MoveNotes failed;
    ASSERT_TRUE(MoveRange(&s.bitmap, &runs, 0, 1, 200, &failed));
    EXPECT_TRUE(failed.WriteFailed);
    EXPECT_TRUE(s.bitmap.IsMarked(200));  // the runs say where the data should be now
}

TEST(MoveRange, RefusesRangesTheRunsDoNotCoverOrTheBufferCannotHold) {
    Scene s({{u"A.BIN", 16, {{4, 40}}, 4 * kCb}}, 4, 10, 199);
    RunList runs = s.Runs(0);
    EXPECT_FALSE(MoveRange(&s.bitmap, &runs, 2, 3, 100));
    EXPECT_FALSE(MoveRange(&s.bitmap, &runs, 0, s.bitmap.CopyBufferBytes / kCb + 1, 100));
    EXPECT_EQ(Shape(runs), (Pairs{{40, 4}}));
    EXPECT_TRUE(s.guard.Writes().empty());
}

// ---- Before relocation --------------------------------------------------------------

TEST(Preparation, TrimPhasesAndCounts) {
    // G = 4, data area 40 .. 199 with the group at 40 reserved.
    Scene s({
                {u"A.BIN", 16, {{10, 45}}, 3 * kCb - 5},        // trimmed to 3 clusters, phase 1
                {u"B.BIN", 17, {{2, 30}, {5, 60}}, 7 * kCb},    // 2 clusters before the area
                {u"C.BIN", 18, {{6, 197}}, 6 * kCb},            // 3 clusters past the end
                {u"D.BIN", 19, {{4, 150}}, 0},                  // size 0: no runs at all
                {u"E.BIN", 18, {}, 0, ~0ULL, "", u"SUB", 18},   // another name of C
                {u"F.BIN", 20, {}, 11, ~0ULL, "resident!!!"},
            },
            4, 40, 199, 40, {u"SUB", u"EMPTY"});
    EXPECT_EQ(Shape(s.Runs(0)), (Pairs{{45, 3}}));
    EXPECT_TRUE(s.Runs(3).empty());
    EXPECT_FALSE(s.bitmap.IsMarked(48));  // cut clusters are free
    EXPECT_FALSE(s.bitmap.IsMarked(150));
    // Phases by cluster counts of first names: A 3 at 1, B 2 at 2 and 5 at 2 ((60-2) mod 4),
    // C 6 at 1 (197 mod 4); C's second name does not vote.
    EXPECT_EQ(s.phases, (std::vector<uint32_t>{0, 9, 7, 0}));
    EXPECT_EQ(ChooseDataPhase(s.phases), 1u);
    EXPECT_EQ(ChooseDataPhase({3, 5, 5, 1}), 1u);  // a tie goes to the lower phase
    EXPECT_EQ(ChooseDataPhase({0, 0}), 0u);

    uint64_t outside = 0;
    // 1 (root) + 2 (root and SUB hold something) + A 1 + B 2 + C 2 + E 2 (its own chain).
    EXPECT_EQ(CountFatClusters(s.volume.Root(), &s.bitmap, &outside), 10u);
    EXPECT_EQ(outside, 2u + 3u);  // B's first run, and C's clusters past 199 (200 .. 202)
}

// ---- AlignPass ----------------------------------------------------------------------

TEST(AlignPass, MovesMisalignedGroupsToTheFirstFreeGroupsAndMergesThem) {
    // Group size 2, data area from 10, the cursor at 10, 10 .. 13 free, and a file at 21 .. 24:
    // neither group starts a volume group, so both move and end as one run at 10.
    {
        Scene s({{u"A.BIN", 16, {{4, 21}}, 4 * kCb}}, 2, 10, 99);
        EXPECT_TRUE(AlignPass(s.volume.Root(), &s.bitmap, &s.notes));
        EXPECT_EQ(Shape(s.Runs(0)), (Pairs{{10, 4}}));
        EXPECT_EQ(s.notes.groupsMoved, 2u);
        for (uint64_t lcn = 21; lcn <= 24; ++lcn) EXPECT_FALSE(s.bitmap.IsMarked(lcn));
        // Both groups followed each other at both ends: one read and one write.
        EXPECT_EQ(s.guard.Writes().size(), 1u);
        s.ExpectDataIntact();
        s.ExpectBitsMatchRuns();
    }
    // With the group at 10 reserved they go to 12 .. 15.
    {
        Scene s({{u"A.BIN", 16, {{4, 21}}, 4 * kCb}}, 2, 10, 99, 10);
        EXPECT_TRUE(AlignPass(s.volume.Root(), &s.bitmap));
        EXPECT_EQ(Shape(s.Runs(0)), (Pairs{{12, 4}}));
        s.ExpectDataIntact();
    }
}

TEST(AlignPass, LeavesGroupsInPlaceAndMovesOnlyWhatIsNot) {
    // G = 4, data area 40 .. 199, the group at 40 reserved.
    Scene s({
                {u"STAY.BIN", 16, {{8, 44}}, 8 * kCb},          // two aligned groups
                {u"SHORT.BIN", 17, {{6, 52}}, 6 * kCb},         // aligned; last group of 2
                {u"SHIFT.BIN", 18, {{4, 61}}, 4 * kCb},         // starts one after a boundary
                {u"RESV.BIN", 19, {{2, 40}}, 2 * kCb},          // in the reserved group
                {u"LOW.BIN", 20, {{4, 20}}, 4 * kCb},           // before the data area
                {u"HIGH.BIN", 21, {{4, 198}}, 4 * kCb},         // across the end of the area
                {u"FRAG.BIN", 22, {{2, 68}, {2, 90}}, 4 * kCb}, // a group in two pieces
            },
            4, 40, 199, 40);
    const RunList stay = s.Runs(0), shortFile = s.Runs(1);
    EXPECT_TRUE(AlignPass(s.volume.Root(), &s.bitmap, &s.notes));
    EXPECT_EQ(s.Runs(0), stay);
    EXPECT_EQ(s.Runs(1), shortFile);
    EXPECT_EQ(s.notes.groupsMoved, 5u);
    // The short group's volume group keeps its empty tail: no file moves in there.
    EXPECT_FALSE(s.bitmap.IsMarked(58));
    EXPECT_FALSE(s.bitmap.IsMarked(59));
    // The moved files took free groups in tree order from the cursor: 60, 64, ...; the
    // groups at 56 (SHORT's tail is not free) and 40 (reserved) were passed over.
    EXPECT_EQ(Shape(s.Runs(2)), (Pairs{{72, 4}}));
    EXPECT_EQ(Shape(s.Runs(3)), (Pairs{{76, 2}}));
    s.ExpectAllInPlace();
    s.ExpectDataIntact();
    s.ExpectBitsMatchRuns();
}

TEST(AlignPass, FailsWhenTheOnlyFreeGroupsLieBeforeTheCursor) {
    // G = 2, data area 8 .. 23: only the group at 8 is free; A and B are misaligned.
    Scene s({{u"A.BIN", 16, {{1, 11}}, kCb}, {u"B.BIN", 17, {{10, 13}}, 10 * kCb}}, 2, 8, 23);
    s.bitmap.Cursor = 20;
    EXPECT_FALSE(AlignPass(s.volume.Root(), &s.bitmap, &s.notes));
    EXPECT_EQ(s.notes.groupsMoved, 0u);
    EXPECT_EQ(Shape(s.Runs(0)), (Pairs{{11, 1}}));
    // From the start of the data area each move frees the group the next one needs.
    s.bitmap.Cursor = 8;
    EXPECT_TRUE(AlignPass(s.volume.Root(), &s.bitmap, &s.notes));
    EXPECT_EQ(Shape(s.Runs(0)), (Pairs{{8, 1}}));
    s.ExpectAllInPlace();
    s.ExpectDataIntact();
    s.ExpectBitsMatchRuns();
}

// ---- CompactPass --------------------------------------------------------------------

TEST(CompactPass, PacksStrayClustersButNeverTouchesGroupsInPlace) {
    // G = 4, data area 40 .. 99, reserved 40 (partly used by R, which must leave it).
    Scene s({
                {u"KEEP.BIN", 16, {{2, 44}}, 2 * kCb},             // in place, short: group 44 part used
                {u"R.BIN", 17, {{1, 41}}, kCb},                     // in the reserved group
                {u"X.BIN", 18, {{1, 49}, {1, 54}, {1, 59}}, 3 * kCb},  // three groups' worth of strays
                {u"FULL.BIN", 19, {{4, 63}, {1, 67}}, 5 * kCb},     // misaligned, group 64 full
            },
            4, 40, 99, 40);
    const RunList keep = s.Runs(0);
    // X: 49 fills KEEP's hole 46, 54 the hole 47; then 48 and 52 are empty and 56 is the first
    // part-used group, which holds 59 itself. FULL: 63 goes to 56; its other clusters sit in
    // the full group 64.
    EXPECT_EQ(CompactPass(s.volume.Root(), &s.bitmap, &s.notes), 3u);
    EXPECT_EQ(s.Runs(0), keep);                      // the group in place keeps its clusters
    EXPECT_EQ(Shape(s.Runs(1)), (Pairs{{41, 1}}));   // the reserved group is left to AlignPass
    EXPECT_FALSE(s.bitmap.IsMarked(42));            // ... and never receives a cluster
    EXPECT_EQ(Shape(s.Runs(2)), (Pairs{{46, 2}, {59, 1}}));
    EXPECT_EQ(Shape(s.Runs(3)), (Pairs{{56, 1}, {64, 3}, {67, 1}}));  // its two runs as NTFS stored them
    s.ExpectDataIntact();
    s.ExpectBitsMatchRuns();
}

TEST(CompactPass, MovesIntoTheFirstPartGroupAndThenNoMore) {
    Scene s({{u"A.BIN", 16, {{3, 45}}, 3 * kCb}, {u"B.BIN", 17, {{4, 49}}, 4 * kCb}}, 4, 40, 99);
    // Part-used groups: 44 (A: 45 .. 47), 48 (B: 49 .. 51) and 52 (B: 52). A stays in the
    // first one; B's 49 fills its hole 44, then 48 is the first part-used group: 50 and 51
    // stay, 52 moves to 48.
    EXPECT_EQ(CompactPass(s.volume.Root(), &s.bitmap, &s.notes), 2u);
    EXPECT_TRUE(s.bitmap.IsMarked(44));
    EXPECT_TRUE(s.bitmap.IsMarked(48));
    EXPECT_FALSE(s.bitmap.IsMarked(49));
    EXPECT_FALSE(s.bitmap.IsMarked(52));
    // Now every stray is in the first part-used group or in a full one.
    EXPECT_EQ(CompactPass(s.volume.Root(), &s.bitmap, &s.notes), 0u);
    EXPECT_EQ(s.notes.clustersCompacted, 2u);
    s.ExpectDataIntact();
    s.ExpectBitsMatchRuns();
}

// ---- The relocation loop ------------------------------------------------------------

TEST(RelocateFiles, PacksGroupsThatStartBeforeTheDataAreaSoAlignmentCanFinish) {
    // Every file is one group of 4 whose first cluster lies under the future FAT area and
    // whose other clusters are scattered one per group over the whole data area: no group is
    // free, and every group is misaligned and starts outside the data area. The free-space
    // check passes (5 + 1 + 0 needed of 10 clusters). Packing the scattered clusters must
    // not skip groups that start outside the data area, or nothing could ever move here.
    std::vector<FileSpec> files;
    for (uint64_t k = 0; k < 3; ++k) {
        files.push_back({std::u16string(u"F") + static_cast<char16_t>(u'0' + k) + u".BIN", 16 + k,
                         {{1, static_cast<int64_t>(20 + k)},
                          {1, static_cast<int64_t>(44 + 4 * k + 1)},
                          {1, static_cast<int64_t>(56 + 4 * k + 2)},
                          {1, static_cast<int64_t>(68 + 4 * k + 3)}},
                         4 * kCb});
    }
    Scene s(files, 4, 40, 79, 40);
    uint64_t outside = 0;
    const uint64_t need = CountFatClusters(s.volume.Root(), &s.bitmap, &outside) + 1 /* root dir */;
    EXPECT_LE(need, s.bitmap.GroupCount());
    EXPECT_EQ(s.bitmap.FindFreeGroup(), NBitmap::kNone);
    s.bitmap.Cursor = 40;
    RelocateFiles(s.volume.Root(), &s.bitmap, &s.notes);
    EXPECT_GT(s.notes.clustersCompacted, 0u);
    EXPECT_EQ(s.notes.groupsMoved, 3u);
    s.ExpectAllInPlace();
    s.ExpectDataIntact();
    s.ExpectBitsMatchRuns();
    EXPECT_EQ(s.bitmap.CountMarked(40, 4), 0u);  // the root directory's group is free
}

TEST(RelocateFiles, EndsWhenNoPassCanMoveAnything) {
    // 11 misaligned clusters for four groups (the reserved one aside): more than the data area
    // can hold, so the free-space check would have refused it; the loop must not spin.
    Scene s({{u"A.BIN", 16, {{11, 9}}, 11 * kCb}}, 2, 10, 19, 10);
    std::vector<std::string> logged;
    static std::vector<std::string>* sink;
    sink = &logged;
    SetLogEcho([](int, const char* line) { sink->emplace_back(line); });
    try {
        RelocateFiles(s.volume.Root(), &s.bitmap, &s.notes);
        ADD_FAILURE() << "no exception";
    } catch (const SimpleException& e) {
        EXPECT_EQ(e.Kind, 1);
        EXPECT_EQ(e.Text(), u"The free space that convert to fat is too few.");
    }
    SetLogEcho(nullptr);
    EXPECT_LE(s.notes.alignPasses, 3u);
    EXPECT_TRUE(std::any_of(logged.begin(), logged.end(), [](const std::string& l) {
        return l.find("The free space that convert to fat too few") != std::string::npos;
    }));
    s.ExpectDataIntact();
}

TEST(RelocateFiles, FullVolumeWithManyPhasesEndsInPlace) {
    // Fragmented files at every phase fill most of a small data area; alternating passes must
    // bring every group into place without losing a byte.
    std::vector<FileSpec> files;
    int64_t lcn = 41;
    for (uint64_t k = 0; k < 12; ++k) {
        const uint64_t a = 1 + k % 5, b = 2 + (k * 3) % 4;
        files.push_back({std::u16string(u"M") + static_cast<char16_t>(u'A' + k) + u".BIN", 16 + k,
                         {{a, lcn}, {b, lcn + static_cast<int64_t>(a) + 1}}, (a + b) * kCb - 7});
        lcn += static_cast<int64_t>(a + b) + 2;
    }
    Scene s(files, 4, 40, 199, 40);
    uint64_t outside = 0;
    EXPECT_LE(CountFatClusters(s.volume.Root(), &s.bitmap, &outside) + 1, s.bitmap.GroupCount());
    RelocateFiles(s.volume.Root(), &s.bitmap, &s.notes);
    s.ExpectAllInPlace();
    s.ExpectDataIntact();
    s.ExpectBitsMatchRuns();
}

// ---- After relocation ---------------------------------------------------------------

TEST(ZeroUninitializedTails, ZerosPastTheInitializedSizeWhereverTheDataEnded) {
    Scene s({
                {u"MOVED.BIN", 16, {{6, 21}}, 6 * kCb - 3, 2 * kCb + 9},  // moves, then zeroed
                {u"STAYS.BIN", 17, {{4, 60}}, 4 * kCb, kCb},              // in place
                {u"WHOLE.BIN", 18, {{2, 70}}, 2 * kCb},                   // nothing to zero
            },
            2, 10, 99);
    RelocateFiles(s.volume.Root(), &s.bitmap, &s.notes);
    s.guard.RecordWriteBytes(false);
    const size_t writesBefore = s.guard.Writes().size();
    ZeroUninitializedTails(s.volume.Root(), &s.bitmap, &s.notes);
    EXPECT_EQ(s.notes.clustersZeroed, 4u + 3u);
    s.ExpectDataIntact();
    s.ExpectBitsMatchRuns();
    for (size_t i = writesBefore; i < s.guard.Writes().size(); ++i) {
        EXPECT_LT(s.guard.Writes()[i].first, 70u);  // WHOLE.BIN is not touched
    }
}

TEST(CopyLinkedNames, MovesAHardLinkedFileOnceAndGivesEveryFurtherNameItsOwnCopy) {
    // Three names of one misaligned file and another file in the way: the first name's data
    // moves once, the further names keep their runs through the passes and then get copies.
    Scene s({
                {u"ONE.BIN", 20, {{5, 21}}, 5 * kCb - 1},
                {u"OTHER.BIN", 21, {{3, 31}}, 3 * kCb},
                {u"TWO.BIN", 20, {}, 0, ~0ULL, "", u"D", 20},
                {u"THREE.BIN", 20, {}, 0, ~0ULL, "", u"D", 20},
            },
            2, 10, 99, 10, {u"D"});
    const RunList original = s.Runs(2);
    RelocateFiles(s.volume.Root(), &s.bitmap, &s.notes);
    EXPECT_EQ(s.Runs(2), original);  // untouched by the passes
    EXPECT_EQ(s.notes.groupsMoved, 3u + 2u);
    ZeroUninitializedTails(s.volume.Root(), &s.bitmap, &s.notes);
    CopyLinkedNames(s.volume.Root(), &s.bitmap, &s.notes);
    EXPECT_EQ(s.notes.linkCopyGroups, 6u);
    s.ExpectAllInPlace();
    s.ExpectDataIntact();
    // Three disjoint sets of clusters, each in its own chain.
    std::set<uint64_t> seen;
    for (size_t i : {0u, 2u, 3u}) {
        for (const tagDataRun_Entry& r : s.Runs(i)) {
            for (uint64_t k = 0; k < r.ClusterCount; ++k) {
                EXPECT_TRUE(seen.insert(static_cast<uint64_t>(r.Lcn) + k).second) << "shared LCN " << r.Lcn + k;
            }
        }
    }
    BuildFatChains(s.volume.Root(), &s.bitmap, &s.notes);
    std::set<uint32_t> chained;
    for (size_t i : {0u, 2u, 3u}) {
        uint32_t c = static_cast<uint32_t>(s.bitmap.ClusterOfLcn(static_cast<uint64_t>(s.Runs(i)[0].Lcn)));
        uint32_t length = 0;
        for (; c >= 2 && c < kFat32EndOfChain && length < 10; c = s.bitmap.FatTable[c], ++length) {
            EXPECT_TRUE(chained.insert(c).second) << "cross-linked cluster " << c;
        }
        EXPECT_EQ(length, 3u);
    }
    EXPECT_TRUE(s.notes.unreadFiles.empty());
    EXPECT_TRUE(s.notes.unwrittenFiles.empty());
}

TEST(BuildFatChains, OneClusterPerFileGroupWhateverTheRunsLookLike) {
    // Runs NTFS stored separately although they follow each other inside one group, a run
    // that starts inside a group, and a file whose runs hold more than its size needs.
    Scene s({
                {u"SPLIT.BIN", 16, {{1, 10}, {1, 11}, {2, 12}}, 4 * kCb},
                {u"MID.BIN", 17, {{1, 20}, {2, 21}}, 3 * kCb},
                {u"LONG.BIN", 18, {{10, 30}}, 3 * kCb - 5},
            },
            2, 10, 99);
    RelocateFiles(s.volume.Root(), &s.bitmap, &s.notes);
    EXPECT_EQ(s.notes.groupsMoved, 0u);
    BuildFatChains(s.volume.Root(), &s.bitmap, &s.notes);
    const uint32_t* fat = s.bitmap.FatTable.get();
    EXPECT_EQ(fat[0], kFat32Entry0);
    EXPECT_EQ(fat[1], kFat32EndOfChain);  // never a link
    EXPECT_EQ(fat[2], 3u);
    EXPECT_EQ(fat[3], kFat32EndOfChain);
    EXPECT_EQ(fat[7], 8u);                // MID: 20, 21 | 22
    EXPECT_EQ(fat[8], kFat32EndOfChain);
    EXPECT_EQ(fat[12], 13u);              // LONG: exactly ceil(3 / 2) clusters
    EXPECT_EQ(fat[13], kFat32EndOfChain);
    EXPECT_EQ(fat[14], 0u);
    EXPECT_FALSE(s.bitmap.IsMarked(33));
    EXPECT_TRUE(s.notes.unwrittenFiles.empty());
}

TEST(BuildFatChains, NamesAFileLeftOutOfPlace) {
    Scene s({{u"A.BIN", 16, {{2, 21}}, 2 * kCb}}, 2, 10, 99);
    BuildFatChains(s.volume.Root(), &s.bitmap, &s.notes);
    EXPECT_EQ(s.notes.unwrittenFiles, std::vector<std::u16string>{u"/A.BIN"});
}

TEST(RelocationFailures, FilesWhoseMovesFailedAreNamedOnce) {
    Scene s({{u"BAD.BIN", 16, {{4, 21}}, 4 * kCb}, {u"GOOD.BIN", 17, {{2, 31}}, 2 * kCb}}, 2, 10, 99);
    s.guard.FailReadsTouching(22, 1);
    s.guard.FailReadsTouching(24, 1);
    RelocateFiles(s.volume.Root(), &s.bitmap, &s.notes);
    EXPECT_EQ(s.notes.unreadFiles, std::vector<std::u16string>{u"/BAD.BIN"});
    EXPECT_TRUE(s.notes.unwrittenFiles.empty());
    std::vector<uint8_t> expected = s.volume.Expected(0);
    std::fill(expected.begin() + kCb, expected.begin() + 2 * kCb, 0);
    std::fill(expected.begin() + 3 * kCb, expected.end(), 0);
    EXPECT_EQ(s.volume.ReadThroughRuns(0), expected);
    EXPECT_EQ(s.volume.ReadThroughRuns(1), s.volume.Expected(1));
}

}  // namespace

namespace {

TEST(RelocateFiles, InterleavedFilesOnEveryOtherClusterNeedFewRounds) {
    // Two files written a cluster at a time side by side, the second deleted: the first holds
    // every other cluster, so every group is half used and none is free. One pass of packing
    // frees about half the groups; alignment then needs only a few rounds.
    std::vector<std::pair<uint64_t, int64_t>> runs;
    for (int64_t lcn = 41; lcn < 241; lcn += 2) runs.emplace_back(1, lcn);
    Scene s({{u"HOLEY.BIN", 16, runs, runs.size() * kCb - 11}}, 8, 40, 239, 40);
    EXPECT_EQ(s.bitmap.FindFreeGroup(), NBitmap::kNone);
    RelocateFiles(s.volume.Root(), &s.bitmap, &s.notes);
    EXPECT_LE(s.notes.alignPasses, 4u);
    s.ExpectAllInPlace();
    s.ExpectDataIntact();
    s.ExpectBitsMatchRuns();
}

}  // namespace
