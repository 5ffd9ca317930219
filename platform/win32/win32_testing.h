// Test-only helpers for the Windows tests that touch real files, on Windows or under Wine: a
// scratch folder with builders for files, folders, hard links, sparse files and write times (every
// call made with verbatim paths, so names Win32 would rewrite, such as one ending in a dot, work
// too), what the system says about an entry, and a few facts about the system under test.
#pragma once

#include <windows.h>
#include <winioctl.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ketterlin::platform::testing {

// Whether the program runs under Wine (its ntdll exports wine_get_version).
inline bool running_under_wine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// The environment variable `name`, or nullopt when it is not set or empty.
inline std::optional<std::wstring> environment_variable(const wchar_t* name) {
  const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
  if (size <= 1) return std::nullopt;
  std::wstring value(size, L'\0');
  value.resize(GetEnvironmentVariableW(name, value.data(), size));
  return value;
}

// A Unix path as Wine programs name it: Z: maps the Unix root in every Wine prefix.
inline std::wstring wine_path_of_unix_path(const std::wstring& unix_path) {
  std::wstring path = L"Z:" + unix_path;
  for (wchar_t& unit : path) {
    if (unit == L'/') unit = L'\\';
  }
  return path;
}

// `path` with every component in its long form as stored on disk (GetLongPathNameW).
inline std::wstring long_path(const std::wstring& path) {
  std::wstring result(32768, L'\0');
  const DWORD length = GetLongPathNameW(path.c_str(), result.data(), 32768);
  EXPECT_GT(length, 0u) << "GetLongPathNameW failed with " << GetLastError();
  result.resize(length);
  return result;
}

// A Windows file time (100-ns ticks since 1601) for `seconds` after 1970-01-01 plus `ticks`.
inline FILETIME file_time(int64_t seconds, int64_t ticks = 0) {
  const uint64_t value = static_cast<uint64_t>(116444736000000000LL + seconds * 10000000LL + ticks);
  return FILETIME{static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)};
}

// What the system says about one entry, opened itself (a link is not followed).
struct EntryFacts {
  DWORD attributes = 0;
  uint64_t volume_serial = 0;
  uint64_t file_index = 0;
  uint64_t last_write = 0;  // ticks since 1601
  uint64_t end_of_file = 0;
  uint64_t allocation_size = 0;
  DWORD links = 0;
};

inline std::optional<EntryFacts> entry_facts(const std::wstring& path) {
  const HANDLE handle = CreateFileW(
      path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
  BY_HANDLE_FILE_INFORMATION information{};
  FILE_STANDARD_INFO standard{};
  const bool known =
      GetFileInformationByHandle(handle, &information) &&
      GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard);
  CloseHandle(handle);
  if (!known) return std::nullopt;
  EntryFacts facts;
  facts.attributes = information.dwFileAttributes;
  facts.volume_serial = information.dwVolumeSerialNumber;
  facts.file_index =
      static_cast<uint64_t>(information.nFileIndexHigh) << 32 | information.nFileIndexLow;
  facts.last_write = static_cast<uint64_t>(information.ftLastWriteTime.dwHighDateTime) << 32 |
                     information.ftLastWriteTime.dwLowDateTime;
  facts.end_of_file = static_cast<uint64_t>(standard.EndOfFile.QuadPart);
  facts.allocation_size = static_cast<uint64_t>(standard.AllocationSize.QuadPart);
  facts.links = information.nNumberOfLinks;
  return facts;
}

// A fresh folder below `base` (the system's temporary folder unless given), removed with
// everything in it at the end. Paths given to the builders are relative to it, separated by `\`.
class ScratchFolder {
 public:
  explicit ScratchFolder(std::wstring base = {}) {
    if (base.empty()) {
      wchar_t temporary[MAX_PATH + 1];
      const DWORD length = GetTempPathW(MAX_PATH + 1, temporary);
      base = long_path(std::wstring(temporary, length));
    }
    if (!base.empty() && base.back() != L'\\') base += L'\\';
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
      const std::wstring candidate = base + L"ketterlin-test-" +
                                     std::to_wstring(GetCurrentProcessId()) + L"-" +
                                     std::to_wstring(GetTickCount64() + attempt);
      if (CreateDirectoryW(candidate.c_str(), nullptr)) path_ = candidate;
    }
    EXPECT_FALSE(path_.empty()) << "no scratch folder below the temporary folder";
  }
  ~ScratchFolder() {
    if (!path_.empty()) remove_all(verbatim());
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  // The folder's path in plain form, as stored on disk (`C:\...`).
  const std::wstring& path() const { return path_; }
  // The folder's path in verbatim form (`\\?\C:\...`).
  std::wstring verbatim() const { return L"\\\\?\\" + path_; }
  std::wstring operator/(const std::wstring& relative) const { return path_ + L"\\" + relative; }
  std::wstring verbatim(const std::wstring& relative) const {
    return verbatim() + L"\\" + relative;
  }

  void folder(const std::wstring& relative) const {
    EXPECT_TRUE(CreateDirectoryW(verbatim(relative).c_str(), nullptr))
        << "CreateDirectoryW failed with " << GetLastError();
  }
  void file(const std::wstring& relative, const std::string& content = "") const {
    const HANDLE handle = create(relative);
    if (handle == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    EXPECT_TRUE(
        WriteFile(handle, content.data(), static_cast<DWORD>(content.size()), &written, nullptr));
    CloseHandle(handle);
  }
  // A file of `size` bytes marked sparse, with no data written.
  void sparse_file(const std::wstring& relative, int64_t size) const {
    const HANDLE handle = create(relative);
    if (handle == INVALID_HANDLE_VALUE) return;
    DWORD returned = 0;
    EXPECT_TRUE(
        DeviceIoControl(handle, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr))
        << "FSCTL_SET_SPARSE failed with " << GetLastError();
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = size;
    EXPECT_TRUE(SetFileInformationByHandle(handle, FileEndOfFileInfo, &end, sizeof end));
    CloseHandle(handle);
  }
  void hard_link(const std::wstring& relative, const std::wstring& existing) const {
    EXPECT_TRUE(CreateHardLinkW(verbatim(relative).c_str(), verbatim(existing).c_str(), nullptr))
        << "CreateHardLinkW failed with " << GetLastError();
  }
  void set_write_time(const std::wstring& relative, FILETIME time) const {
    const HANDLE handle =
        CreateFileW(verbatim(relative).c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE) << "CreateFileW failed with " << GetLastError();
    EXPECT_TRUE(SetFileTime(handle, nullptr, nullptr, &time));
    CloseHandle(handle);
  }

 private:
  HANDLE create(const std::wstring& relative) const {
    const HANDLE handle = CreateFileW(verbatim(relative).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                      nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(handle, INVALID_HANDLE_VALUE) << "CreateFileW failed with " << GetLastError();
    return handle;
  }

  // Removes `verbatim_path` and everything below it; links are removed, never followed.
  static void remove_all(const std::wstring& verbatim_path) {
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((verbatim_path + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring child = verbatim_path + L"\\" + name;
        const bool folder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        const bool link = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        if (folder && !link) {
          remove_all(child);
        } else if (folder) {
          RemoveDirectoryW(child.c_str());
        } else {
          SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
          DeleteFileW(child.c_str());
        }
      } while (FindNextFileW(search, &found));
      FindClose(search);
    }
    RemoveDirectoryW(verbatim_path.c_str());
  }

  std::wstring path_;
};

}  // namespace ketterlin::platform::testing
