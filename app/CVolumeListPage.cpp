#include "app/CVolumeListPage.h"

#include "device/Log.h"
#include "platform/TextEncoding.h"

namespace {

bool BeginsWith(const std::u16string& text, const std::u16string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

int64_t CellBytes(uint64_t bytes) { return bytes == kUnknownBytes ? -1 : static_cast<int64_t>(bytes); }

std::u16string ToolTipOf(const VolumeInfo& v) {
    std::u16string tip = platform::Utf8ToUtf16(v.DevicePath);
    if (v.MountPoints.empty()) return tip + u"\nnot mounted";
    for (const std::string& mountPoint : v.MountPoints) tip += u"\nmounted at " + platform::Utf8ToUtf16(mountPoint);
    return tip;
}

}  // namespace

std::unique_ptr<CVolumeListModel> CVolumeListModel::Enumerate(int filter) {
    return Enumerate(filter, ListVolumes(), QueryVolumeSpace);
}

std::unique_ptr<CVolumeListModel> CVolumeListModel::Enumerate(int filter, const std::vector<VolumeInfo>& volumes,
                                                              const SpaceQuery& query) {
    auto model = std::make_unique<CVolumeListModel>();
    const std::u16string prefix = filter == kFilterNtfs ? u"NTFS" : u"FAT";
    for (const VolumeInfo& v : volumes) {
        // 1. The module's file systems, never the system volume.
        if (!BeginsWith(v.FileSystem, prefix) || v.IsSystem) continue;

        // 2. Its space; a volume whose space cannot be read is listed all the same.
        VolumeSpace space;
        space.TotalBytes = space.FreeBytes = kUnknownBytes;
        if (!query(v, &space)) {
            LogWarnA("The free space of %s cannot be read.", v.DevicePath.c_str());
            space.TotalBytes = space.FreeBytes = kUnknownBytes;
        }

        // 3. The row.
        const char16_t drive[] = {u' ', u'(', v.DriveLetter, u':', u')', 0};
        model->DisplayNames.push_back(v.Label + drive);
        model->FileSystems.push_back(v.FileSystem);
        model->TotalBytes.push_back(space.TotalBytes);
        model->FreeBytes.push_back(space.FreeBytes);
        model->DriveLetters.push_back(v.DriveLetter);
        model->Labels.push_back(v.Label);
        model->ToolTips.push_back(ToolTipOf(v));
    }
    return model;
}

std::u16string CVolumeListModel::GetCellText(int row, int column) {
    if (row < 0 || row >= GetRowCount()) return {};
    return column == 0 ? DisplayNames[row] : FileSystems[row];
}

int64_t CVolumeListModel::GetCellBytes(int row, int column) {
    if (row < 0 || row >= GetRowCount()) return -1;
    return CellBytes(column == 2 ? TotalBytes[row] : FreeBytes[row]);
}

ListColor CVolumeListModel::GetCellColor(int, int) { return ListRgb(30, 30, 30); }

std::u16string CVolumeListModel::GetRowToolTip(int row) {
    if (row < 0 || row >= GetRowCount()) return {};
    return ToolTips[row];
}
