// The judge of a converted volume too small for the usual FAT32 readers: FAT32 volumes of
// fewer than 65,525 clusters, which the larger-cluster conversion produces from test-sized
// NTFS volumes. fsck.fat warns about the cluster count (the only finding allowed here) and
// mtools takes such a volume for FAT16, so only fsck.fat and The Sleuth Kit judge it.
// For volumes of FAT32 size use ExpectConvertedVolumeMatches (ConvertedVolume.h).
//
// Threads: any test thread; the checks run the tools as child processes.
#pragma once

#include <string>

#include "tests/support/ConvertedVolume.h"

namespace testsupport {

// Checks, each as its own gtest EXPECT naming the paths concerned:
//   1. fsck.fat -n exits 0 and finds nothing but the small cluster count;
//   2. fls lists exactly the snapshot's paths (names of more than 247 UTF-16 units are not
//      supported here);
//   3. per path the same kind and modification time, and for files the same size and bytes.
void ExpectSmallFat32Matches(const NtfsSnapshot& before, const std::string& fatImage);

}  // namespace testsupport
