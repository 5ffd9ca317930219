#include "scanner/vocabulary.h"

#include <cstdio>
#include <string_view>
#include <utility>

#include "platform/panic.h"

namespace ketterlin::scanner {
namespace {

// `text` in double quotes with quotes, backslashes and control characters escaped, so that a
// debug form shows exactly which characters a string holds.
std::string quoted(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
          char escape[16];
          std::snprintf(escape, sizeof escape, "\\u{%x}", static_cast<unsigned>(c));
          out += escape;
        } else {
          out += c;
        }
    }
  }
  out += '"';
  return out;
}

}  // namespace

std::string to_string(ScanId id) { return std::to_string(id.value); }

std::string debug_string(ScanId id) { return "ScanId(" + to_string(id) + ")"; }

std::string debug_string(ScanStatus status) {
  switch (status) {
    case ScanStatus::Queued:
      return "Queued";
    case ScanStatus::Running:
      return "Running";
    case ScanStatus::Completed:
      return "Completed";
    case ScanStatus::Cancelled:
      return "Cancelled";
    case ScanStatus::Failed:
      return "Failed";
    case ScanStatus::Stale:
      return "Stale";
  }
  return "ScanStatus(" + std::to_string(static_cast<unsigned>(status)) + ")";
}

bool is_terminal(ScanStatus status) {
  switch (status) {
    case ScanStatus::Completed:
    case ScanStatus::Cancelled:
    case ScanStatus::Failed:
      return true;
    case ScanStatus::Queued:
    case ScanStatus::Running:
    case ScanStatus::Stale:
      return false;
  }
  return false;
}

ScanStatus ScanFailure::status() const {
  return kind == ScanFailureKind::Cancelled ? ScanStatus::Cancelled : ScanStatus::Failed;
}

std::string ScanFailure::message() const {
  switch (kind) {
    case ScanFailureKind::Cancelled:
      return "Scan cancelled";
    case ScanFailureKind::RootUnavailable:
    case ScanFailureKind::ThreadNotStarted:
      return platform::to_string(os_error);
    case ScanFailureKind::ListingFailed:
      return to_string(directory_error);
    case ScanFailureKind::VolumeBoundaryChanged:
      return "Volume boundary changed at Scan root";
    case ScanFailureKind::WorkerStopped:
      return "Directory worker stopped unexpectedly";
    case ScanFailureKind::JobNotQueued:
      return pool_text;
    case ScanFailureKind::Model:
      return storage::to_string(tree_error);
    case ScanFailureKind::NoOutcome:
      return "Scan worker stopped before reporting a result";
  }
  platform::panic("invalid ScanFailureKind");
}

std::string to_string(const ScanFailure& failure) {
  return "Scan " + to_string(failure.id) + " failed at " + platform::to_utf8_lossy(failure.path) +
         ": " + failure.message();
}

std::string debug_string(const ScanFailure& failure) {
  return "ScanFailure { id: " + debug_string(failure.id) +
         ", path: " + quoted(platform::to_utf8_lossy(failure.path)) +
         ", status: " + debug_string(failure.status()) + ", message: " + quoted(failure.message()) +
         " }";
}

namespace {

ScanFailure failure_of(ScanId id, platform::OsString path, ScanFailureKind kind) {
  ScanFailure failure;
  failure.id = id;
  failure.path = std::move(path);
  failure.kind = kind;
  return failure;
}

}  // namespace

ScanFailure cancelled(ScanId id, platform::OsString path) {
  return failure_of(id, std::move(path), ScanFailureKind::Cancelled);
}

ScanFailure root_unavailable_failure(ScanId id, platform::OsString path, platform::OsError error) {
  ScanFailure failure = failure_of(id, std::move(path), ScanFailureKind::RootUnavailable);
  failure.os_error = error;
  return failure;
}

ScanFailure thread_failure(ScanId id, platform::OsString path, platform::OsError error) {
  ScanFailure failure = failure_of(id, std::move(path), ScanFailureKind::ThreadNotStarted);
  failure.os_error = error;
  return failure;
}

ScanFailure listing_failure(ScanId id, platform::OsString path, DirectoryError error) {
  ScanFailure failure = failure_of(id, std::move(path), ScanFailureKind::ListingFailed);
  failure.directory_error = std::move(error);
  return failure;
}

ScanFailure volume_boundary_failure(ScanId id, platform::OsString path) {
  return failure_of(id, std::move(path), ScanFailureKind::VolumeBoundaryChanged);
}

ScanFailure worker_failure(ScanId id, platform::OsString path) {
  return failure_of(id, std::move(path), ScanFailureKind::WorkerStopped);
}

ScanFailure job_failure(ScanId id, platform::OsString path, std::string pool_text) {
  ScanFailure failure = failure_of(id, std::move(path), ScanFailureKind::JobNotQueued);
  failure.pool_text = std::move(pool_text);
  return failure;
}

ScanFailure model_failure(ScanId id, platform::OsStringView path, storage::TreeError error) {
  ScanFailure failure = failure_of(id, platform::OsString(path), ScanFailureKind::Model);
  failure.tree_error = error;
  return failure;
}

ScanFailure no_outcome_failure(ScanId id) {
  return failure_of(id, platform::OsString(), ScanFailureKind::NoOutcome);
}

std::string ScanIssue::message() const {
  switch (kind) {
    case IssueKind::OtherVolume:
      return "Directory volume differs from Scan root";
    case IssueKind::AccessDenied:
    case IssueKind::NotFound:
    case IssueKind::OtherError:
      return to_string(error);
  }
  platform::panic("invalid IssueKind");
}

std::optional<uint32_t> ScanIssue::win32_code() const {
  if (kind == IssueKind::OtherVolume) return std::nullopt;
  return error.win32_code;
}

ScanIssue ScanIssue::listing_failed(platform::OsString path, IssueKind kind, DirectoryError error) {
  platform::check(kind != IssueKind::OtherVolume, "listing issue kind");
  return ScanIssue{std::move(path), kind, std::move(error)};
}

ScanIssue ScanIssue::other_volume(platform::OsString path) {
  return ScanIssue{std::move(path), IssueKind::OtherVolume, DirectoryError{}};
}

}  // namespace ketterlin::scanner
