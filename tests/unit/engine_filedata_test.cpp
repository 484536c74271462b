// The file-data pieces both conversion paths share: cutting runs to the data size, reads that
// narrow a failure down to single clusters, and the counted write phase of the bar.
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <vector>

#include "device/Log.h"
#include "device/ProgressInforAssist.h"
#include "engine/ClusterCopy.h"
#include "engine/FileData.h"
#include "tests/support/CraftedFiles.h"
#include "tests/support/FaultyDevice.h"
#include "tests/support/MemoryDevice.h"

namespace {

namespace crafted = testsupport::crafted;

[[maybe_unused]] const bool kQuietLog = UseFileLog("/dev/null");

constexpr uint32_t kCb = 512;

crafted::Geometry SmallGeometry() {
    crafted::Geometry g;
    g.sectorsPerCluster = 1;
    g.clustersPerRecord = -10;
    g.clusters = 512;
    g.mftLcn = 280;
    return g;
}

tagDataRun_Entry Rn(int64_t lcn, uint64_t count, uint64_t vcn) { return {lcn, count, vcn, vcn + count - 1}; }

std::vector<tagDataRun_Entry> RunsOf(CAttrNonResident* data) {
    std::vector<tagDataRun_Entry> out;
    for (tagDataRun_Entry* run = data->Runs.First(); run != nullptr; run = data->Runs.Next()) out.push_back(*run);
    return out;
}

void ExpectRuns(const std::vector<tagDataRun_Entry>& got, const std::vector<tagDataRun_Entry>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(got[i].Lcn, want[i].Lcn);
        EXPECT_EQ(got[i].ClusterCount, want[i].ClusterCount);
        EXPECT_EQ(got[i].VcnFrom, want[i].VcnFrom);
        EXPECT_EQ(got[i].VcnTo, want[i].VcnTo);
    }
}

