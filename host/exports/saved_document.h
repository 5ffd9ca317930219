// Reading back the host's JSON document (exports.h gives its shape) for the browser: streamed
// through a SAX parser into one LoadedTree per scanned target, so that a document of millions
// of nodes is never held as a JSON value in memory. Keys may come in any order and unknown keys
// are skipped; the document must say "program":"ketterlin-scan".
#pragma once

#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <vector>

#include <tl/expected.hpp>

#include "elevation/protocol.h"
#include "host/browser/browse_tree.h"
#include "platform/os_error.h"
#include "platform/os_string.h"

namespace ketterlin::host {

struct SavedTarget {
  std::string path;                       // as the scan's request named it
  std::optional<LoadedTree> tree;         // nullopt: the target was unavailable
  std::optional<uint64_t> unknown_space;  // the Unknown Space entry's disk size, when present
};

struct SavedDocument {
  elevation::ElevatedScanMode mode = elevation::ElevatedScanMode::FullRoot;
  std::string root;
  uint64_t elapsed_millis = 0;
  std::vector<SavedTarget> targets;
};

// Why a file is not a document that can be browsed.
struct LoadError {
  enum class Kind : uint8_t {
    OpenFailed,    // `os_error`
    IsAFolder,     // the path names a folder
    ReadFailed,    // `os_error`
    NotJson,       // `detail` is the parser's reason, with the line and column
    NotADocument,  // valid JSON, but not a ketterlin-scan document
    MissingKey,    // `detail` is the key, `where` the object lacking it
    WrongType,     // `detail` is the key, `where` the object holding it
    UnknownWord,   // `detail` is the key and its value, `where` the object
    TooManyNodes,  // more than 2^32 - 2 nodes in one tree
  };
  Kind kind = Kind::NotADocument;
  std::string detail;
  std::string where;  // "the document", "target 2", "node 15 of target 1"
  platform::OsError os_error{};

  friend bool operator==(const LoadError&, const LoadError&) = default;
};

// The display text (one line); the caller says which file.
std::string to_string(const LoadError& error);

// Reads a document from `in` to its end.
[[nodiscard]] tl::expected<SavedDocument, LoadError> read_saved_document(std::istream& in);

// Opens and reads the document at `path`.
[[nodiscard]] tl::expected<SavedDocument, LoadError> load_saved_document(
    const platform::OsString& path);

}  // namespace ketterlin::host
