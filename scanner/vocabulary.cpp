#include "scanner/vocabulary.h"

#include <cstdio>
#include <string_view>
#include <utility>

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

std::string to_string(const ScanFailure& failure) {
  return "Scan " + to_string(failure.id) + " failed at " + platform::to_utf8_lossy(failure.path) +
         ": " + failure.message;
}

std::string debug_string(const ScanFailure& failure) {
  return "ScanFailure { id: " + debug_string(failure.id) +
         ", path: " + quoted(platform::to_utf8_lossy(failure.path)) +
         ", status: " + debug_string(failure.status) + ", message: " + quoted(failure.message) +
         " }";
}

ScanFailure cancelled(ScanId id, platform::OsString path) {
  return ScanFailure{id, std::move(path), ScanStatus::Cancelled, "Scan cancelled"};
}

ScanFailure model_failure(ScanId id, platform::OsStringView path,
                          const std::string& tree_error_text) {
  return ScanFailure{id, platform::OsString(path), ScanStatus::Failed, tree_error_text};
}

}  // namespace ketterlin::scanner
