#include "host/exports/output_file.h"

#include <filesystem>
#include <iostream>
#include <random>

#include "platform/os_error.h"

namespace ketterlin::host {

namespace fs = std::filesystem;

struct OutputFile::State {
  platform::OsString destination;
  bool standard_output = false;
  fs::path final_path;  // `destination`, or the file it links to
  fs::path temporary;   // empty once renamed or removed
  std::ofstream file;

  ~State() {
    if (temporary.empty()) return;
    file.close();
    std::error_code ignored;
    fs::remove(temporary, ignored);
  }
};

namespace {

HostError cannot_write(const platform::OsString& path, platform::OsError error) {
  return HostError::with_os_error(HostError::Kind::ExportFailed, platform::to_utf8_lossy(path),
                                  error);
}

// "<folder>/.<name>.<16 hex digits>.part": hidden, and distinct from any other run's.
fs::path temporary_beside(const fs::path& destination) {
  std::random_device random;
  const uint64_t tag = (uint64_t{random()} << 32) ^ random();
  static constexpr char kHex[] = "0123456789abcdef";
  std::string suffix = ".";
  for (int shift = 60; shift >= 0; shift -= 4) suffix += kHex[(tag >> shift) & 0xF];
  suffix += ".part";
  fs::path name = fs::path(".") += destination.filename();
  name += suffix;
  return destination.parent_path() / name;
}

}  // namespace

OutputFile::OutputFile(std::unique_ptr<State> state) : state_(std::move(state)) {}
OutputFile::OutputFile(OutputFile&&) noexcept = default;
OutputFile& OutputFile::operator=(OutputFile&&) noexcept = default;
OutputFile::~OutputFile() = default;

tl::expected<OutputFile, HostError> OutputFile::open(const platform::OsString& path) {
  auto state = std::make_unique<State>();
  state->destination = path;
  if (path == platform::from_utf8("-")) {
    state->standard_output = true;
    return OutputFile(std::move(state));
  }
  fs::path destination(path);
  std::error_code error;
  // A link is written through, as an ordinary open would: the file it names is replaced.
  if (fs::is_symlink(destination, error)) {
    const fs::path resolved = fs::weakly_canonical(destination, error);
    if (!error) destination = resolved;
  }
  if (fs::is_directory(destination, error)) {
    HostError is_folder;
    is_folder.kind = HostError::Kind::ExportIsFolder;
    is_folder.detail = platform::to_utf8_lossy(path);
    return tl::unexpected(std::move(is_folder));
  }
  // A device, a pipe or a socket (/dev/null, /dev/stdout, a FIFO) is written in place: renaming
  // a file over it would replace it.
  const fs::file_status existing = fs::status(destination, error);
  if (!error && fs::exists(existing) && !fs::is_regular_file(existing)) {
    state->file.open(destination, std::ios::binary);
    if (!state->file) return tl::unexpected(cannot_write(path, platform::last_os_error()));
    return OutputFile(std::move(state));
  }
  state->temporary = temporary_beside(destination);
  state->final_path = destination;
  state->file.open(state->temporary, std::ios::binary | std::ios::trunc);
  if (!state->file) {
    const platform::OsError reason = platform::last_os_error();
    state->temporary.clear();  // nothing was created
    return tl::unexpected(cannot_write(path, reason));
  }
  // The file replaced keeps its permissions.
  if (fs::is_regular_file(existing)) {
    fs::permissions(state->temporary, existing.permissions(), error);
  }
  return OutputFile(std::move(state));
}

std::ostream& OutputFile::stream() {
  if (state_->standard_output) return std::cout;
  return state_->file;
}

tl::expected<void, HostError> OutputFile::commit() {
  if (state_->standard_output) {
    std::cout.flush();
    if (std::cout) return {};
    return tl::unexpected(HostError::with_os_error(HostError::Kind::ExportFailed, "standard output",
                                                   platform::last_os_error()));
  }
  state_->file.close();
  if (!state_->file) {
    return tl::unexpected(cannot_write(state_->destination, platform::last_os_error()));
  }
  if (state_->temporary.empty()) return {};  // written in place
  std::error_code error;
  fs::rename(state_->temporary, state_->final_path, error);
  if (error) {
    return tl::unexpected(
        cannot_write(state_->destination, platform::OsError{static_cast<uint32_t>(error.value())}));
  }
  state_->temporary.clear();
  return {};
}

}  // namespace ketterlin::host
