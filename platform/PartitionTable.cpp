#include "platform/PartitionTable.h"

#include <libfdisk/libfdisk.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace platform {

namespace {

// One libfdisk context on one disk, released with the object. A handle given by the caller
// is used as it is and stays open.
class FdiskDisk {
public:
    FdiskDisk(const std::string& path, VolumeHandle handle, bool readOnly, std::string* error) {
        context_ = fdisk_new_context();
        if (context_ == nullptr) {
            *error = "cannot start libfdisk";
            return;
        }
        fdisk_disable_dialogs(context_, 1);
        const int rc = handle != kInvalidVolume
                           ? fdisk_assign_device_by_fd(context_, handle, path.c_str(), readOnly)
                           : fdisk_assign_device(context_, path.c_str(), readOnly);
        if (rc != 0) {
            *error = "cannot read the partition table of " + path + ": " + std::strerror(-rc);
            fdisk_unref_context(context_);
            context_ = nullptr;
            return;
        }
        assigned_ = true;
    }
    ~FdiskDisk() {
        if (context_ == nullptr) return;
        // nosync: the caller's ReleaseVolume or our own write already synced the disk, and a
        // re-read of the kernel's table would fail while a partition of it is held.
        if (assigned_) fdisk_deassign_device(context_, 1);
        fdisk_unref_context(context_);
    }
    FdiskDisk(const FdiskDisk&) = delete;
    FdiskDisk& operator=(const FdiskDisk&) = delete;

    fdisk_context* get() const { return context_; }
    bool ok() const { return context_ != nullptr; }

    // 512-byte sectors of `n` sectors of the disk's logical size.
    uint64_t To512(uint64_t n) const { return n * (fdisk_get_sector_size(context_) / 512); }

    PartitionTableKind Kind() const {
        if (!fdisk_has_label(context_)) return PartitionTableKind::None;
        if (fdisk_is_label(context_, DOS)) return PartitionTableKind::Mbr;
        if (fdisk_is_label(context_, GPT)) return PartitionTableKind::Gpt;
        return PartitionTableKind::Other;
    }

private:
    fdisk_context* context_ = nullptr;
    bool assigned_ = false;
};

// The partition struct of libfdisk, released with the object.
class FdiskPartition {
public:
    ~FdiskPartition() { fdisk_unref_partition(partition_); }
    fdisk_partition** out() { return &partition_; }
    fdisk_partition* get() const { return partition_; }

private:
    fdisk_partition* partition_ = nullptr;
};

std::string NumberText(uint32_t number) { return "partition " + std::to_string(number); }

// Fetches partition `number` into *partition; false with *error when it holds nothing.
bool FetchPartition(const FdiskDisk& disk, const std::string& path, uint32_t number,
                    FdiskPartition* partition, std::string* error) {
    if (disk.Kind() == PartitionTableKind::None) {
        *error = path + " has no partition table";
        return false;
    }
    if (number == 0 || fdisk_get_partition(disk.get(), number - 1, partition->out()) != 0 ||
        !fdisk_partition_is_used(partition->get())) {
        *error = path + " has no " + NumberText(number);
        return false;
    }
    if (fdisk_partition_is_container(partition->get())) {
        *error = NumberText(number) + " of " + path +
                 " is an extended partition, which holds the logical ones";
        return false;
    }
    return true;
}

bool ReadSysfsNumber(const std::filesystem::path& file, uint64_t* value) {
    std::ifstream in(file);
    unsigned long long v = 0;
    if (!(in >> v)) return false;
    *value = v;
    return true;
}

}  // namespace

bool ReadPartitionTableKind(const std::string& diskPath, VolumeHandle handle,
                            PartitionTableKind* kind, std::string* error) {
    FdiskDisk disk(diskPath, handle, true, error);
    if (!disk.ok()) return false;
    *kind = disk.Kind();
    return true;
}

bool ReadPartition(const std::string& diskPath, VolumeHandle handle, uint32_t number,
                   PartitionTableKind* kind, PartitionEntry* entry, std::string* error) {
    FdiskDisk disk(diskPath, handle, true, error);
    if (!disk.ok()) return false;
    *kind = disk.Kind();
    FdiskPartition partition;
    if (!FetchPartition(disk, diskPath, number, &partition, error)) return false;

    *entry = PartitionEntry{};
    entry->number = number;
    entry->startSector = disk.To512(fdisk_partition_get_start(partition.get()));
    entry->sectors = disk.To512(fdisk_partition_get_size(partition.get()));
    const fdisk_parttype* type = fdisk_partition_get_type(partition.get());
    if (type != nullptr && *kind == PartitionTableKind::Mbr) {
        entry->mbrType = fdisk_parttype_get_code(type);
    } else if (type != nullptr && fdisk_parttype_get_string(type) != nullptr) {
        entry->gptType = fdisk_parttype_get_string(type);
        for (char& c : entry->gptType) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return true;
}

bool SetMbrPartitionType(const std::string& diskPath, VolumeHandle handle, uint32_t number,
                         uint8_t type, std::string* error) {
    FdiskDisk disk(diskPath, handle, false, error);
    if (!disk.ok()) return false;
    FdiskPartition partition;
    if (!FetchPartition(disk, diskPath, number, &partition, error)) return false;
    if (disk.Kind() != PartitionTableKind::Mbr) {
        *error = diskPath + " has no MBR partition table";
        return false;
    }
    fdisk_label* label = fdisk_get_label(disk.get(), nullptr);
    fdisk_parttype* code = label != nullptr ? fdisk_label_get_parttype_from_code(label, type) : nullptr;
    if (code == nullptr) {
        *error = "libfdisk does not know the MBR type " + std::to_string(type);
        return false;
    }
    int rc = fdisk_set_partition_type(disk.get(), number - 1, code);
    if (rc == 0) rc = fdisk_write_disklabel(disk.get());
    if (rc != 0) {
        *error = "cannot write the partition table of " + diskPath + ": " + std::strerror(-rc);
        return false;
    }
    if (handle != kInvalidVolume && fsync(handle) != 0) {
        *error = "cannot sync the partition table of " + diskPath + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

std::optional<PartitionLocation> LocatePartition(const std::string& devicePath) {
    struct stat st = {};
    if (stat(devicePath.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return std::nullopt;
    std::error_code ec;
    const std::filesystem::path link = "/sys/dev/block/" + std::to_string(major(st.st_rdev)) +
                                       ":" + std::to_string(minor(st.st_rdev));
    const std::filesystem::path node = std::filesystem::canonical(link, ec);
    if (ec) return std::nullopt;

    // A partition's directory has a "partition" file and lies inside its disk's directory.
    PartitionLocation where;
    uint64_t number = 0;
    if (!ReadSysfsNumber(node / "partition", &number) || number == 0) return std::nullopt;
    if (!ReadSysfsNumber(node / "start", &where.startSector)) return std::nullopt;
    if (!ReadSysfsNumber(node / "size", &where.sectors)) return std::nullopt;
    where.number = static_cast<uint32_t>(number);
    const std::string disk = node.parent_path().filename().string();
    if (disk.empty()) return std::nullopt;
    where.diskPath = "/dev/" + disk;
    return where;
}

}  // namespace platform
