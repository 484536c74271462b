// FAT volumes for tests, made by the real tools: mkfs.fat formats a sparse image and mtools
// (mmd, mcopy -m, mdel, mattrib) fills it, step by step, so that deleting between copies
// leaves the fragmented chains a used stick has. File contents are a pattern of the path and
// the size, so a reader of the result can compare bytes without keeping copies.
//
// Threads: any test thread; each image is its own file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

// One step of filling a FAT image. Paths are UTF-8 from the root, "/" separated, no leading
// slash.
struct FatStep {
    enum class Kind { Dir, File, Delete, Attrib };
    Kind kind = Kind::File;
    std::string path;
    uint64_t bytes = 0;          // File: its size
    int64_t mtime = 946684800;   // File: modification time (Unix seconds; stored in local time)
    std::string attrib;          // Attrib: mattrib's flags, e.g. "+r" or "+h +s"

    static FatStep Dir(std::string path);
    static FatStep File(std::string path, uint64_t bytes, int64_t mtime = 946684800);
    static FatStep Delete(std::string path);
    static FatStep Attrib(std::string path, std::string flags);
};

struct FatFixtureLayout {
    int fatBits = 32;              // 12, 16 or 32
    uint64_t megabytes = 64;       // image size
    int sectorsPerCluster = 1;     // mkfs.fat -s
    std::string label;             // mkfs.fat -n (empty: none)
    std::vector<FatStep> steps;
};

// The bytes a FatStep::File of this path and size holds.
std::string FatFileBytes(const std::string& path, uint64_t bytes);

// A small tree with what FAT volumes hold: folders, long and non-ASCII names, names that are
// their own short name, lower-case short names, an empty file, a chain made fragmented by a
// deletion, read-only and hidden flags, times.
std::vector<FatStep> SampleFatSteps();

// Formats `image` (created or replaced, sparse) and runs the steps; throws
// std::runtime_error naming the tool that failed.
void MakeFatImage(const std::string& image, const FatFixtureLayout& layout);

// Overwrites bytes of an image at a byte offset (for damaging fixtures).
void PatchBytes(const std::string& image, uint64_t offset, const std::string& bytes);

}  // namespace testsupport
