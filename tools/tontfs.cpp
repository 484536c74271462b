// velundra-tontfs: converts a FAT12, FAT16 or FAT32 volume to NTFS in place, keeping every
// file where it lies.
//
//   velundra-tontfs TARGET /FS:NTFS [/X]
//
// TARGET is a drive letter of the drive table ("E:", see VELUNDRA_DRIVES) or a block device
// or image file. The program speaks in the manner of the system converters the wizard drives:
// everything on standard output, one answer (the current volume label) read from standard
// input after the first lines, exit status 0 only when the volume is NTFS afterwards.
// Order, so that nothing is written before the volume and the answer are checked:
//  1. read the whole FAT volume and refuse damage, naming it;
//  2. show what was found and ask for the current volume label; a wrong one ends here;
//  3. plan the NTFS metadata in the clusters the FAT marks free; refuse when room is short;
//  4. take the volume exclusively (/X: unmounting it first), read it again, and convert (a
//     volume that nothing else held was taken exclusively in step 1 and is read only once);
//  5. on an MBR disk, change the partition's FAT type byte to 0x07.
// Exit status: 0 converted, 1 refused or failed, 2 wrong usage.

#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>

#include "device/CVolumeDevice.h"
#include "device/VolumePreparation.h"
#include "engine/UnicodeCase.h"
#include "fattontfs/CFatVolume.h"
#include "fattontfs/CNtfsWriter.h"
#include "fattontfs/NtfsPartitionType.h"
#include "fattontfs/NtfsPlan.h"
#include "platform/DriveTable.h"
#include "platform/RawVolume.h"
#include "platform/TextEncoding.h"
#include "undo/CUndoVolumeDevice.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "usage: velundra-tontfs [--undo FILE] TARGET /FS:NTFS [/X]\n"
    "\n"
    "Converts the FAT12, FAT16 or FAT32 file system on TARGET (a drive letter such as E:, a\n"
    "block device such as /dev/sdb1, or an image file) to NTFS in place, keeping every file.\n"
    "\n"
    "  /FS:NTFS  the file system to convert to (the only one)\n"
    "  /X        unmount the volume first if it is mounted\n"
    "  --undo FILE  keep the old contents of every sector the conversion overwrites in FILE\n"
    "               (a new file, not on TARGET); velundra-convert --rollback FILE TARGET\n"
    "               puts the FAT volume back\n";

std::string Upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

std::string Kilobytes(uint64_t bytes) { return std::to_string(bytes / 1024) + " KB"; }

void Say(const std::string& line) {
    std::cout << line << "\n";
    std::cout.flush();
}

}  // namespace

