// ketterlin-scan --browse: the full-screen browser over a scan just taken or over a saved
// --json document. Each function runs the browser until the user quits and returns the exit
// status: 0 after q, 128 + N after signal N (SIGINT, SIGTERM, SIGHUP), 2 without a terminal
// on standard input and output, 1 for a document that cannot be loaded. Failures are written
// to standard error.
#pragma once

#include "host/session/scan_result.h"
#include "platform/os_string.h"

namespace ketterlin::host {

struct BrowseOptions {
  bool allow_delete = false;  // d deletes, after a confirmation
  bool apparent = false;      // start with logical sizes
};

// Whether the browser can run here; writes why not to standard error. Checked before a scan, so
// that nothing is scanned for a browser that cannot open.
[[nodiscard]] bool browser_available();

int browse_scan(const ScanResult& result, const BrowseOptions& options);

int browse_saved_document(const platform::OsString& path, const BrowseOptions& options);

}  // namespace ketterlin::host
