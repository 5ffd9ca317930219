#include "elevation/json_text.h"

namespace ketterlin::elevation {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide strings are UTF-16");

// Windows paths are UTF-16: transcoded straight into the output, unpaired surrogates refused or,
// when lossless, escaped as themselves.
bool append_json_path(std::string& out, platform::OsStringView path, bool lossless) {
  return append_json_utf16(
      out, std::u16string_view(reinterpret_cast<const char16_t*>(path.data()), path.size()),
      lossless);
}

}  // namespace ketterlin::elevation
