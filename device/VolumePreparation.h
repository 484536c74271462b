// Volume preparation: the exclusive hold on a volume that an in-place conversion needs, and
// its release afterwards, plus two small volume queries.
//
// A volume is "in use" when it cannot be opened exclusively (a block device that is mounted
// or held with O_EXCL, an image file that another open has locked) or when it is mounted at
// all (an image file behind a FUSE mount or a mounted loop device, which no lock reveals).
// LockVolume then asks the user once whether to go on, unmounts every mount point of the
// volume and tries again, at most three times.
//
// Ownership: LockVolume's handle belongs to the caller until it is passed to ReleaseVolume.
// Threads: the conversion thread; LockVolume blocks it (child processes, pauses) and calls
// the question callback on it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/RawVolume.h"

// The question asked when programs hold the volume. The callback returns true for Yes.
extern const char16_t kVolumeInUseQuestion[];
using VolumeQuestion = std::function<bool(const char16_t* text)>;

// What LockVolume does besides opening; replaceable so tests run fast and unmount nothing.
struct VolumeLockActions {
    // Opens the volume exclusively; kInvalidVolume with *error (errno) when refused.
    std::function<platform::VolumeHandle(const std::string& devicePath, int* error)> open;
    // Unmounts every mount point of the volume (the `umount` program, innermost first).
    std::function<void(const std::string& devicePath)> dismount;
    // Pauses the calling thread.
    std::function<void(int milliseconds)> sleep;
};
// The real actions: platform::OpenVolume (Exclusive), umount, a thread sleep.
VolumeLockActions DefaultVolumeLockActions();

// Obtains the exclusive hold on the volume at devicePath (a block device or an image file):
//   1. up to 3 attempts, each: open exclusively; refused, or the volume is mounted: close;
//   2. after the first refusal, ask `question` once; anything but Yes ends the attempts;
//   3. unmount every mount point of the volume, pause 800 ms, and try again.
// A volume that cannot be opened for any other reason (missing, not a volume, no right)
// ends at once without a question. Returns the handle, or kInvalidVolume.
platform::VolumeHandle LockVolume(const std::string& devicePath, const VolumeQuestion& question,
                                  const VolumeLockActions& actions = DefaultVolumeLockActions());
// The same for a drive letter of the drive table; kInvalidVolume at once when the letter is
// not a present drive.
platform::VolumeHandle LockVolume(char16_t letter, const VolumeQuestion& question,
                                  const VolumeLockActions& actions = DefaultVolumeLockActions());

// Ends the hold: flushes what was written to the device (fsync, and the block device's
// buffer cache, so the kernel sees the new file system) and closes the handle.
// Ignores kInvalidVolume.
void ReleaseVolume(platform::VolumeHandle handle);

// Always false here: the Windows 2000 partition-length query has no counterpart on Linux.
bool IsWindows2000();

// The volume length in 512-byte sectors (remainder dropped); all ones when it cannot be read.
uint64_t GetVolumeSectors(platform::VolumeHandle handle);