TEST(TrimRunsToSize, KeepsTheClustersTheSizeNeedsAndCountsWhatLeavesTheVolume) {
    struct Case {
        const char* what;
        std::vector<tagDataRun_Entry> runs;
        uint64_t size;
        std::vector<tagDataRun_Entry> kept;
        uint64_t cut;
    };
    const std::vector<Case> cases = {
        {"nothing to cut", {Rn(100, 3, 0)}, 3 * kCb, {Rn(100, 3, 0)}, 0},
        {"preallocated", {Rn(100, 10, 0)}, 3 * kCb - 5, {Rn(100, 3, 0)}, 7},
        {"cut inside a run, later runs dropped", {Rn(100, 2, 0), Rn(200, 3, 2), Rn(300, 4, 5)}, 3 * kCb,
         {Rn(100, 2, 0), Rn(200, 1, 2)}, 2 + 4},
        {"cut on a run boundary", {Rn(100, 2, 0), Rn(200, 2, 2)}, 2 * kCb, {Rn(100, 2, 0)}, 2},
        {"size 0 keeps no runs", {Rn(100, 2, 0)}, 0, {}, 2},
        {"holes are cut but free nothing", {Rn(100, 2, 0), Rn(-1, 2, 2), Rn(104, 2, 4)}, 2 * kCb + 1,
         {Rn(100, 2, 0), Rn(-1, 1, 2)}, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        crafted::FileVolume volume(SmallGeometry(), {{u"A.BIN", 16, {{1, 100}}, c.size}});
        CAttrNonResident* data = volume.Data(0);
        ASSERT_NE(data, nullptr);
        data->Runs.Clear();
        for (const tagDataRun_Entry& run : c.runs) data->Runs.Append(new tagDataRun_Entry(run));
        EXPECT_EQ(TrimRunsToSize(data, kCb), c.cut);
        ExpectRuns(RunsOf(data), c.kept);
    }
}

TEST(FileData, InitializedBytesNeverPassTheDataSize) {
    crafted::FileVolume volume(SmallGeometry(), {{u"A.BIN", 16, {{4, 100}}, 3 * kCb, 700},
                                                 {u"B.BIN", 17, {{4, 110}}, 3 * kCb},
                                                 {u"C.TXT", 18, {}, 5, ~0ULL, "hello"}});
    EXPECT_EQ(InitializedBytes(volume.Data(0)), 700u);
    EXPECT_EQ(InitializedBytes(volume.Data(1)), 3u * kCb);
    EXPECT_EQ(NonResidentData(volume.Item(2)), nullptr);  // resident data
    EXPECT_EQ(NonResidentData(volume.Item(0)), volume.Data(0));
    EXPECT_EQ(BytesBeforeZeros(700, 0, 512), 512u);
    EXPECT_EQ(BytesBeforeZeros(700, 512, 512), 188u);
    EXPECT_EQ(BytesBeforeZeros(700, 1024, 512), 0u);
}

TEST(ReadClustersOrZeros, OneBadSectorCostsOneClusterOfZeros) {
    // Clusters of two sectors; sector 13 (cluster 6) cannot be read.
    std::vector<uint8_t> bytes(32 * 512);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(1 + i % 251);
    testsupport::MemoryDevice device(bytes);
    device.FailReadsTouching(13, 1);
    std::vector<uint8_t> out(4 * 1024, 0xAA);
    EXPECT_FALSE(ReadClustersOrZeros(&device, 4, 4, 2, out.data()));
    for (size_t c = 0; c < 4; ++c) {
        SCOPED_TRACE(c);
        const uint8_t* got = out.data() + c * 1024;
        if (c == 2) {
            EXPECT_EQ(std::vector<uint8_t>(got, got + 1024), std::vector<uint8_t>(1024, 0));
        } else {
            EXPECT_EQ(std::memcmp(got, bytes.data() + (4 + c) * 1024, 1024), 0);
        }
    }
    // The span in one call, then cluster by cluster.
    ASSERT_EQ(device.Reads().size(), 5u);
    EXPECT_EQ(device.Reads()[0].first, 8u);
    EXPECT_EQ(device.Reads()[0].count, 8u);
    EXPECT_EQ(device.Reads()[3].first, 12u);
    EXPECT_EQ(device.Reads()[3].count, 2u);

    device.ClearReads();
    EXPECT_TRUE(ReadClustersOrZeros(&device, 0, 2, 2, out.data()));
    EXPECT_EQ(device.Reads().size(), 1u);
    device.ClearReads();
    EXPECT_TRUE(ReadClustersOrZeros(&device, 0, 0, 2, out.data()));
    EXPECT_TRUE(device.Reads().empty());
}

struct Bar : IProgressInfor {
    void SetProgress(float p) override { positions.push_back(p); }
    void SetStatusText(const char16_t*) override {}
    std::vector<float> positions;
};

TEST(CountedWritePhase, FinishEndsTheSpanAndAnExceptionLeavesTheBar) {
    testsupport::MemoryDevice memory(std::vector<uint8_t>(64 * 512));
    testsupport::FaultyDevice device(memory);
    Bar bar;
    ProgressInforAssist scaler(&bar);
    scaler.Reached = 0.4f;
    scaler.Span = 0.5f;
    {
        CountedWritePhase phase(&device, &scaler, 16);
        EXPECT_EQ(device.ProgressSink, &scaler);
        EXPECT_EQ(device.CountReads, 0u);
        EXPECT_EQ(device.ProgressTotal, 16);
        phase.Finish();
        EXPECT_EQ(device.ProgressSink, nullptr);
    }
    EXPECT_FLOAT_EQ(scaler.Reached, 0.9f);
    EXPECT_FLOAT_EQ(scaler.Span, 0.0f);
    ASSERT_FALSE(bar.positions.empty());
    EXPECT_FLOAT_EQ(bar.positions.back(), 0.9f);

    // Left by an exception: counting stops, the bar keeps its place.
    scaler.Span = 0.05f;
    bar.positions.clear();
    try {
        CountedWritePhase phase(&device, &scaler, 16);
        throw std::runtime_error("stop");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(device.ProgressSink, nullptr);
    EXPECT_EQ(device.ProgressTotal, 0);
    EXPECT_FLOAT_EQ(scaler.Reached, 0.9f);
    EXPECT_TRUE(bar.positions.empty());
}

}  // namespace
