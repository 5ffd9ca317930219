// The Win32 system calls of the directory reader. The listing algorithm and every rule about the
// bytes it reads live in windows_listing.cpp and windows_records.cpp; this file only opens,
// queries and closes.
//
// This file alone is compiled against the Windows 8 declarations, for FILE_ID_EXTD_DIR_INFO and
// its information classes; every function it calls exists since Windows Vista, and a system
// that does not know a class refuses it at run time, which the reader answers by falling back.
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0602

#include <windows.h>
#include <winioctl.h>
// ntdef.h after windows.h: REPARSE_DATA_BUFFER, to check the offsets windows_records.cpp reads.
#include <ntdef.h>

#include <cstddef>
#include <cwchar>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/os_error.h"
#include "scanner/directory_reader.h"
#include "scanner/directory_reader_win32.h"
#include "scanner/windows_listing.h"
#include "scanner/windows_records.h"
#include "unique_handle.h"

namespace ketterlin::scanner {
namespace {

using windows_fs::Hresult;
using windows_fs::RecordFields;
using windows_fs::RecordLayout;

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide strings are UTF-16");

// The record offsets the portable decoder reads are those of the system's declarations.
template <typename Record>
constexpr bool common_fields_match(RecordLayout layout) {
  const RecordFields fields = windows_fs::record_fields(layout);
  return offsetof(Record, NextEntryOffset) == fields.next_entry_offset &&
         offsetof(Record, LastWriteTime) == fields.last_write_time &&
         offsetof(Record, EndOfFile) == fields.end_of_file &&
         offsetof(Record, AllocationSize) == fields.allocation_size &&
         offsetof(Record, FileAttributes) == fields.file_attributes &&
         offsetof(Record, FileNameLength) == fields.file_name_length &&
         offsetof(Record, EaSize) == fields.ea_size &&
         offsetof(Record, FileName) == fields.file_name;
}
static_assert(common_fields_match<FILE_ID_EXTD_DIR_INFO>(RecordLayout::IdExtended));
static_assert(offsetof(FILE_ID_EXTD_DIR_INFO, ReparsePointTag) ==
              windows_fs::record_fields(RecordLayout::IdExtended).reparse_point_tag);
static_assert(offsetof(FILE_ID_EXTD_DIR_INFO, FileId) ==
              windows_fs::record_fields(RecordLayout::IdExtended).file_id);
static_assert(sizeof(FILE_ID_128) ==
              windows_fs::record_fields(RecordLayout::IdExtended).file_id_bytes);
static_assert(common_fields_match<FILE_ID_BOTH_DIR_INFO>(RecordLayout::IdBoth));
static_assert(offsetof(FILE_ID_BOTH_DIR_INFO, FileId) ==
              windows_fs::record_fields(RecordLayout::IdBoth).file_id);
static_assert(sizeof(FILE_ID_BOTH_DIR_INFO::FileId) ==
              windows_fs::record_fields(RecordLayout::IdBoth).file_id_bytes);
static_assert(common_fields_match<FILE_FULL_DIR_INFO>(RecordLayout::Full));

static_assert(offsetof(REPARSE_DATA_BUFFER, SymbolicLinkReparseBuffer.SubstituteNameOffset) == 8);
static_assert(offsetof(REPARSE_DATA_BUFFER, SymbolicLinkReparseBuffer.SubstituteNameLength) == 10);
static_assert(offsetof(REPARSE_DATA_BUFFER, SymbolicLinkReparseBuffer.Flags) == 16);
static_assert(offsetof(REPARSE_DATA_BUFFER, SymbolicLinkReparseBuffer.PathBuffer) == 20);
static_assert(offsetof(REPARSE_DATA_BUFFER, MountPointReparseBuffer.PathBuffer) == 16);
static_assert(SYMLINK_FLAG_RELATIVE == 1);

static_assert(windows_fs::kListingMethods[0].first_query_class == FileIdExtdDirectoryRestartInfo);
static_assert(windows_fs::kListingMethods[0].later_query_class == FileIdExtdDirectoryInfo);
static_assert(windows_fs::kListingMethods[1].first_query_class == FileIdBothDirectoryRestartInfo);
static_assert(windows_fs::kListingMethods[1].later_query_class == FileIdBothDirectoryInfo);
static_assert(windows_fs::kListingMethods[2].first_query_class == FileFullDirectoryRestartInfo);
static_assert(windows_fs::kListingMethods[2].later_query_class == FileFullDirectoryInfo);

static_assert(windows_fs::kReparseTagMountPoint == IO_REPARSE_TAG_MOUNT_POINT);
static_assert(windows_fs::kReparseTagSymlink == IO_REPARSE_TAG_SYMLINK);
static_assert(windows_fs::kReparseTagDedup == IO_REPARSE_TAG_DEDUP);
static_assert(windows_fs::kAttributeReparsePoint == FILE_ATTRIBUTE_REPARSE_POINT);
static_assert(windows_fs::kAttributeDirectory == FILE_ATTRIBUTE_DIRECTORY);

static_assert(platform::kWindowsFileNotFound == ERROR_FILE_NOT_FOUND);
static_assert(platform::kWindowsPathNotFound == ERROR_PATH_NOT_FOUND);
static_assert(platform::kWindowsAccessDenied == ERROR_ACCESS_DENIED);

constexpr DWORD kListAccess = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES;
static_assert(kListAccess == 0x81);
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
static_assert(kShareAll == 7);
constexpr DWORD kDirectoryOpenFlags =
    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_OPEN_NO_RECALL;
static_assert(kDirectoryOpenFlags == 0x02300000);
constexpr DWORD kLinkOpenFlags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
static_assert(kLinkOpenFlags == 0x02200000);
static_assert(FSCTL_GET_REPARSE_POINT == 0x900A8);
constexpr DWORD kMessageFlags =
    FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
static_assert(kMessageFlags == 0x1300);
static_assert((kMessageFlags | FORMAT_MESSAGE_FROM_HMODULE) == 0x1B00);

constexpr DWORD kFileSystemNameUnits = 32;
constexpr DWORD kVolumeNameUnits = 64;
constexpr DWORD kReparseBufferBytes = MAXIMUM_REPARSE_DATA_BUFFER_SIZE;  // 16 KiB
static_assert(kReparseBufferBytes == 16 * 1024);

Hresult last_error_hresult() { return windows_fs::hresult_from_win32(GetLastError()); }

// A module from LoadLibraryExA, freed when the owner is dropped.
struct ModuleFree {
  void operator()(HMODULE module) const { FreeLibrary(module); }
};
using OwnedModule = std::unique_ptr<std::remove_pointer_t<HMODULE>, ModuleFree>;

// A buffer that FormatMessageW allocated, freed with LocalFree.
struct LocalMemoryFree {
  void operator()(wchar_t* text) const { LocalFree(text); }
};
using OwnedMessage = std::unique_ptr<wchar_t, LocalMemoryFree>;

std::wstring nul_terminated(platform::OsStringView path) { return std::wstring(path); }

std::wstring nul_terminated(std::u16string_view text) {
  return std::wstring(text.begin(), text.end());
}

class Win32Directory final : public windows_fs::OpenedDirectory {
 public:
  explicit Win32Directory(platform::UniqueHandle handle) : handle_(std::move(handle)) {}

