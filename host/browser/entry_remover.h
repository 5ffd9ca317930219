// The browser's seam for deleting what a scan found: one interface, so that tests can make a
// removal fail, and the real one over std::filesystem.
#pragma once

#include <tl/expected.hpp>

#include "platform/os_error.h"
#include "platform/os_string.h"

namespace ketterlin::host {

class EntryRemover {
 public:
  virtual ~EntryRemover() = default;
  // Removes the file, link or folder (with everything below it) at `path`. A link is removed
  // itself, never followed. On failure part of a folder may be gone already.
  [[nodiscard]] virtual tl::expected<void, platform::OsError> remove(
      const platform::OsString& path) = 0;
};

// std::filesystem::remove_all.
class FileSystemRemover final : public EntryRemover {
 public:
  tl::expected<void, platform::OsError> remove(const platform::OsString& path) override;
};

}  // namespace ketterlin::host
