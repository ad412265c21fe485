// Volumes under KQ_TVolumeInfo and the local names of KQ_TURL: the mount
// table, the figures of a mounted file system and what the kernel says
// about its block device.
//
// Paths and texts are the system's bytes.
#pragma once

#include <cstdint>
#include <string>

namespace kq::sys {

// The text of the mount table: the file named by the environment variable
// KQ_MOUNT_TABLE when it is set the first time this is called (it is read
// only then), else /proc/self/mounts. False when the file cannot be read.
bool ReadMountTable(std::string* text);

struct FileSystemStats {
  std::uint64_t totalBytes = 0;
  // What an unprivileged user may still write.
  std::uint64_t availableBytes = 0;
  // The file system's identifier, which the kernel derives from the file
  // system's UUID where it has one, so that it stays across mounts.
  std::uint64_t id = 0;
};

// The figures of the file system that holds path; false when it cannot be
// read (the path is missing, or the medium is gone).
bool FileSystemStatistics(char const* path, FileSystemStats* stats) noexcept;

// True when the kernel marks the block device (a /dev path, or a partition
// of such a device) as one with removable media.
bool IsRemovableDevice(char const* device) noexcept;

// The file-system label of a block device, from the links that the device
// manager keeps in /dev/disk/by-label; false when none names the device.
bool DeviceLabel(char const* device, std::string* label);

}  // namespace kq::sys
