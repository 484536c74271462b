// One row of the conversion matrix: a recipe's volume converted through the conversion driver
// (ConvertNtfsToFat32 on a handle from platform::OpenVolume, as the front ends call it) and
// judged whole. Shared by the matrix tests (tests/e2e/convert_test.cpp and the slow rows in
// convert_bigcluster_slow_test.cpp), which hold the tables.
//
// The engine's log goes to a private file (ConversionLogPath) from the first use on, so a row
// can read what the conversion planned; a test executable that uses this chooses no other
// log sink.
//
// Threads: the test thread.
#pragma once

#include <cstdint>
#include <string>

namespace testsupport {

struct MatrixCase {
    const char* recipe;     // a recipe of tests/fixtures/make_ntfs.py
    uint32_t clusterBytes;  // its NTFS cluster size, which FAT32 must keep
    const char* ntfsLabel;  // the label mkntfs was given; "" for none
    const char* fatLabel;   // the 11 bytes FAT32 must show for it; null: no label at all
    bool relocates;         // file data lies under the future FAT area (and must move)
};

// Converts a private copy of the recipe's image and checks, each as gtest expectations:
//  1. the driver succeeds on the same-cluster path with the cluster size kept, reports the
//     files, folders and label the NTFS volume has, ends its progress at 1.0 with
//     "Converting NTFS to FAT32 is successful.", never moving back; the relocation it plans
//     (from the log) is nonzero exactly when the row says data lies under the FAT area;
//  2. ExpectConvertedVolumeMatches: fsck.fat, The Sleuth Kit, mtools against the snapshot;
//  3. the test's own FAT reader (FatImage): no structural problem, every short name legal
//     and unique in its folder, every file's chain exactly as long as its size needs, and the
//     names it reads (long names whole) exactly the NTFS names;
//  4. the label: one label entry with fatLabel in the root, the same 11 bytes at 0x47 of the
//     boot sector, the backup boot sector equal to sector 0; no label entry and "NO NAME"
//     without a label.
void ExpectConversionOf(const MatrixCase& row);

// gtest's name of a row: the recipe with every character but letters and digits as '_'.
std::string MatrixCaseName(const MatrixCase& row);

// The file the engine logs to in such a test executable.
const std::string& ConversionLogPath();

}  // namespace testsupport
