// Display paths: the familiar form (C:\Data) of a canonical verbatim path (\\?\C:\Data), used
// wherever the plain form designates the same object, the verbatim form kept everywhere else.
// Pure functions of their text; Windows rules applied on every platform.
#pragma once

#include <string_view>

#include "platform/os_string.h"

namespace ketterlin::storage {

// `path` without its four-character verbatim prefix ("\\?\") when Windows would read the plain
// form back as the same path, otherwise `path` unchanged. The plain form is safe when the path
// is a verbatim disk path ("\\?\X:\...") whose names are all ordinary Windows file names, which
// is short enough for the plain form, and whose text is valid Unicode (see
// plain_form_is_safe). Never fails, never touches the file system.
platform::OsString display_path(platform::OsStringView path);

// True when the Windows path `path_text` (its UTF-8 text; any bytes allowed, ill-formed UTF-8
// answers false) may lose its first four bytes without changing what it designates:
//   1. it starts with a verbatim disk prefix "\\?\X:" (X an ASCII letter) followed by the root
//      separator "\"; after it only normal names follow, separated by single "\" (a trailing
//      "\" is allowed); "." and ".." fail, as does any other prefix (verbatim UNC, plain UNC,
//      device, a drive without its root separator). A "/" is part of a name here;
//   2. every name is a valid Windows file name: not empty; when 256 bytes or longer, at most
//      255 UTF-16 code units; no byte below 32 and none of " * / : < > ? \ |; not ending in a
//      space or a dot; the part before its first dot, trailing spaces removed, is no reserved
//      device name (AUX, NUL, PRN, CON, COM1-COM9, LPT1-LPT9, and COM/LPT with the superscript
//      digits 1-3, which Windows reads as digits), compared ignoring ASCII case: Win32 opens the
//      device for "con.txt" and "NUL.tar.gz" alike;
//   3. the whole text is shorter than 261 bytes, or at most 260 UTF-16 code units;
//   4. the whole text is valid UTF-8;
//   5. its fifth byte, where the cut falls, starts a character.
bool plain_form_is_safe(std::string_view path_text);

// True when `name`, one component of a path and valid UTF-8, is a normal Windows file name that
// Win32 reads back unchanged (rule 2 above). Precondition: `name` is valid UTF-8.
bool is_plain_name(std::string_view name);

}  // namespace ketterlin::storage
