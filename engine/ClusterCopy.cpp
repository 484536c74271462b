#include "engine/ClusterCopy.h"

#include <algorithm>
#include <cstring>

#include "device/CVolumeDevice.h"
#include "device/Log.h"
#include "device/ProgressInforAssist.h"

namespace {

constexpr size_t kMaxListedFiles = 50;  // names per list in the closing message

void AppendList(std::u16string* text, const std::vector<std::u16string>& paths) {
    const size_t shown = std::min(paths.size(), kMaxListedFiles);
    for (size_t i = 0; i < shown; ++i) {
        *text += u'\n';
        *text += paths[i];
    }
    if (paths.size() > shown) {
        const std::string more = std::to_string(paths.size() - shown);
        *text += u"\n... and ";
        text->append(more.begin(), more.end());
        *text += u" more.";
    }
}

}  // namespace

bool ReadSectorsLogged(CVolumeDevice* device, uint8_t* bytes, uint64_t sector, uint64_t sectors) {
    if (device->ReadSectors(bytes, sector, sectors)) return true;
    LogErrorA("ReadSector err, s:%d, n%d", static_cast<int>(sector), static_cast<int>(sectors));
    return false;
}

bool ReadClustersOrZeros(CVolumeDevice* device, uint64_t lcn, uint64_t count,
                         uint32_t sectorsPerCluster, uint8_t* at) {
    if (count == 0) return true;
    if (device->ReadSectors(at, lcn * sectorsPerCluster, count * sectorsPerCluster)) return true;
    const size_t clusterBytes = size_t{sectorsPerCluster} * kDeviceSectorBytes;
    bool ok = true;
    for (uint64_t i = 0; i < count; ++i) {
        uint8_t* cluster = at + i * clusterBytes;
        if (!ReadSectorsLogged(device, cluster, (lcn + i) * sectorsPerCluster, sectorsPerCluster)) {
            std::memset(cluster, 0, clusterBytes);
            ok = false;
        }
    }
    return ok;
}

bool WriteSectorsLogged(CVolumeDevice* device, const uint8_t* bytes, uint64_t sector,
                        uint64_t sectors) {
    if (sectors == 0 || device->WriteSectors(bytes, sector, sectors)) return true;
    LogErrorA("WriteSector err, s:%d, n%d", static_cast<int>(sector), static_cast<int>(sectors));
    return false;
}

CountedWritePhase::CountedWritePhase(CVolumeDevice* device, ProgressInforAssist* scaler,
                                     uint64_t sectors)
    : Device(device), Scaler(scaler) {
    Device->ProgressTotal = static_cast<int64_t>(sectors);
    Device->ProgressDone = 0;
    Device->SinceReport = 0;
    Device->CountReads = 0;
    Device->ProgressSink = scaler;
}

void CountedWritePhase::Stop() {
    Device->ProgressTotal = 0;
    Device->ProgressDone = 0;
    Device->SinceReport = 0;
    Device->ProgressSink = nullptr;
}

void CountedWritePhase::Finish() {
    Stop();
    if (Scaler == nullptr) return;
    Scaler->Reached += Scaler->Span;
    Scaler->Span = 0.0f;
    if (Scaler->Parent != nullptr) Scaler->Parent->SetProgress(Scaler->Reached);
}

std::u16string UnreadFilesMessage(const std::vector<std::u16string>& unread,
                                  const std::vector<std::u16string>& unwritten,
                                  bool foldersUnwritten) {
    std::u16string text;
    if (!unread.empty()) {
        text =
            u"The conversion finished, but these files could not be read completely and "
            u"hold zeros where the read failed:";
        AppendList(&text, unread);
    }
    if (!unwritten.empty()) {
        text += text.empty() ? u"The conversion finished, but these files could not be "
                               u"written completely and may hold wrong data:"
                             : u"\nThese files could not be written completely and may hold "
                               u"wrong data:";
        AppendList(&text, unwritten);
    }
    if (foldersUnwritten) {
        text += text.empty() ? u"The conversion finished, but some" : u"\nSome";
        text +=
            u" folders or small files (whose data NTFS kept inside their records) could not be "
            u"written completely: files may be missing from their folders or hold wrong data. "
            u"Please check the volume (fsck.fat on Linux, chkdsk /f on Windows).";
    }
    return text;
}
