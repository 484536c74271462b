// Attributes: mapping-pair decoding, reads at byte offsets through runs (sparse runs, gaps,
// partial clusters), resident reads, and the volume label.

#include <gtest/gtest.h>

#include <memory>
#include <numeric>
#include <vector>

#include "ntfs/CIndexEntry.h"
#include "ntfs/CNTFSVolume.h"
#include "tests/support/CraftedNtfs.h"
#include "tests/support/MemoryDevice.h"

namespace {

using namespace testsupport::crafted;
using testsupport::MemoryDevice;

constexpr uint32_t kCluster = 4096;

// A volume image of 256 clusters whose cluster c holds bytes (c * 7 + i) & 0xFF, with a record to
// build attributes on.
struct Context {
    Context() : image(Fill()), device(image.Image()), volume(&device), record(&volume) {}
    static Volume Fill() {
        Volume v;
        // The boot sector claims 0x6000 clusters, so runs far beyond this small image still
        // lie on the volume; only those beyond 0x6000 do not.
        Bytes boot = BootSector(v.Geom());
        Put<uint64_t>(&boot, offsetof(NTFS_BOOT_SECTOR, TotalSectors), uint64_t{0x6000} * 8);
        v.Put(0, boot);
        for (uint64_t c = 8; c < 256; ++c) {
            Bytes cluster(kCluster);
            for (uint32_t i = 0; i < kCluster; ++i) cluster[i] = static_cast<uint8_t>(c * 7 + i);
            v.PutCluster(c, cluster);
        }
        return v;
    }
    static uint8_t ByteAt(uint64_t lcn, uint32_t i) { return static_cast<uint8_t>(lcn * 7 + i); }
    Volume image;
    MemoryDevice device;
    CNTFSVolume volume;
    CFileRecord record;
};

std::vector<tagDataRun_Entry> Decode(Context& ctx, const Bytes& pairs, uint64_t lastVcn, bool* valid,
                                     uint64_t firstVcn = 0) {
    Bytes attr = NonResidentAttr(kAttrData, pairs, firstVcn, lastVcn, (lastVcn + 1) * kCluster);
    CAttrNonResident a(attr.data(), &ctx.record);
    *valid = a.RunsValid();
    std::vector<tagDataRun_Entry> runs;
    for (tagDataRun_Entry* r = a.Runs.First(); r != nullptr; r = a.Runs.Next()) runs.push_back(*r);
    return runs;
}

struct RunCase {
    const char* what;
    Bytes pairs;
    uint64_t lastVcn;
    bool valid;
    std::vector<std::vector<int64_t>> runs;  // Lcn, ClusterCount, VcnFrom, VcnTo
};

TEST(Attributes, MappingPairsDecode) {
    const RunCase cases[] = {
        {"one run", {0x21, 0x18, 0x34, 0x56, 0x00}, 0x17, true, {{0x5634, 0x18, 0, 0x17}}},
        {"negative offset", {0x21, 0x18, 0x34, 0x56, 0x11, 0x10, 0xF0, 0x00}, 0x27, true,
         {{0x5634, 0x18, 0, 0x17}, {0x5624, 0x10, 0x18, 0x27}}},
        {"sparse run keeps the LCN", {0x11, 0x04, 0x20, 0x01, 0x20, 0x11, 0x02, 0x10, 0x00}, 0x25, true,
         {{0x20, 4, 0, 3}, {-1, 0x20, 4, 0x23}, {0x30, 2, 0x24, 0x25}}},
        {"offset field of value 0 is sparse", {0x11, 0x04, 0x20, 0x11, 0x04, 0x00, 0x00}, 7, true,
         {{0x20, 4, 0, 3}, {-1, 4, 4, 7}}},
        {"LCN below 0", {0x11, 0x04, 0x20, 0x11, 0x04, 0xD0, 0x00}, 7, false, {{0x20, 4, 0, 3}}},
        {"runs past the last VCN clear the list", {0x11, 0x04, 0x20, 0x11, 0x04, 0x10, 0x00}, 6, false, {}},
        {"length field 9 bytes wide ends decoding", {0x11, 0x04, 0x20, 0x19, 0x00}, 7, true, {{0x20, 4, 0, 3}}},
        {"offset field 9 bytes wide ends decoding", {0x11, 0x04, 0x20, 0x91, 0x00}, 7, true, {{0x20, 4, 0, 3}}},
        {"negative length ends decoding",
         {0x11, 0x04, 0x20, 0x08, 0, 0, 0, 0, 0, 0, 0, 0x80, 0x00}, 7, true, {{0x20, 4, 0, 3}}},
        {"run of 0 clusters", {0x11, 0x04, 0x20, 0x11, 0x00, 0x10, 0x00}, 7, false, {{0x20, 4, 0, 3}}},
        {"run beyond the volume", {0x11, 0x04, 0x20, 0x21, 0x04, 0x00, 0x60, 0x00}, 7, false, {{0x20, 4, 0, 3}}},
        {"no runs", {0x00}, 0, true, {}},
    };
    Context ctx;
    for (const RunCase& c : cases) {
        SCOPED_TRACE(c.what);
        bool valid = false;
        const auto runs = Decode(ctx, c.pairs, c.lastVcn, &valid);
        EXPECT_EQ(valid, c.valid);
        ASSERT_EQ(runs.size(), c.runs.size());
        for (size_t i = 0; i < runs.size(); ++i) {
            EXPECT_EQ(runs[i].Lcn, c.runs[i][0]) << "run " << i;
            EXPECT_EQ(runs[i].ClusterCount, static_cast<uint64_t>(c.runs[i][1])) << "run " << i;
            EXPECT_EQ(runs[i].VcnFrom, static_cast<uint64_t>(c.runs[i][2])) << "run " << i;
            EXPECT_EQ(runs[i].VcnTo, static_cast<uint64_t>(c.runs[i][3])) << "run " << i;
        }
    }
}

TEST(Attributes, MappingPairsWithoutTerminatorOrPastTheAttributeAreInvalid) {
    // Pairs that reach the attribute's end: the header of the last pair promises bytes that
    // are not there; the runs before stay.
    Context ctx;
    Bytes attr = NonResidentAttr(kAttrData, {0x11, 0x04, 0x20, 0x00}, 0, 7, 8 * kCluster);
    const size_t pairs = attr.size() - 8;  // the pairs fill the attribute's last 8 bytes
    const uint8_t tail[8] = {0x11, 0x04, 0x20, 0x31, 0x01, 0x02, 0x03, 0x04};  // last pair cut off
    std::memcpy(attr.data() + pairs, tail, 8);
    Put<uint16_t>(&attr, offsetof(ATTR_HEADER_NONRESIDENT, MappingPairsOffset), static_cast<uint16_t>(pairs));
    CAttrNonResident a(attr.data(), &ctx.record);
    EXPECT_FALSE(a.RunsValid());
    EXPECT_EQ(a.Runs.Count(), 1);
}

// A non-resident attribute with the given runs (count, LCN) and data size.
struct Data {
    Data(Context& ctx, const std::vector<std::pair<uint64_t, int64_t>>& runs, uint64_t dataSize) {
        uint64_t clusters = 0;
        for (const auto& r : runs) clusters += r.first;
        bytes = NonResidentAttr(kAttrData, MappingPairs(runs), 0, clusters - 1, dataSize);
        attr = std::make_unique<CAttrNonResident>(bytes.data(), &ctx.record);
    }
    Bytes bytes;
    std::unique_ptr<CAttrNonResident> attr;
};

TEST(Attributes, ReadAtThroughRuns) {
    Context ctx;
    // VCN 0-1 at LCN 10, VCN 2-3 sparse, VCN 4-5 at LCN 40; the data ends 100 bytes into VCN 5.
    Data d(ctx, {{2, 10}, {2, -1}, {2, 40}}, 5 * kCluster + 100);
    ASSERT_TRUE(d.attr->RunsValid());
    struct Case {
        const char* what;
        uint64_t offset;
        uint32_t length;
        bool ok;
        uint32_t delivered;
    };
    const Case cases[] = {
        {"across a cluster boundary", kCluster - 4, 10, true, 10},
        {"whole clusters", 0, 2 * kCluster, true, 2 * kCluster},
        {"into the sparse run", kCluster + 100, kCluster, true, kCluster},
        {"inside the sparse run", 2 * kCluster + 5, 50, true, 50},
        {"across sparse into data", 4 * kCluster - 10, 20, true, 20},
        {"cut at the data size", 5 * kCluster + 50, 1000, true, 50},
        {"at the data size", 5 * kCluster + 100, 10, true, 0},
        {"beyond the data size", 5 * kCluster + 101, 10, false, 0},
        {"nothing asked", 7 * kCluster, 0, true, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> out(c.length + 1, 0xEE);
        uint32_t got = 12345;
        EXPECT_EQ(d.attr->ReadAt(&c.offset, out.data(), c.length, &got), c.ok);
        EXPECT_EQ(got, c.delivered);
        if (!c.ok) continue;
        for (uint32_t i = 0; i < got; ++i) {
            const uint64_t at = c.offset + i;
            const uint64_t vcn = at / kCluster;
            const uint32_t in = static_cast<uint32_t>(at % kCluster);
            const uint8_t want = vcn < 2 ? Context::ByteAt(10 + vcn, in)
                                 : vcn < 4 ? 0
                                           : Context::ByteAt(40 + vcn - 4, in);
            ASSERT_EQ(out[i], want) << "byte " << i;
        }
        EXPECT_EQ(out[got], 0xEE);  // nothing written beyond what was delivered
    }
}

TEST(Attributes, ReadAtGoesStraightToTheDevice) {
    Context ctx;
    Data d(ctx, {{4, 10}}, 4 * kCluster);
    std::vector<uint8_t> out(2 * kCluster);
    uint32_t got = 0;
    // A sector-aligned read is one request into the caller's buffer.
    ctx.device.ClearReads();
    uint64_t at = kCluster + 1024;
    ASSERT_TRUE(d.attr->ReadAt(&at, out.data(), 1024, &got));
    ASSERT_EQ(ctx.device.Reads().size(), 1u);
    EXPECT_EQ(ctx.device.Reads()[0].first, (11 * kCluster + 1024) / 512);
    EXPECT_EQ(ctx.device.Reads()[0].count, 2u);
    // Ten bytes across a cluster boundary: 4 + 6 bytes from two sectors.
    ctx.device.ClearReads();
    at = kCluster - 4;
    ASSERT_TRUE(d.attr->ReadAt(&at, out.data(), 10, &got));
    EXPECT_EQ(got, 10u);
    EXPECT_EQ(ctx.device.Reads().size(), 2u);
}

TEST(Attributes, ReadAtFailsOnGapsUnreadableClustersAndBeyondTheRuns) {
    Context ctx;
    {
        // The data size promises more clusters than the runs and the last VCN cover.
        Data d(ctx, {{2, 10}}, 4 * kCluster);
        std::vector<uint8_t> out(kCluster);
        uint32_t got = 0;
        uint64_t at = 2 * kCluster;
        EXPECT_FALSE(d.attr->ReadAt(&at, out.data(), 16, &got));
        at = 2 * kCluster - 8;
        EXPECT_FALSE(d.attr->ReadAt(&at, out.data(), 16, &got));
    }
    {
        // Runs with a gap: VCN 2-3 has no run although the last VCN covers it.
        Bytes pairs = Concat(Bytes{0x11, 0x02, 0x0A}, Bytes{0x00});
        Bytes attr = NonResidentAttr(kAttrData, pairs, 0, 5, 6 * kCluster);
        CAttrNonResident a(attr.data(), &ctx.record);
        tagDataRun_Entry* tail = new tagDataRun_Entry{40, 2, 4, 5};
        a.Runs.Append(tail);
        std::vector<uint8_t> out(kCluster);
        uint32_t got = 0;
        uint64_t at = 3 * kCluster;
        EXPECT_FALSE(a.ReadAt(&at, out.data(), 16, &got));
        at = 4 * kCluster;
        EXPECT_TRUE(a.ReadAt(&at, out.data(), 16, &got));
        // ReadByVcn shows the gap as a short count.
        std::vector<uint8_t> four(4 * kCluster);
        EXPECT_TRUE(a.ReadByVcn(four.data(), 0, 4, four.size(), &got));
        EXPECT_EQ(got, 2 * kCluster);
        EXPECT_FALSE(a.ReadByVcn(four.data(), 4, 3, four.size(), &got));  // past the last VCN
        EXPECT_FALSE(a.ReadByVcn(four.data(), 0, 4, four.size() - 1, &got));  // too small
    }
    {
        Data d(ctx, {{4, 10}}, 4 * kCluster);
        ctx.device.FailReadsTouching(12 * kCluster / 512, 1);
        std::vector<uint8_t> out(4 * kCluster);
        uint32_t got = 0;
        uint64_t at = 0;
        EXPECT_FALSE(d.attr->ReadAt(&at, out.data(), 4 * kCluster, &got));
        EXPECT_TRUE(d.attr->ReadLcn(out.data(), -1, 2));  // sparse: zeros, no device
        EXPECT_EQ(out[0], 0);
        EXPECT_FALSE(d.attr->ReadLcn(out.data(), 12, 1));
    }
}

TEST(Attributes, ResidentReadAt) {
    Context ctx;
    Bytes value(20);
    std::iota(value.begin(), value.end(), 1);
    Bytes attr = ResidentAttr(kAttrData, value);
    CAttrResident a(attr.data(), &ctx.record);
    struct Case {
        uint64_t offset;
        uint32_t length;
        bool ok;
        uint32_t delivered;
    };
    const Case cases[] = {
        {0, 20, true, 20}, {19, 10, true, 1}, {20, 1, false, 0}, {5, 0, true, 0},
        {uint64_t{1} << 32, 4, false, 0},  // the whole offset counts, not its low 32 bits
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.offset);
        uint8_t out[32] = {};
        uint32_t got = 99;
        EXPECT_EQ(a.ReadAt(&c.offset, out, c.length, &got), c.ok);
        EXPECT_EQ(got, c.delivered);
        if (c.delivered > 0) {
            EXPECT_EQ(out[0], value[c.offset]);
        }
    }
    uint64_t allocated = 0;
    EXPECT_EQ(a.DataLength(&allocated), 20u);
    EXPECT_EQ(allocated, 20u);
}

TEST(Attributes, VolumeLabel) {
    struct Case {
        std::u16string label;
        std::string ansi;
    };
    const Case cases[] = {
        {u"VELUNDRA_01", "VELUNDRA_01"},    // 22 bytes: 11 units
        {u"Caf\u00e9 \u20ac", "Caf\xe9 \x80"},  // in Windows-1252
        {u"\u4e2d\u6587", "__"},            // not in it
        {u"", ""},
    };
    Context ctx;
    for (const Case& c : cases) {
        Bytes attr = ResidentAttr(kAttrVolumeName, Utf16Bytes(c.label));
        CAttr_VolName name(attr.data(), &ctx.record);
        EXPECT_EQ(name.LabelLength, c.label.size());
        EXPECT_EQ(std::u16string(name.WideLabel.get()), c.label);
        EXPECT_EQ(std::string(name.AnsiLabel.get()), c.ansi);
    }
}

TEST(Attributes, BitmapCopiesResidentValue) {
    Context ctx;
    Bytes attr = ResidentAttr(kAttrBitmap, Bytes{0xFF, 0x01});
    CAttr_Bitmap<CAttrResident> bitmap(attr.data(), &ctx.record);
    EXPECT_EQ(bitmap.BitmapLength, 2u);
    ASSERT_NE(bitmap.BitmapData, nullptr);
    EXPECT_EQ(bitmap.BitmapData[0], 0xFF);
}

}  // namespace
