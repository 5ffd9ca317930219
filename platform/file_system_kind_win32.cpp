#include <windows.h>

#include <cwchar>
#include <string>

#include "platform/file_system_kind.h"

namespace ketterlin::platform {
namespace {

std::wstring with_final_separator(std::wstring path) {
  if (path.empty() || (path.back() != L'\\' && path.back() != L'/')) path.push_back(L'\\');
  return path;
}

// The file-system name GetVolumeInformationW reports for the volume that holds `path`; nullopt
// when the system does not tell.
std::optional<std::wstring> volume_file_system_name(OsStringView path) {
  std::wstring volume_path(32768, L'\0');
  const std::wstring folder = with_final_separator(std::wstring(path));
  if (!GetVolumePathNameW(folder.c_str(), volume_path.data(),
                          static_cast<DWORD>(volume_path.size()))) {
    return std::nullopt;
  }
  wchar_t name[MAX_PATH + 1] = {};
  if (!GetVolumeInformationW(volume_path.c_str(), nullptr, 0, nullptr, nullptr, nullptr, name,
                             MAX_PATH + 1)) {
    return std::nullopt;
  }
  return std::wstring(name);
}

}  // namespace

std::optional<FileSystemKind> file_system_kind_of(OsStringView folder) {
  const std::optional<std::wstring> name = volume_file_system_name(folder);
  if (!name) return std::nullopt;
  // wchar_t is UTF-16 on Windows.
  return file_system_kind_from_name(
      std::u16string_view(reinterpret_cast<const char16_t*>(name->data()), name->size()));
}

std::optional<std::string> file_system_name(OsStringView path) {
  const std::optional<std::wstring> name = volume_file_system_name(path);
  if (!name) return std::nullopt;
  return to_utf8_lossy(*name);
}

}  // namespace ketterlin::platform
