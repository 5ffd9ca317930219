// A scripted directory reader and entry builders for the scanner's tests.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <map>
#include <mutex>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "platform/os_string.h"
#include "platform/thread_name.h"
#include "scanner/directory_reader.h"
#include "scanner/traversal.h"
#include "scanner/vocabulary.h"
#include "scanner/windows_records.h"

namespace ketterlin::scanner::testing_support {

using platform::from_utf8;
using platform::OsString;

struct Volume {
  uint64_t serial;
  storage::FileSystemKind file_system = storage::FileSystemKind::Other;
};
struct Batch {
  std::vector<EntryMetadata> entries;
};
struct Throw {};
struct SetCancel {};
// Blocks the listing until the gate opens.
struct WaitFor {
  std::shared_future<void> gate;
};
// Blocks the listing until the scan's cancel flag is raised, or at most `limit`.
struct WaitForCancel {
  std::chrono::milliseconds limit{10'000};
};
using Step = std::variant<Volume, Batch, Throw, SetCancel, WaitFor, WaitForCancel>;

struct Script {
  std::vector<Step> steps;
  tl::expected<void, DirectoryError> result;
};

struct ReaderCall {
  OsString directory_path;
  std::optional<uint64_t> expected_volume;
  bool query_file_system;
  std::string thread_name;
};

class FakeReader {
 public:
  void on(const OsString& directory_path, Script script) { scripts_[directory_path] = script; }

  ReadDirectoryFunction function() {
    return [this](platform::OsStringView path, std::optional<uint64_t> expected_volume,
                  bool query_file_system, const std::atomic<bool>& cancel,
                  const ProgressCallback& progress,
                  const DirectorySink& sink) -> tl::expected<void, DirectoryError> {
      {
        std::lock_guard lock(mutex_);
        calls_.push_back(
            {OsString(path), expected_volume, query_file_system, platform::current_thread_name()});
      }
      auto found = scripts_.find(OsString(path));
      if (found == scripts_.end()) {
        ADD_FAILURE() << "unexpected listing of " << platform::to_utf8_lossy(path);
        return tl::unexpected(DirectoryError::windows(0x80004005, "no script", std::nullopt));
      }
      for (const Step& step : found->second.steps) {
        if (const auto* volume = std::get_if<Volume>(&step)) {
          if (!sink(VolumeEvent{volume->serial, volume->file_system}))
            return tl::unexpected(directory_cancelled());
        } else if (const auto* batch = std::get_if<Batch>(&step)) {
          BatchCounts counts;
          for (const auto& entry : batch->entries) counts.add(entry);
          progress(path, counts);
          if (!sink(EntriesEvent(batch->entries))) return tl::unexpected(directory_cancelled());
        } else if (const auto* wait = std::get_if<WaitFor>(&step)) {
          wait->gate.wait();
        } else if (const auto* wait = std::get_if<WaitForCancel>(&step)) {
          const auto deadline = std::chrono::steady_clock::now() + wait->limit;
          while (!cancel.load() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
          }
        } else if (std::holds_alternative<SetCancel>(step)) {
          const_cast<std::atomic<bool>&>(cancel).store(true);
        } else {
          throw std::runtime_error("fault inside the listing");
        }
      }
      return found->second.result;
    };
  }

  std::vector<ReaderCall> calls() {
    std::lock_guard lock(mutex_);
    return calls_;
  }

 private:
  std::map<OsString, Script> scripts_;
  std::mutex mutex_;
  std::vector<ReaderCall> calls_;
};

inline EntryMetadata folder(const char* name) {
  EntryMetadata entry;
  entry.name = from_utf8(name);
  entry.kind = DirectoryEntry{};
  entry.is_directory = true;
  entry.modified_at_epoch_seconds = 100;
  return entry;
}

inline EntryMetadata file(const char* name, uint64_t logical, uint64_t on_disk, uint8_t id,
                          uint8_t flags = 0) {
  EntryMetadata entry;
  entry.name = from_utf8(name);
  entry.kind = FileEntry{};
  entry.logical_bytes = logical;
  entry.size_on_disk_bytes = on_disk;
  entry.file_id = FileId{id};
  entry.volume_serial = 7;
  entry.flags = flags;
  entry.modified_at_epoch_seconds = 200 + id;
  return entry;
}

inline EntryMetadata link(const char* name, LinkKind kind, std::optional<const char*> target) {
  EntryMetadata entry;
  entry.name = from_utf8(name);
  LinkEntry link_entry{kind, std::nullopt};
  if (target) link_entry.link_target = from_utf8(*target);
  entry.kind = link_entry;
  entry.flags = kSparse;  // links keep no flags in the tree
  return entry;
}

inline tl::expected<void, DirectoryError> ok() { return {}; }
// A listing that fails as a Windows call does, with `hresult` and the system's text for it.
inline tl::expected<void, DirectoryError> error(uint32_t hresult, const char* system_text) {
  return tl::unexpected(
      DirectoryError::windows(hresult, system_text, windows_fs::win32_code(hresult)));
}

// A failure or an issue with its message as text, for comparing with expected values written as
// text.
struct FailureText {
  ScanId id;
  OsString path;
  ScanStatus status = ScanStatus::Failed;
  std::string message;

  friend bool operator==(const FailureText&, const FailureText&) = default;
  friend void PrintTo(const FailureText& failure, std::ostream* out) {
    *out << "{" << debug_string(failure.id) << ", \"" << platform::to_utf8_lossy(failure.path)
         << "\", " << debug_string(failure.status) << ", \"" << failure.message << "\"}";
  }
};
inline FailureText text_of(const ScanFailure& failure) {
  return {failure.id, failure.path, failure.status(), failure.message()};
}

struct IssueText {
  OsString path;
  std::string message;
  std::optional<uint32_t> win32_code;
  IssueKind kind = IssueKind::OtherError;

  friend bool operator==(const IssueText&, const IssueText&) = default;
  friend void PrintTo(const IssueText& issue, std::ostream* out) {
    *out << "{\"" << platform::to_utf8_lossy(issue.path) << "\", \"" << issue.message << "\", "
         << (issue.win32_code ? std::to_string(*issue.win32_code) : "no code") << ", "
         << static_cast<int>(issue.kind) << "}";
  }
};
inline IssueText text_of(const ScanIssue& issue) {
  return {issue.path, issue.message(), issue.win32_code(), issue.kind};
}

}  // namespace ketterlin::scanner::testing_support
