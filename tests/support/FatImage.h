// A small reader of FAT32 images for tests that judge what a conversion wrote at the level
// the other readers do not show: the short names themselves (legal, unique per folder), the
// long-name entries and their checksums, the dot entries, the label entry and the boot
// sector's label, and the length of every cluster chain against its file's size.
//
// It shares only the on-disk structures with the engine (FAT32_BOOT_SECTOR, FAT_DIR_ENTRY,
// FAT_LFN_ENTRY); every rule is decoded here on its own, so it can judge the writer. It reads
// only the boot sectors, the first FAT and the directory clusters, so a sparse image of many
// GiB costs little.
//
// Threads: any; no state.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/DirectoryWriter.h"
#include "engine/Fat32BootSector.h"

namespace testsupport {

// One entry below the root (dot entries, long-name entries and the label are not listed).
struct FatDirEntry {
    std::string path;         // from the root, "/" separators, UTF-8: the long name when there
                              // is one, else the short name as a reader shows it (case flags
                              // applied, "NAME.EXT")
    std::string directory;    // the path of the folder that holds it ("" for the root)
    FAT_DIR_ENTRY entry{};    // the short entry as written
    std::u16string longName;  // as its long-name entries spell it; empty when it has none
    uint64_t chainClusters = 0;  // clusters of its chain (0 when the first cluster is 0)
    uint32_t FirstCluster() const;
    bool IsDirectory() const { return (entry.Attributes & kFatAttrDirectory) != 0; }
};

struct FatImage {
    FAT32_BOOT_SECTOR boot{};    // sector 0
    FAT32_BOOT_SECTOR backup{};  // its backup (sector 6)
    bool hasLabelEntry = false;  // the root holds a volume-label entry
    FAT_DIR_ENTRY labelEntry{};  // that entry (the first one when there are several)
    uint32_t labelEntries = 0;   // how many label entries the root holds
    std::vector<FatDirEntry> entries;  // depth first, each folder in its directory order
    // What the reader found wrong, one line each: long-name entries out of order or with a
    // checksum that is not their short entry's, chains that end on a free cluster, run out of
    // the table or loop, dot entries that do not name their folder and its parent, deleted or
    // stray entries.
    std::vector<std::string> problems;

    uint32_t ClusterBytes() const { return uint32_t{boot.SectorsPerCluster} * 512; }
};

// Reads an image; throws std::runtime_error when it is not a readable FAT32 volume.
FatImage ReadFatImage(const std::string& image);

// The checksum of 11 short-name bytes that long-name entries carry (rotate right, add).
uint8_t ShortNameSum(const uint8_t name[11]);

// What is wrong with 11 short-name bytes, or "" when they are a legal short name: no byte
// below 0x20 (0x05 allowed first), no 0x7F, none of " * + , . / : ; < = > ? [ \ ] |, no
// small letter (ASCII or code page 437), no blank first, no blank followed by a non-blank
// within the 8-byte part or within the extension. A volume label (`label`) may hold blanks
// anywhere but first.
std::string ShortNameFault(const uint8_t name[11], bool label = false);

// 11 name bytes as text for messages: printable ASCII as it is, other bytes as \xNN.
std::string ShowNameBytes(const uint8_t name[11]);

}  // namespace testsupport
