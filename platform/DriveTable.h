// The drive table: the design's drive letters mapped onto Linux devices and image files.
// C is the device that holds "/"; D, E, ... go to the other block devices that carry a file
// system, in the order of their device names. VELUNDRA_DRIVES ("E=/path/img;F=/dev/sdc1")
// adds or replaces letters, so letter-based paths can point at image files.
//
// Threads: any thread; the table is built afresh on every call (it is small).
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace platform {

struct DriveEntry {
    char letter = 0;                       // 'C'..'Z'
    std::string devicePath;                // /dev/sdb1 or an image file's path
    std::vector<std::string> mountPoints;  // where that device is mounted now (may be empty)
};

// Every letter present, in letter order.
std::vector<DriveEntry> DriveTable();

// The entry of one letter (upper or lower case); nullopt when the letter is not present.
std::optional<DriveEntry> LookupDrive(char letter);

}  // namespace platform
