#include "platform/file_system_kind.h"

#include <algorithm>

namespace ketterlin::platform {
namespace {

constexpr uint64_t kNtfsMagic = 0x5346544e;   // the classic ntfs driver
constexpr uint64_t kNtfs3Magic = 0x7366746e;  // ntfs3
constexpr uint64_t kExFatMagic = 0x2011bab0;
constexpr uint64_t kFatMagic = 0x4d44;  // vfat and msdos

FileSystemKind kind_from_type_name(std::string_view name) {
  if (name == "ntfs" || name == "ntfs3" || name == "ntfs-3g") return FileSystemKind::Ntfs;
  if (name == "exfat") return FileSystemKind::ExFat;
  if (name == "vfat" || name == "msdos") return FileSystemKind::Fat32;
  return FileSystemKind::Other;
}

}  // namespace

FileSystemKind file_system_kind_from_name(std::u16string_view name) {
  if (name == u"NTFS") return FileSystemKind::Ntfs;
  if (name == u"ReFS") return FileSystemKind::ReFs;
  if (name == u"FAT32") return FileSystemKind::Fat32;
  if (name == u"exFAT") return FileSystemKind::ExFat;
  return FileSystemKind::Other;
}

FileSystemKind classify_file_system(uint64_t magic, std::string_view mount_type,
                                    std::string_view device_type) {
  switch (magic) {
    case kNtfsMagic:
    case kNtfs3Magic:
      return FileSystemKind::Ntfs;
    case kExFatMagic:
      return FileSystemKind::ExFat;
    case kFatMagic:
      return FileSystemKind::Fat32;
    case kFuseMagic:
      break;
    default:
      return FileSystemKind::Other;
  }
  // "fuseblk.ntfs" or "fuse.ntfs-3g" carry their subtype; a bare "fuseblk" is what the device
  // holds.
  for (const std::string_view prefix : {"fuseblk.", "fuse."}) {
    if (mount_type.starts_with(prefix))
      return kind_from_type_name(mount_type.substr(prefix.size()));
  }
  if (mount_type == "fuseblk") return kind_from_type_name(device_type);
  return FileSystemKind::Other;
}

std::string_view mount_type_of_device(std::string_view mountinfo, uint32_t major, uint32_t minor) {
  const std::string device = std::to_string(major) + ":" + std::to_string(minor);
  while (!mountinfo.empty()) {
    const std::size_t line_end = std::min(mountinfo.find('\n'), mountinfo.size());
    const std::string_view line = mountinfo.substr(0, line_end);
    mountinfo.remove_prefix(std::min(line_end + 1, mountinfo.size()));
    // "36 35 98:0 /root /mount options [optional fields...] - type source super-options"
    const std::size_t first_blank = line.find(' ');
    const std::size_t second_blank = line.find(' ', first_blank + 1);
    if (first_blank == std::string_view::npos || second_blank == std::string_view::npos) continue;
    const std::size_t third_blank = line.find(' ', second_blank + 1);
    if (line.substr(second_blank + 1, third_blank - second_blank - 1) != device) continue;
    const std::size_t separator = line.find(" - ");
    if (separator == std::string_view::npos) continue;
    const std::string_view rest = line.substr(separator + 3);
    return rest.substr(0, rest.find(' '));
  }
  return {};
}

std::string_view udev_file_system_type(std::string_view record) {
  constexpr std::string_view kKey = "E:ID_FS_TYPE=";
  while (!record.empty()) {
    const std::size_t line_end = std::min(record.find('\n'), record.size());
    const std::string_view line = record.substr(0, line_end);
    record.remove_prefix(std::min(line_end + 1, record.size()));
    if (line.starts_with(kKey)) return line.substr(kKey.size());
  }
  return {};
}

}  // namespace ketterlin::platform
