// Text for people: sizes, counts, durations, paths cut to a width, and the live progress line.
// Pure functions; widths count characters (code points), which is what a terminal shows for the
// scripts these paths mostly use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "elevation/message_decoder.h"

namespace ketterlin::host {

// 1024-based size with one decimal and a binary unit: "0 B", "1023 B", "1.0 KiB", "1.5 GiB",
// up to "16.0 EiB". A value that rounds to 1024.0 of a unit is shown in the next unit.
std::string human_size(uint64_t bytes);

// Decimal digits grouped by thousands with commas: "12,345".
std::string group_digits(uint64_t value);

// The count with digits grouped and the noun in the form the count needs: "1 file", "0 files",
// "2,000 hard-linked files".
std::string count_of(uint64_t count, std::string_view singular, std::string_view plural);

// "0.4 s" under a minute (one decimal), else "m:ss", else "h:mm:ss".
std::string human_duration(uint64_t millis);

// Terminal columns UTF-8 `text` takes: two for each East Asian wide or fullwidth character, none
// for combining marks and other zero-width characters, one for any other character.
std::size_t text_width(std::string_view text);

// `text` with every control character (C0, DEL, C1) written as a visible escape ("\n", "\r",
// "\t", "\x1b", "\u0085"), and each byte that is not part of valid UTF-8 as "\xHH", so that a
// name shown on a terminal can neither break the line nor send the terminal a command, and a
// name that is not UTF-8 shows what it holds.
std::string printable(std::string_view text);

// `text` cut to at most `width` columns by replacing its middle with `ellipsis` (kept whole: the
// start and the end of a path say the most). Cuts only between characters, never before a
// combining mark. When `width` is smaller than the ellipsis, the start of the ellipsis that fits.
std::string shorten_middle(std::string_view text, std::size_t width,
                           std::string_view ellipsis = "...");

// The longest start of `text` that fits in `width` columns.
std::string cut_to_width(std::string_view text, std::size_t width);

// The live progress line, at most `width` columns: "N names" (every name the helper listed that
// is not a folder: each hard-link name and each link counts; the summary counts files instead),
// folders, the bytes of those names (a hard-linked file once per name), restricted folders,
// elapsed time and names per second, then the current path (printable) shortened in the middle
// to the room left.
std::string progress_line(const elevation::DecodedProgress& progress, std::size_t width,
                          std::string_view ellipsis = "...");

}  // namespace ketterlin::host