int main(int argc, char** argv) {
    // 0. Arguments: the target, /FS:NTFS, and /X.
    std::string target, undoPath;
    bool fsGiven = false, dismount = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i], u = Upper(a);
        if (a == "--undo") {
            if (i + 1 >= argc || argv[i + 1][0] == '\0') {
                std::cerr << "velundra-tontfs: --undo needs a file name\n" << kUsage;
                return kExitUsage;
            }
            undoPath = argv[++i];
        } else if (u == "/FS:NTFS") {
            fsGiven = true;
        } else if (u == "/X") {
            dismount = true;
        } else if (u == "/?" || a == "--help" || a == "-h") {
            std::cout << kUsage;
            return kExitOk;
        } else if (u.rfind("/FS:", 0) == 0 || (!a.empty() && a[0] == '/' && a.size() <= 3 && u != a)) {
            std::cerr << "velundra-tontfs: unknown option " << a << "\n" << kUsage;
            return kExitUsage;
        } else if (target.empty()) {
            target = a;
        } else {
            std::cerr << "velundra-tontfs: more than one target\n" << kUsage;
            return kExitUsage;
        }
    }
    if (target.empty() || !fsGiven) {
        std::cerr << kUsage;
        return kExitUsage;
    }

    // The drive's name in the prompt: the letter as given, else the path.
    std::string path = target, driveName = target;
    if (target.size() == 2 && target[1] == ':') {
        const auto drive = platform::LookupDrive(target[0]);
        if (!drive) {
            Say("The drive " + Upper(target) + " does not exist.");
            return kExitFailed;
        }
        path = drive->devicePath;
        driveName = Upper(target);
    }

    // 1. The whole FAT volume, read and checked; nothing is written in this step. When nothing
    //    else holds the volume it is held exclusively from here on, so that the tree read now
    //    is the one converted; otherwise it is read shared now and again once locked.
    int error = 0;
    platform::VolumeHandle handle = platform::OpenVolume(path, platform::VolumeAccess::Exclusive, &error);
    const bool heldFromStart = handle != platform::kInvalidVolume;
    if (!heldFromStart) handle = platform::OpenVolume(path, platform::VolumeAccess::Shared, &error);
    if (handle == platform::kInvalidVolume) {
        Say("Cannot open volume " + driveName + ".");
        return kExitFailed;
    }
    CVolumeDevice device(handle);
    auto first = std::make_unique<CFatVolume>(&device);
    CFatVolume& fat = *first;
    const bool read = fat.Read();
    if (!read && fat.Problem().find("not a FAT volume") != std::string::npos) {
        Say("The volume " + driveName + " is not a FAT volume: " + fat.Problem());
        platform::CloseVolume(handle);
        return kExitFailed;
    }
    Say(std::string("The type of the file system is ") + fat.KindName() + ".");
    if (!read) {
        Say(fat.Problem());
        Say("Conversion failed: nothing was written.");
        platform::CloseVolume(handle);
        return kExitFailed;
    }

    // 2. The current label: one line on standard input, compared without letter case.
    std::cout << "Enter current volume label for drive " << driveName << " ";
    std::cout.flush();
    std::string answer;
    std::getline(std::cin, answer);
    while (!answer.empty() && (answer.back() == '\r' || answer.back() == ' ')) answer.pop_back();
    std::u16string label = fat.Label();
    while (!label.empty() && label.back() == u' ') label.pop_back();
    std::cout << "\n";
    if (!EqualIgnoringCase(platform::Utf8ToUtf16(answer), label)) {
        Say("An incorrect volume label was entered for this drive.");
        platform::CloseVolume(handle);
        return kExitFailed;
    }

    // 3. What was found, and the room the NTFS metadata needs.
    const NTFS_PLAN plan = PlanNtfs(fat);
    Say("Volume size: " + Kilobytes(fat.TotalBytes()) + ", FAT cluster size: " +
        std::to_string(fat.ClusterBytes()) + " bytes, NTFS cluster size: " + std::to_string(plan.ClusterBytes) +
        " bytes.");
    Say(std::to_string(fat.FileCount()) + " files and " + std::to_string(fat.DirectoryCount()) +
        " folders, " + Kilobytes(fat.FileBytes()) + " of file data, " +
        Kilobytes(uint64_t{fat.FreeClusters()} * fat.ClusterBytes()) + " free.");
    Say("The NTFS metadata needs " + Kilobytes(plan.MetadataClusters * plan.ClusterBytes) + ".");
    if (!plan.Fits()) {
        Say("The volume does not have enough free space for the NTFS metadata: it needs " +
            Kilobytes(plan.MetadataClusters * plan.ClusterBytes) + ", " +
            Kilobytes(plan.FreeClusters * plan.ClusterBytes) + " are free.");
        Say("Conversion failed: nothing was written.");
        platform::CloseVolume(handle);
        return kExitFailed;
    }

    // 4. Take the volume for ourselves (unless step 1 could), read it again, plan every
    //    record and cluster in memory (reads only), and write.
    platform::VolumeHandle locked = handle;
    std::unique_ptr<CVolumeDevice> lockedOwned;
    std::unique_ptr<CFatVolume> second;
    if (!heldFromStart) {
        first.reset();
        platform::CloseVolume(handle);
        if (dismount) {
            locked = LockVolume(path, [](const char16_t*) { return true; });
        } else {
            locked = platform::OpenVolume(path, platform::VolumeAccess::Exclusive, &error);
        }
        if (locked == platform::kInvalidVolume) {
            Say("Cannot lock volume " + driveName + (dismount ? "." : ": it is in use (/X unmounts it first)."));
            Say("Conversion failed: nothing was written.");
            return kExitFailed;
        }
        lockedOwned = std::make_unique<CVolumeDevice>(locked);
        second = std::make_unique<CFatVolume>(lockedOwned.get());
        if (!second->Read()) {
            Say(second->Problem());
            Say("Conversion failed: nothing was written.");
            ReleaseVolume(locked);
            return kExitFailed;
        }
    }
    CVolumeDevice& lockedDevice = lockedOwned ? *lockedOwned : device;
    const CFatVolume& again = second ? *second : *first;
    // With --undo every used sector the writer overwrites is saved first.
    std::unique_ptr<CUndoVolumeDevice> undo;
    if (!undoPath.empty()) {
        std::string problem;
        undo = StartUndo(undoPath, path, UndoDirection::FatToNtfs, lockedDevice, &problem);
        if (!undo) {
            Say(problem);
            Say("Conversion failed: nothing was written.");
            ReleaseVolume(locked);
            return kExitFailed;
        }
        Say("To undo this conversion: velundra-convert --rollback " + undoPath + " " + path);
    }
    CVolumeDevice* writeDevice = undo ? static_cast<CVolumeDevice*>(undo.get()) : &lockedDevice;
    CNtfsWriter writer(&again, writeDevice, [locked] { return platform::FlushVolume(locked); });
    if (!writer.Plan()) {
        Say(writer.Problem());
        Say("Conversion failed: nothing was written.");
        ReleaseVolume(locked);
        return kExitFailed;
    }
    const auto started = std::chrono::steady_clock::now();
    const bool written = writer.Write([](const std::string& step) { Say(step); });
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    ReleaseVolume(locked);
    if (!written) {
        Say(writer.Problem());
        Say("Conversion failed.");
        return kExitFailed;
    }
    // 5. The partition entry follows the new file system.
    std::string partitionMessage;
    const bool marked = MarkVolumePartitionNtfs(path, &partitionMessage);
    if (!partitionMessage.empty()) Say(partitionMessage);
    if (!marked) {
        Say("The volume is NTFS now, but its partition entry still names FAT.");
        return kExitFailed;
    }
    char summary[256];
    std::snprintf(summary, sizeof summary,
                  "Converted: %llu files, %llu folders, cluster %u -> %u bytes, %llu bytes of metadata, "
                  "%llu bytes written, %.2f s.",
                  static_cast<unsigned long long>(again.FileCount()), static_cast<unsigned long long>(again.DirectoryCount()),
                  again.ClusterBytes(), writer.Layout().ClusterBytes,
                  static_cast<unsigned long long>(writer.MetadataBytes()),
                  static_cast<unsigned long long>(writeDevice->SectorsWritten * 512), seconds);
    Say(summary);
    Say("Conversion complete.");
    return kExitOk;
}
