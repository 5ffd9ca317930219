// The file-system kind of an open descriptor, for POSIX code that already holds one (the
// directory reader asks about the folder it opened without following links, not about a path
// that could have changed since). Included only by *_posix.cpp files.
#pragma once

#include "platform/file_system_kind.h"

namespace ketterlin::platform {

// The kind of the file system that holds the open file `fd`: fstatfs's magic number, plus the
// mount table (/proc/self/mountinfo) and udev's record of the block device for a FUSE mount.
// Other when it cannot be told. Never fails; thread-safe.
[[nodiscard]] FileSystemKind file_system_kind_of_descriptor(int fd);

}  // namespace ketterlin::platform
