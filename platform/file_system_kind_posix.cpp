#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>

#include <fstream>
#include <sstream>
#include <string>
#include <utility>

#include "descriptor_file_system.h"
#include "platform/file_system_kind.h"
#include "unique_fd.h"

namespace ketterlin::platform {
namespace {

// Reads a whole (small) file; empty when it cannot be read.
std::string read_small_file(const char* path) {
  std::ifstream file(path);
  std::ostringstream text;
  text << file.rdbuf();
  return std::move(text).str();
}

}  // namespace

FileSystemKind file_system_kind_of_descriptor(int fd) {
  struct statfs volume {};
  struct stat status {};
  if (::fstatfs(fd, &volume) != 0 || ::fstat(fd, &status) != 0) return FileSystemKind::Other;
  const auto magic = static_cast<uint64_t>(static_cast<unsigned long>(volume.f_type));
  if (magic != kFuseMagic) return classify_file_system(magic, {}, {});
  // A FUSE mount names its file system only in the mount table, and a plain fuseblk mount
  // (ntfs-3g, exfat-fuse) not even there: udev knows what the block device holds.
  const uint32_t device_major = major(status.st_dev);
  const uint32_t device_minor = minor(status.st_dev);
  const std::string mountinfo = read_small_file("/proc/self/mountinfo");
  const std::string_view mount_type = mount_type_of_device(mountinfo, device_major, device_minor);
  std::string device_record;
  if (mount_type == "fuseblk") {
    const std::string record_path =
        "/run/udev/data/b" + std::to_string(device_major) + ":" + std::to_string(device_minor);
    device_record = read_small_file(record_path.c_str());
  }
  return classify_file_system(magic, mount_type, udev_file_system_type(device_record));
}

std::optional<FileSystemKind> file_system_kind_of(OsStringView folder) {
  const UniqueFd directory(::open(std::string(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!directory.valid()) return std::nullopt;
  return file_system_kind_of_descriptor(directory.get());
}

std::optional<std::string> file_system_name(OsStringView path) {
  struct stat status {};
  if (::stat(std::string(path).c_str(), &status) != 0) return std::nullopt;
  const std::string mountinfo = read_small_file("/proc/self/mountinfo");
  const std::string_view type =
      mount_type_of_device(mountinfo, major(status.st_dev), minor(status.st_dev));
  if (type.empty()) return std::nullopt;
  return std::string(type);
}

}  // namespace ketterlin::platform
