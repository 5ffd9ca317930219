#include "platform/os_string.h"

#include "platform/unicode.h"

namespace ketterlin::platform {
namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide strings are UTF-16");

std::u16string_view as_utf16(OsStringView s) {
  return {reinterpret_cast<const char16_t*>(s.data()), s.size()};
}

}  // namespace

std::optional<std::string> to_utf8(OsStringView s) { return utf16_to_utf8(as_utf16(s)); }

std::string to_utf8_lossy(OsStringView s) { return utf16_to_utf8_lossy(as_utf16(s)); }

OsString from_utf8(std::string_view utf8) {
  const std::u16string units = utf8_to_utf16(utf8);
  return OsString(reinterpret_cast<const wchar_t*>(units.data()), units.size());
}

}  // namespace ketterlin::platform