  tl::expected<uint32_t, Hresult> volume_serial() override {
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(handle_.get(), &information)) {
      return tl::unexpected(last_error_hresult());
    }
    return information.dwVolumeSerialNumber;
  }

  std::optional<std::u16string> file_system_name() override {
    wchar_t name[kFileSystemNameUnits] = {};
    if (!GetVolumeInformationByHandleW(handle_.get(), nullptr, 0, nullptr, nullptr, nullptr, name,
                                       kFileSystemNameUnits)) {
      return std::nullopt;
    }
    return std::u16string(std::begin(name), std::end(name));
  }

  tl::expected<void, Hresult> query_directory(uint32_t info_class,
                                              std::span<std::byte> buffer) override {
    if (!GetFileInformationByHandleEx(handle_.get(),
                                      static_cast<FILE_INFO_BY_HANDLE_CLASS>(info_class),
                                      buffer.data(), static_cast<DWORD>(buffer.size()))) {
      return tl::unexpected(last_error_hresult());
    }
    return {};
  }

 private:
  platform::UniqueHandle handle_;
};

class Win32FileSystem final : public windows_fs::WindowsFileSystem {
 public:
  tl::expected<std::unique_ptr<windows_fs::OpenedDirectory>, Hresult> open_directory(
      platform::OsStringView path) override {
    const std::wstring name = nul_terminated(path);
    platform::UniqueHandle handle(CreateFileW(name.c_str(), kListAccess, kShareAll, nullptr,
                                              OPEN_EXISTING, kDirectoryOpenFlags, nullptr));
    if (!handle.valid()) return tl::unexpected(last_error_hresult());
    return std::make_unique<Win32Directory>(std::move(handle));
  }

