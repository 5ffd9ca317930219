#include "storage/volume.h"

namespace ketterlin::storage {

FileSystemKind file_system_kind_from_name(std::u16string_view name) {
  if (name == u"NTFS") return FileSystemKind::Ntfs;
  if (name == u"ReFS") return FileSystemKind::ReFs;
  if (name == u"FAT32") return FileSystemKind::Fat32;
  if (name == u"exFAT") return FileSystemKind::ExFat;
  return FileSystemKind::Other;
}

}  // namespace ketterlin::storage
