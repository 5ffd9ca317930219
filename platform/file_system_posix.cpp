#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <memory>

#include "platform/file_system.h"

namespace ketterlin::platform {
namespace {

// `path` as a C string, or nullopt when it holds a zero byte and would be cut short.
std::optional<OsString> c_string(OsStringView path) {
  if (path.find('\0') != OsStringView::npos) return std::nullopt;
  return OsString(path);
}

struct FreeDeleter {
  void operator()(char* p) const { free(p); }
};

}  // namespace

tl::expected<OsString, OsError> canonicalize(OsStringView path) {
  const auto text = c_string(path);
  if (!text) return tl::unexpected(OsError{EINVAL});
  const std::unique_ptr<char, FreeDeleter> resolved(realpath(text->c_str(), nullptr));
  if (!resolved) return tl::unexpected(last_os_error());
  return OsString(resolved.get());
}

std::optional<OsString> available_folder(OsStringView path) {
  auto canonical = canonicalize(path);
  if (!canonical) return std::nullopt;
  struct stat status {};
  if (stat(canonical->c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) return std::nullopt;
  return std::move(*canonical);
}

std::optional<uint64_t> last_write_epoch_seconds(OsStringView path) {
  const auto text = c_string(path);
  if (!text) return std::nullopt;
  struct stat status {};
  if (stat(text->c_str(), &status) != 0) return std::nullopt;
  if (status.st_mtim.tv_sec < 0) return 0;
  return static_cast<uint64_t>(status.st_mtim.tv_sec);
}

}  // namespace ketterlin::platform