  std::u16string system_message(Hresult hresult) override {
    const windows_fs::MessageSource source = windows_fs::message_source(hresult);
    OwnedModule ntdll;
    DWORD flags = kMessageFlags;
    if (source.from_ntdll) {
      ntdll.reset(LoadLibraryExA("ntdll.dll", nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS));
      flags |= FORMAT_MESSAGE_FROM_HMODULE;
    }
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(flags, ntdll.get(), source.message_id, 0,
                                        reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    const OwnedMessage owned(text);
    if (length == 0 || text == nullptr) return {};
    return std::u16string(text, text + length);
  }

  std::optional<platform::OsString> volume_name_for_mount_point(
      platform::OsStringView path) override {
    const std::wstring mount_point = nul_terminated(path);
    wchar_t volume_name[kVolumeNameUnits] = {};
    if (!GetVolumeNameForVolumeMountPointW(mount_point.c_str(), volume_name, kVolumeNameUnits)) {
      return std::nullopt;
    }
    return platform::OsString(volume_name, wcsnlen(volume_name, kVolumeNameUnits));
  }

  std::optional<std::vector<std::byte>> read_reparse_data(
      platform::OsStringView link_path) override {
    const std::wstring name = nul_terminated(link_path);
    const platform::UniqueHandle link(
        CreateFileW(name.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING, kLinkOpenFlags, nullptr));
    if (!link.valid()) return std::nullopt;
    std::vector<std::byte> data(kReparseBufferBytes);
    DWORD returned = 0;
    if (!DeviceIoControl(link.get(), FSCTL_GET_REPARSE_POINT, nullptr, 0, data.data(),
                         kReparseBufferBytes, &returned, nullptr)) {
      return std::nullopt;
    }
    data.resize(returned);
    return data;
  }

  bool full_path_round_trips(std::u16string_view plain_path) override {
    const std::wstring path = nul_terminated(plain_path);
    wchar_t full_path[MAX_PATH];
    const DWORD length = GetFullPathNameW(path.c_str(), MAX_PATH, full_path, nullptr);
    if (length == 0 || length >= MAX_PATH) return false;
    return std::wstring_view(full_path, length) == path;
  }
};

}  // namespace

std::unique_ptr<windows_fs::WindowsFileSystem> windows_fs::make_system_file_system() {
  return std::make_unique<Win32FileSystem>();
}

tl::expected<void, DirectoryError> read_directory(platform::OsStringView directory_path,
                                                  std::optional<uint64_t> expected_volume,
                                                  bool query_file_system,
                                                  const std::atomic<bool>& cancel,
                                                  const ProgressCallback& progress,
                                                  const DirectorySink& sink) {
  Win32FileSystem system;
  return windows_fs::list_directory(system, directory_path, expected_volume, query_file_system,
                                    cancel, progress, sink);
}

}  // namespace ketterlin::scanner
