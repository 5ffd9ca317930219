#include "host/browser/entry_remover.h"

#include <filesystem>
#include <system_error>

namespace ketterlin::host {

tl::expected<void, platform::OsError> FileSystemRemover::remove(const platform::OsString& path) {
  std::error_code error;
  std::filesystem::remove_all(std::filesystem::path(path), error);
  if (error) return tl::unexpected(platform::OsError{static_cast<uint32_t>(error.value())});
  return {};
}

}  // namespace ketterlin::host
