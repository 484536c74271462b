#include "engine/FileData.h"

#include <vector>

#include "engine/FileTree.h"
#include "ntfs/CFileRecord.h"

CAttrNonResident* NonResidentData(FILE_ITEM* item, bool* missing) {
    if (missing != nullptr) *missing = false;
    if (item->FileRecord == nullptr || ItemIsDirectory(item)) return nullptr;
    CAttrBase* data = item->FileRecord->FirstUnnamedData();
    if (data == nullptr) {
        if (missing != nullptr) *missing = true;
        return nullptr;
    }
    if (!data->IsNonResident()) return nullptr;
    // A record builds every attribute flagged non-resident as a CAttrNonResident.
    return static_cast<CAttrNonResident*>(data);
}

uint64_t InitializedBytes(const CAttrNonResident* data) {
    return std::min(data->InitializedSize(), data->DataLength());
}

uint64_t ClustersOnVolume(CAttrNonResident* data) {
    uint64_t clusters = 0;
    for (tagDataRun_Entry* run = data->Runs.First(); run != nullptr; run = data->Runs.Next()) {
        if (!IsSparseRun(*run)) clusters += run->ClusterCount;
    }
    return clusters;
}

void ScaleRuns(CAttrNonResident* data, uint32_t factor) {
    for (tagDataRun_Entry* run = data->Runs.First(); run != nullptr; run = data->Runs.Next()) {
        if (!IsSparseRun(*run)) run->Lcn *= factor;
        run->ClusterCount *= factor;
        run->VcnFrom *= factor;
        run->VcnTo = (run->VcnTo + 1) * factor - 1;
    }
}

uint64_t TrimRunsToSize(CAttrNonResident* data, uint32_t clusterBytes) {
    const uint64_t keep = DivideUp(data->DataLength(), clusterBytes);
    // Runs ascend in VCN, so only the last one tells whether any reaches past `keep`.
    tagDataRun_Entry* last = nullptr;
    for (tagDataRun_Entry* run = data->Runs.First(); run != nullptr; run = data->Runs.Next()) {
        last = run;
    }
    if (last == nullptr || last->VcnTo + 1 <= keep) return 0;

    uint64_t cut = 0;
    std::vector<tagDataRun_Entry> kept;
    for (tagDataRun_Entry* run = data->Runs.First(); run != nullptr; run = data->Runs.Next()) {
        tagDataRun_Entry part = *run;
        if (run->VcnFrom < keep) {
            part.ClusterCount = std::min(run->ClusterCount, keep - run->VcnFrom);
            part.VcnTo = part.VcnFrom + part.ClusterCount - 1;
            kept.push_back(part);
        } else {
            part.ClusterCount = 0;
        }
        if (!IsSparseRun(*run)) cut += run->ClusterCount - part.ClusterCount;
    }
    data->Runs.Clear();
    for (const tagDataRun_Entry& run : kept) data->Runs.Append(new tagDataRun_Entry(run));
    return cut;
}
