#include "device/VolumePreparation.h"

#include <cerrno>
#include <chrono>
#include <optional>
#include <thread>
#include <vector>

#include "device/Log.h"
#include "platform/DriveTable.h"
#include "platform/Process.h"

const char16_t kVolumeInUseQuestion[] =
    u"Some programs is running on the volume that need to be converted, \nThe converting may "
    u"affect these running program, would you like to continue?";

namespace {

constexpr int kLockAttempts = 3;
constexpr int kPauseAfterDismountMs = 800;

// Refusals that mean "somebody holds the volume", as opposed to a volume that cannot be
// opened at all.
bool MeansInUse(int error) { return error == EBUSY || error == EWOULDBLOCK || error == EAGAIN; }

void UnmountAll(const std::string& devicePath) {
    // Innermost first: a mount made later may sit inside an earlier one of the same volume.
    std::vector<std::string> points = platform::MountPointsOf(devicePath);
    for (auto it = points.rbegin(); it != points.rend(); ++it) {
        const int status = platform::RunProgram("umount", {*it}, platform::ChildOutput::Discard);
        if (status != 0) LogWarnA("umount %s failed, status %d", it->c_str(), status);
    }
}

}  // namespace

VolumeLockActions DefaultVolumeLockActions() {
    VolumeLockActions actions;
    actions.open = [](const std::string& path, int* error) {
        return platform::OpenVolume(path, platform::VolumeAccess::Exclusive, error);
    };
    actions.dismount = UnmountAll;
    actions.sleep = [](int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
    return actions;
}

platform::VolumeHandle LockVolume(const std::string& devicePath, const VolumeQuestion& question,
                                  const VolumeLockActions& actions) {
    bool asked = false;
    for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
        // 1. Open exclusively. A volume that is still mounted counts as held even when the
        //    open succeeds: an image behind a FUSE mount or a loop device carries no lock.
        int error = 0;
        const platform::VolumeHandle handle = actions.open(devicePath, &error);
        if (handle != platform::kInvalidVolume) {
            if (platform::MountPointsOf(devicePath).empty()) return handle;
            platform::CloseVolume(handle);
            error = EBUSY;
        }
        if (!MeansInUse(error)) {
            LogErrorA("Opening volume %s failed, error %d", devicePath.c_str(), error);
            return platform::kInvalidVolume;
        }
        LogInfoA("Volume %s is in use (error %d), attempt %d", devicePath.c_str(), error,
                 attempt + 1);

        // 2. The user decides once whether running programs may lose their volume.
        if (!asked) {
            if (!question || !question(kVolumeInUseQuestion)) return platform::kInvalidVolume;
            asked = true;
        }

        // 3. Take the volume away from them and give the system a moment.
        if (actions.dismount) actions.dismount(devicePath);
        if (actions.sleep) actions.sleep(kPauseAfterDismountMs);
    }
    return platform::kInvalidVolume;
}

platform::VolumeHandle LockVolume(char16_t letter, const VolumeQuestion& question,
                                  const VolumeLockActions& actions) {
    if (letter > 0x7F) return platform::kInvalidVolume;
    const std::optional<platform::DriveEntry> drive =
        platform::LookupDrive(static_cast<char>(letter));
    if (!drive) return platform::kInvalidVolume;
    return LockVolume(drive->devicePath, question, actions);
}

void ReleaseVolume(platform::VolumeHandle handle) {
    if (handle == platform::kInvalidVolume) return;
    if (!platform::FlushVolume(handle)) LogWarnA("Flushing the volume failed");
    platform::CloseVolume(handle);
}

bool IsWindows2000() { return false; }

uint64_t GetVolumeSectors(platform::VolumeHandle handle) {
    uint64_t bytes = 0;
    if (!platform::VolumeLengthBytes(handle, &bytes, nullptr)) return ~uint64_t{0};
    return bytes / 512;
}
