// The protocol's shared vocabulary: wire words of the enumerations and the error's text.

#include "elevation/protocol.h"
#include "platform/panic.h"

namespace ketterlin::elevation {

std::string to_string(const JsonError& error) { return error.text; }

std::string_view to_wire(storage::FileSystemKind kind) {
  using storage::FileSystemKind;
  switch (kind) {
    case FileSystemKind::Ntfs:
      return "ntfs";
    case FileSystemKind::ReFs:
      return "reFs";
    case FileSystemKind::Fat32:
      return "fat32";
    case FileSystemKind::ExFat:
      return "exFat";
    case FileSystemKind::Other:
      return "other";
  }
  platform::panic("file system kind out of range");
}

std::string_view to_wire(ElevatedScanMode mode) {
  switch (mode) {
    case ElevatedScanMode::RestrictedTopUp:
      return "restrictedTopUp";
    case ElevatedScanMode::FullRoot:
      return "fullRoot";
  }
  platform::panic("scan mode out of range");
}

std::string_view to_wire(ProgressStatus status) {
  switch (status) {
    case ProgressStatus::Queued:
      return "queued";
    case ProgressStatus::Running:
      return "running";
    case ProgressStatus::Completed:
      return "completed";
    case ProgressStatus::Cancelled:
      return "cancelled";
    case ProgressStatus::Failed:
      return "failed";
  }
  platform::panic("progress status out of range");
}

std::string_view to_wire(NodeRecordKind kind) {
  switch (kind) {
    case NodeRecordKind::Drive:
      return "drive";
    case NodeRecordKind::Folder:
      return "folder";
    case NodeRecordKind::File:
      return "file";
    case NodeRecordKind::Restricted:
      return "restricted";
    case NodeRecordKind::SymbolicLink:
      return "symbolicLink";
    case NodeRecordKind::Junction:
      return "junction";
    case NodeRecordKind::VolumeMountPoint:
      return "volumeMountPoint";
    case NodeRecordKind::OtherLink:
      return "otherLink";
  }
  platform::panic("node kind out of range");
}

}  // namespace ketterlin::elevation
