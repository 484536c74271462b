// Checks that refuse a damaged or unclean NTFS volume before anything is written.
//
// The conversion trusts the NTFS metadata: FAT chains are laid over the clusters that the data
// runs name, and every cluster no kept file names becomes free space. A run that reaches past
// the end of the volume or into its boot sector, a cluster that two files claim, or a file
// whose runs hold fewer bytes than its size would therefore become lost or mixed-up data on
// FAT32. These checks find such damage, and a volume that Windows or ntfs-3g marked as not
// cleanly unmounted, and refuse the volume with a message asking for a check of it first.
//
// The driver calls CheckVolumeClean before the tree walk (it is cheap and says the most
// likely cause first) and CheckTree after it, before anything is written. Both throw
// SimpleException of kind 1 (engine/Refusal.h) and only read the volume.
//
// Threads: the conversion thread.
#pragma once

#include <cstdint>

class CNTFSVolume;
struct FILE_ITEM;

// $VOLUME_INFORMATION flag set while the volume is mounted or after an unclean shutdown, and
// by Windows when it found errors on the volume (value offset 0x0A).
constexpr uint16_t kVolumeDirty = 0x0001;

// Refuses the volume when the flags of $VOLUME_INFORMATION in $Volume (record 3) mark it
// dirty, and when that record or attribute cannot be read at all.
void CheckVolumeClean(CNTFSVolume* volume);

// Checks the unnamed data of every file of the tree (directories have none that is kept):
//  1. no compressed, encrypted or sparse data by the attribute's own flags, and no sparse run;
//  2. runs that decoded cleanly, none of them at cluster 0 (the boot sector) or reaching past
//     the end of the volume (the boot sector's size, or the device's when that is shorter);
//  3. runs that cover the data from its first cluster without a gap, holding at least its size;
//  4. no cluster claimed twice, by two files or by one; the hard links of one record are one
//     file and are checked once.
// Throws SimpleException (kind 1) for the first fault found, naming the file by its path.
// Memory: one bit per volume cluster while it runs (64 MiB for 2 TiB of 4 KiB clusters).
void CheckTree(FILE_ITEM* root, CNTFSVolume* volume);
