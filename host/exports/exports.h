// The scan written for programs: the host's own JSON document and ncdu's JSON export format.
// Both are streamed node by node into an output stream, never built as a document in memory.
//
// The host's document (compact JSON, one line):
//   {"program":"ketterlin-scan","version":"0.1.0","mode":"fullRoot"|"restrictedTopUp",
//    "root":PATH,"elapsedMillis":N,"volume":{"usedBytes":N,"fileSystem":WORD}|null,
//    "targets":[TARGET...]}
//   TARGET: {"path":PATH,"status":"unavailable"}, or
//           {"path":PATH,"status":"scanned","fileSystem":WORD|null,"totals":TOTALS,"tree":NODE}
//   TOTALS: {"sizeOnDiskBytes":N,"logicalBytes":N,"files":N,"folders":N,"links":N,
//            "restricted":N,"hardLinkGroups":N,"unknownSpaceBytes":N|null}
//            (sizes of the listed entries, each hard-link group once; Unknown Space apart)
//   NODE:   {"name":TEXT,"kind":KIND,"sizeOnDiskBytes":N,"logicalBytes":N,
//            "modifiedAtEpochSeconds":N, then where they apply:
//            "flags":["cloudOnly"|"compressed"|"sparse"|"deduplicated",...],
//            "hardLink":{"names":N,"counted":BOOL}, "linkTarget":TEXT, "children":[NODE...]}
//   Every text is valid UTF-8: a name or link target that is not (kept byte for byte from a
//   system whose names are bytes) has each such byte written as U+FFFD, and its exact bytes follow
//   as lower-case hexadecimal digits in "nameBytes":HEX or "linkTargetBytes":HEX.
//   The root's name is its full path; every other name is the entry's own name. Sizes are
//   subtree totals (a hard link counted elsewhere shows 0). KIND is the helper's word ("drive",
//   "folder", "file", "restricted", "symbolicLink", "junction", "volumeMountPoint",
//   "otherLink") or "unknownSpace" for the Unknown Space entry that ends the root's children of
//   a full-root volume scan; the root's sizeOnDiskBytes then includes it.
#pragma once

#include <cstdint>
#include <ostream>

#include "host/session/scan_result.h"

namespace ketterlin::host {

// Writes the host's JSON document (shape above) and a final line feed. The stream's state tells
// whether every write succeeded.
void write_json_export(const ScanResult& result, std::ostream& out);

// Writes ncdu's export format (major version 1, minor 2): [1,2,{"progname","progver",
// "timestamp"},ROOT]. A folder is an array of its info object and its entries, anything else an
// info object with "name", "asize", "dsize" and where they apply "mtime", "dev" (the root, and
// entries on another volume), "ino", "hlnkc" and "nlink" (hard links; ncdu then counts each group
// once per folder), "read_error" (restricted folders), "excluded":"otherfs" (mount points) and
// "notreg" (links and the Unknown Space entry, which carries the unexplained used space as its
// disk size). Names are written byte for byte, as ncdu itself writes them. ROOT is the one scanned
// tree when there is exactly one target; for a top-up of several targets it is a folder named after
// the request's root that holds each scanned target, named by its path below that root (unavailable
// targets are left out). `timestamp` is the file's creation time in seconds since 1970.
void write_ncdu_export(const ScanResult& result, uint64_t timestamp, std::ostream& out);

// The number ncdu's "ino" gets for a file id: the id's first eight bytes as a little-endian
// number when the other eight are zero (an inode, or an NTFS file reference), else the two
// halves folded into one 64-bit value.
uint64_t ncdu_inode(const NodeRecordIdentity& identity);

}  // namespace ketterlin::host
