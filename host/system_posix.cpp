#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <string>

#include "host/system.h"
#include "scanner/directory_reader_posix.h"
#include "unique_fd.h"

namespace ketterlin::host {

std::optional<platform::OsString> own_executable_path() {
  std::string buffer(PATH_MAX, '\0');
  const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
  if (length <= 0 || static_cast<std::size_t>(length) >= buffer.size()) return std::nullopt;
  buffer.resize(static_cast<std::size_t>(length));
  return buffer;
}

std::optional<platform::OsString> find_program(std::string_view name) {
  const char* path = ::getenv("PATH");
  std::string_view directories = path != nullptr ? path : "/usr/bin:/bin";
  while (true) {
    const std::size_t end = directories.find(':');
    std::string directory(directories.substr(0, end));
    if (directory.empty()) directory = ".";
    const std::string candidate = directory + "/" + std::string(name);
    struct stat status {};
    if (::stat(candidate.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
        ::access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
    if (end == std::string_view::npos) return std::nullopt;
    directories.remove_prefix(end + 1);
  }
}

namespace {
int descriptor_of(StandardStream stream) {
  return stream == StandardStream::Output ? STDOUT_FILENO : STDERR_FILENO;
}
}  // namespace

bool is_terminal(StandardStream stream) { return ::isatty(descriptor_of(stream)) == 1; }

std::size_t terminal_columns(StandardStream stream) {
  if (!is_terminal(stream)) return 0;
  winsize size{};
  if (::ioctl(descriptor_of(stream), TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

void prepare_terminal() {}

std::optional<storage::ElevatedVolume> volume_facts(platform::OsStringView path) {
  const std::string folder(path);
  struct stat own {};
  struct stat parent {};
  if (::stat(folder.c_str(), &own) != 0 || !S_ISDIR(own.st_mode)) return std::nullopt;
  const std::string parent_path = folder == "/" ? folder : folder + "/..";
  if (::stat(parent_path.c_str(), &parent) != 0) return std::nullopt;
  const bool is_root = folder == "/" || own.st_dev != parent.st_dev ||
                       (own.st_ino == parent.st_ino && own.st_dev == parent.st_dev);
  if (!is_root) return std::nullopt;
  struct statvfs volume {};
  if (::statvfs(folder.c_str(), &volume) != 0) return std::nullopt;
  platform::UniqueFd directory(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!directory.valid()) return std::nullopt;
  storage::ElevatedVolume facts;
  facts.used_bytes = (static_cast<uint64_t>(volume.f_blocks) - volume.f_bfree) * volume.f_frsize;
  facts.file_system = scanner::posix::real_directory_system().file_system_of(directory.get());
  return facts;
}

}  // namespace ketterlin::host
