#include <windows.h>

#include "platform/file_system.h"
#include "unique_handle.h"

namespace ketterlin::platform {
namespace {

// Opens `path` with no access rights, all sharing and backup semantics, so that folders open too
// and every link on the way is followed.
tl::expected<UniqueHandle, OsError> open_following_links(OsStringView path) {
  // CreateFileW would stop at a zero unit and open another object than the one named.
  if (path.find(L'\0') != OsStringView::npos) return tl::unexpected(OsError{ERROR_INVALID_NAME});
  const OsString text(path);
  UniqueHandle handle(CreateFileW(text.c_str(), 0,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!handle.valid()) return tl::unexpected(last_os_error());
  return handle;
}

// The normalised final path of the open object with its DOS volume name (`\\?\C:\...`).
tl::expected<OsString, OsError> final_path(HANDLE handle) {
  OsString buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()),
                                  FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0) return tl::unexpected(last_os_error());
    if (length < buffer.size()) {
      buffer.resize(length);
      return buffer;
    }
    // Too small: `length` is the size needed, terminating zero included.
    buffer.resize(length);
  }
}

}  // namespace

tl::expected<OsString, OsError> canonicalize(OsStringView path) {
  auto handle = open_following_links(path);
  if (!handle) return tl::unexpected(handle.error());
  return final_path(handle->get());
}

std::optional<OsString> available_folder(OsStringView path) {
  auto handle = open_following_links(path);
  if (!handle) return std::nullopt;
  auto canonical = final_path(handle->get());
  if (!canonical) return std::nullopt;
  FILE_ATTRIBUTE_TAG_INFO info{};
  if (!GetFileInformationByHandleEx(handle->get(), FileAttributeTagInfo, &info, sizeof info)) {
    return std::nullopt;
  }
  if ((info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return std::nullopt;
  if ((info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
      IsReparseTagNameSurrogate(info.ReparseTag)) {
    return std::nullopt;
  }
  return std::move(*canonical);
}

std::optional<uint64_t> last_write_epoch_seconds(OsStringView path) {
  auto handle = open_following_links(path);
  if (!handle) return std::nullopt;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(handle->get(), &info)) return std::nullopt;
  const uint64_t ticks = (static_cast<uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
                         info.ftLastWriteTime.dwLowDateTime;
  return epoch_seconds_from_file_time(ticks);
}

}  // namespace ketterlin::platform
