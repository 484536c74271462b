// bench-fatcopybound IMAGE SCRATCH: the lower bound of converting a FAT volume by copying its
// files: every file's clusters read once (in chain order, whole runs at a time) and as many
// bytes written once to SCRATCH, flushed. Prints "files N bytes B read_s R write_s W".
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <vector>

#include "device/CVolumeDevice.h"
#include "fattontfs/CFatVolume.h"
#include "platform/RawVolume.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: bench-fatcopybound IMAGE SCRATCH\n");
        return 2;
    }
    int error = 0;
    const platform::VolumeHandle h = platform::OpenVolume(argv[1], platform::VolumeAccess::Shared, &error);
    if (h == platform::kInvalidVolume) return 1;
    CVolumeDevice device(h);
    CFatVolume fat(&device);
    if (!fat.Read()) {
        std::fprintf(stderr, "%s\n", fat.Problem().c_str());
        return 1;
    }
    const uint64_t limit = 16u << 20;
    std::vector<char> buffer(limit);
    uint64_t bytes = 0, files = 0;
    const auto t0 = std::chrono::steady_clock::now();
    std::function<void(const FAT_NODE&)> walk = [&](const FAT_NODE& dir) {
        for (const FAT_NODE& child : dir.Children) {
            if (child.IsDirectory()) {
                walk(child);
                continue;
            }
            ++files;
            for (const FAT_RUN& run : child.Runs) {
                for (uint32_t done = 0; done < run.Count;) {
                    const uint32_t n = std::min<uint32_t>(run.Count - done, static_cast<uint32_t>(limit / fat.ClusterBytes()));
                    fat.ReadClusters(run.First + done, n, buffer.data());
                    done += n;
                }
            }
            bytes += child.FileSize;
        }
    };
    walk(fat.Root());
    const auto t1 = std::chrono::steady_clock::now();
    const int out = ::open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out < 0) return 1;
    for (uint64_t left = bytes; left > 0;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(left, limit));
        if (::write(out, buffer.data(), n) != static_cast<ssize_t>(n)) return 1;
        left -= n;
    }
    ::fsync(out);
    ::close(out);
    const auto t2 = std::chrono::steady_clock::now();
    ::unlink(argv[2]);
    platform::CloseVolume(h);
    std::printf("files %llu bytes %llu read_s %.3f write_s %.3f\n", static_cast<unsigned long long>(files),
                static_cast<unsigned long long>(bytes), std::chrono::duration<double>(t1 - t0).count(),
                std::chrono::duration<double>(t2 - t1).count());
    return 0;
}
