// What file system holds a path: the kind a scan reports, and the system's own name for it.
// The rules that turn what a system says into a kind are pure functions of numbers and text
// (file_system_kind.cpp), so that both systems' rules are tested everywhere.
// file_system_kind_posix.cpp asks fstatfs, the mount table and udev; file_system_kind_win32.cpp
// asks GetVolumeInformationW.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/os_string.h"

namespace ketterlin::platform {

// The file system of a volume. The values are part of the wire contract.
enum class FileSystemKind : uint8_t {
  Ntfs = 0,
  ReFs = 1,
  Fat32 = 2,
  ExFat = 3,
  Other = 4,
};

// ----- Windows -----

// The kind a Windows file-system name stands for (GetVolumeInformation's name: "NTFS", "ReFS",
// "FAT32", "exFAT", matched exactly and case-sensitively); anything else, "FAT" and "ntfs"
// included, is Other.
[[nodiscard]] FileSystemKind file_system_kind_from_name(std::u16string_view name);

// ----- POSIX (Linux) -----

// The statfs magic number of every FUSE mount: only the mount table, and for a plain fuseblk
// mount only udev, can tell what such a mount holds.
inline constexpr uint64_t kFuseMagic = 0x65735546;

// The file-system kind from what the system says about a mount: the statfs magic number, the
// mount's type as /proc/self/mountinfo gives it ("fuseblk", "fuseblk.ntfs", ...) and the block
// device's file-system type as udev recorded it ("ntfs"). The last two matter only for FUSE
// mounts and may be empty.
[[nodiscard]] FileSystemKind classify_file_system(uint64_t magic, std::string_view mount_type,
                                                  std::string_view device_type);

// The mount type ("ext4", "fuseblk") of the mount on device `major`:`minor` in the text of
// /proc/self/mountinfo; empty when no line is for that device. The view points into `mountinfo`.
[[nodiscard]] std::string_view mount_type_of_device(std::string_view mountinfo, uint32_t major,
                                                    uint32_t minor);

// The ID_FS_TYPE value in the text of a udev database record (/run/udev/data/b<major>:<minor>);
// empty when the record has none. The view points into `record`.
[[nodiscard]] std::string_view udev_file_system_type(std::string_view record);

// ----- The system's answers -----

// The kind of the file system that holds the folder `folder`, links followed; nullopt when the
// folder cannot be opened or its volume not asked. POSIX: the folder opened and read as
// file_system_kind_of_descriptor (posix/descriptor_file_system.h) reads it. Windows: the name
// GetVolumeInformationW reports for the volume that GetVolumePathNameW gives.
[[nodiscard]] std::optional<FileSystemKind> file_system_kind_of(OsStringView folder);

// The system's own name of the file system that holds `path` ("ext4", "tmpfs", "NTFS"), for a
// kind reported only as Other; nullopt when the system does not tell. POSIX: the type that
// /proc/self/mountinfo gives the mount whose device is `path`'s (links followed). Windows: the
// name GetVolumeInformationW reports, as UTF-8.
[[nodiscard]] std::optional<std::string> file_system_name(OsStringView path);

}  // namespace ketterlin::platform
