// bench-ntfs_reader IMAGE [REPEAT]: how fast the NTFS reader reads a volume.
//
//   1. opens the volume (boot sector, $Volume, $MFT with its runs);
//   2. reads every MFT record from 16 to the end of $MFT's data and builds it with the
//      conversion's attribute mask: records read per second;
//   3. walks the directory tree from the root as the conversion does (every index entry's
//      record loaded and built, directories enumerated through their index root and INDX
//      blocks): names per second and the time of the whole walk.
// Each pass runs REPEAT times (default 3) and the best time is printed, so that the figures
// show the reader, not the first read of the image from disk.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "device/CVolumeDevice.h"
#include "device/Log.h"
#include "ntfs/CIndexEntry.h"
#include "ntfs/CNTFSVolume.h"
#include "platform/RawVolume.h"

namespace {

constexpr uint32_t kTreeMask = 0x387;

double Seconds(std::chrono::steady_clock::time_point from) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
}

struct WalkCounts {
    uint64_t names = 0;
    uint64_t directories = 0;
    uint64_t bytesOfData = 0;  // sum of the data sizes, so nothing is optimised away
};

// The conversion's walk, without building a tree: depth first from the root.
void Walk(CNTFSVolume* volume, WalkCounts* counts) {
    std::vector<uint64_t> pending{kRootRecord};
    std::unordered_set<uint64_t> seen{kRootRecord};
    while (!pending.empty()) {
        const uint64_t number = pending.back();
        pending.pop_back();
        CFileRecord dir(volume);
        if (!dir.LoadRecord(number)) continue;
        dir.TypeMask = kTreeMask;
        if (!dir.BuildAttributes()) continue;
        ++counts->directories;
        EnumerateDirectory(&dir, [&](CSList<CIndexEntry>* entries) {
            for (CIndexEntry* e = entries->First(); e != nullptr; e = entries->Next()) {
                if (e->NameValue == nullptr || e->NameChars == 0) continue;
                const uint64_t child = e->RecordNumber();
                if (child < kFirstUserRecord || e->NameSpace() == kNamespaceDos) continue;
                ++counts->names;
                CFileRecord record(volume);
                if (!record.LoadRecord(child)) continue;
                record.TypeMask = kTreeMask;
                if (!record.BuildAttributes()) continue;
                if (record.RecordFlags() & kRecordDirectory) {
                    if (seen.insert(child).second) pending.push_back(child);
                } else if (CAttrBase* data = record.FirstUnnamedData()) {
                    counts->bytesOfData += data->DataLength(nullptr);
                }
            }
            return true;
        });
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: bench-ntfs_reader IMAGE [REPEAT]\n");
        return 2;
    }
    const int repeat = argc == 3 ? std::max(1, std::atoi(argv[2])) : 3;
    UseFileLog("/dev/null");
    int error = 0;
    const platform::VolumeHandle handle = platform::OpenVolume(argv[1], platform::VolumeAccess::Shared, &error);
    if (handle == platform::kInvalidVolume) {
        std::fprintf(stderr, "bench-ntfs_reader: cannot open %s: %s\n", argv[1], std::strerror(error));
        return 1;
    }
    int status = 0;
    {
        CVolumeDevice device(handle);
        auto start = std::chrono::steady_clock::now();
        CNTFSVolume volume(&device);
        const double openSeconds = Seconds(start);
        if (!volume.IsVolumeOK() || volume.MftOwnData == nullptr) {
            std::fprintf(stderr, "bench-ntfs_reader: %s: not a readable NTFS volume\n", argv[1]);
            status = 1;
        } else {
            const uint64_t records = volume.MftOwnData->DataLength(nullptr) / volume.RecordSize;
            std::printf("%s: %u-byte clusters, %u-byte records, %llu records in the MFT; opened in %.4f s\n",
                        argv[1], volume.ClusterBytes, volume.RecordSize,
                        static_cast<unsigned long long>(records), openSeconds);

            double best = 1e30;
            uint64_t loaded = 0, built = 0;
            for (int r = 0; r < repeat; ++r) {
                loaded = built = 0;
                start = std::chrono::steady_clock::now();
                CFileRecord record(&volume);
                for (uint64_t n = kFirstUserRecord; n < records; ++n) {
                    if (!record.LoadRecord(n)) continue;
                    ++loaded;
                    record.TypeMask = kTreeMask;
                    if ((record.RecordFlags() & kRecordInUse) && record.BuildAttributes()) ++built;
                }
                best = std::min(best, Seconds(start));
            }
            const uint64_t read = records > kFirstUserRecord ? records - kFirstUserRecord : 0;
            std::printf("records: %llu read (%llu with a FILE record, %llu in use and built) in %.3f s: %.0f records/s\n",
                        static_cast<unsigned long long>(read), static_cast<unsigned long long>(loaded),
                        static_cast<unsigned long long>(built), best, read / best);

            best = 1e30;
            WalkCounts counts;
            for (int r = 0; r < repeat; ++r) {
                counts = WalkCounts{};
                start = std::chrono::steady_clock::now();
                Walk(&volume, &counts);
                best = std::min(best, Seconds(start));
            }
            std::printf("tree: %llu names in %llu directories (%llu data bytes) walked in %.3f s: %.0f names/s\n",
                        static_cast<unsigned long long>(counts.names),
                        static_cast<unsigned long long>(counts.directories),
                        static_cast<unsigned long long>(counts.bytesOfData), best, counts.names / best);
        }
    }
    platform::CloseVolume(handle);
    return status;
}
