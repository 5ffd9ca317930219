// An export file, opened before the scan starts and put in place once the run has succeeded, so
// that a path that cannot be written is refused before any work, and a run that fails or is
// interrupted leaves the file that was there untouched.
//
// The bytes go to a new temporary file beside the destination (same folder, so the final rename
// stays on one file system), which commit() renames over the destination; a file never committed
// is removed by the destructor. "-" is standard output, written directly; so is an existing path
// that is no regular file (a device such as /dev/null, a FIFO), which a rename would replace.
#pragma once

#include <fstream>
#include <memory>
#include <ostream>

#include <tl/expected.hpp>

#include "host/host_error.h"
#include "platform/os_string.h"

namespace ketterlin::host {

class OutputFile {
 public:
  // Creates the temporary file beside `path` ("-": standard output). Fails with ExportFailed
  // naming `path`: the folder is missing or not writable, or `path` is a folder.
  [[nodiscard]] static tl::expected<OutputFile, HostError> open(const platform::OsString& path);

  OutputFile(OutputFile&&) noexcept;
  OutputFile& operator=(OutputFile&&) noexcept;
  ~OutputFile();  // removes the temporary file unless committed

  std::ostream& stream();

  // Flushes and closes the file and renames it over the destination (flushes standard output).
  // Fails with ExportFailed naming the destination; the temporary file is removed then.
  [[nodiscard]] tl::expected<void, HostError> commit();

  struct State;

 private:
  explicit OutputFile(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace ketterlin::host
