#include <errno.h>
#include <fcntl.h>
#include <langinfo.h>
#include <limits.h>
#include <locale.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "host/cli/interrupt_posix.h"
#include "host/cli/system.h"
#include "platform/file_system_kind.h"

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

namespace {

std::atomic<int> first_interrupt{0};
int interrupt_pipe[2] = {-1, -1};

void on_interrupt(int signal_number) {
  const int saved_errno = errno;
  int none = 0;
  first_interrupt.compare_exchange_strong(none, signal_number);
  const char byte = 1;
  // Non-blocking: once the pipe is full it is readable anyway.
  (void)!::write(interrupt_pipe[1], &byte, 1);
  errno = saved_errno;
}

}  // namespace

void watch_interrupts() {
  if (interrupt_pipe[0] >= 0) return;
  if (::pipe2(interrupt_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  struct sigaction action {};
  action.sa_handler = on_interrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    ::sigaction(signal_number, &action, nullptr);
  }
}

int interrupt_signal() { return first_interrupt.load(); }

int interrupt_descriptor() { return interrupt_pipe[0]; }

bool colors_refused() { return ::getenv("NO_COLOR") != nullptr || terminal_is_dumb(); }

bool terminal_is_dumb() {
  const char* term = ::getenv("TERM");
  return term != nullptr && strcmp(term, "dumb") == 0;
}

bool locale_is_utf8() {
  static const bool utf8 = [] {
    // The environment's locale for characters only; the rest of the program keeps "C".
    locale_t locale = ::newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(0));
    if (locale != static_cast<locale_t>(0)) {
      const std::string codeset = ::nl_langinfo_l(CODESET, locale);
      ::freelocale(locale);
      return codeset == "UTF-8";
    }
    // A locale named but not installed (LANG=en_US.UTF-8 in a bare container): its name says
    // what the terminal was set up for.
    std::string name;
    for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
      const char* value = ::getenv(variable);
      if (value != nullptr && *value != '\0') {
        name = value;
        break;
      }
    }
    for (char& letter : name)
      letter = static_cast<char>(tolower(static_cast<unsigned char>(letter)));
    return name.find("utf-8") != std::string::npos || name.find("utf8") != std::string::npos;
  }();
  return utf8;
}

std::optional<uint64_t> folder_own_bytes(platform::OsStringView path) {
  struct stat status {};
  if (::lstat(std::string(path).c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
    return std::nullopt;
  }
  return static_cast<uint64_t>(status.st_blocks) * 512;
}

std::optional<FolderProblem> folder_problem(platform::OsStringView path) {
  const std::string folder(path);
  struct stat status {};
  if (::stat(folder.c_str(), &status) != 0) {
    if (errno == ENOENT) return FolderProblem::Missing;
    if (errno == ENOTDIR) return FolderProblem::MissingPart;
    if (errno == EACCES) return FolderProblem::NotReachable;
    return std::nullopt;
  }
  if (!S_ISDIR(status.st_mode)) return FolderProblem::NotFolder;
  if (::access(folder.c_str(), R_OK | X_OK) != 0) return FolderProblem::NotReadable;
  return std::nullopt;
}

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
  const std::optional<platform::FileSystemKind> file_system = platform::file_system_kind_of(path);
  if (!file_system) return std::nullopt;
  storage::ElevatedVolume facts;
  facts.used_bytes = (static_cast<uint64_t>(volume.f_blocks) - volume.f_bfree) * volume.f_frsize;
  facts.file_system = *file_system;
  return facts;
}

}  // namespace ketterlin::host
