// The scan flow: every target of a validated request, one after another, through the scan
// manager, with progress forwarded as it arrives and each finished tree streamed node by node.
#pragma once

#include <chrono>
#include <cstdint>
#include <variant>

#include <tl/expected.hpp>

#include "elevation/protocol.h"
#include "elevation/request.h"
#include "scan_helper/pipe.h"
#include "scanner/execution.h"
#include "scanner/manager.h"
#include "scanner/progress.h"

namespace ketterlin::helper {

inline constexpr std::chrono::milliseconds kProgressPollInterval{250};

// What ends the flow early: a send that failed, or a full-root scan that failed (its "failure"
// message already sent).
using ScanFlowError = std::variant<PipeError, scanner::ScanFailure>;

// For each target slot in order: "targetUnavailable" for an unavailable slot; otherwise one scan,
// its progress messages, then its tree ("treeStart", "node" × n, "treeEnd"), or on failure
// "targetUnavailable" (restricted top-up) or "failure" and the end (full root). Then "complete".
// Runs on the calling thread; at most one scan runs at a time.
[[nodiscard]] tl::expected<void, ScanFlowError> scan_targets(
    PipeConnection& connection, const elevation::ValidatedScanRequest& request,
    scanner::ScanManager& manager);

// The "progress" event for target `target_index` built from `progress`.
elevation::EventMessage progress_message(uint64_t target_index,
                                         const scanner::ScanProgress& progress);

// Sends `result`'s tree for target `target_index`: "treeStart", one "node" per node in id order
// (the Unknown Space node skipped, its id left as a gap), "treeEnd".
[[nodiscard]] tl::expected<void, PipeError> send_tree(PipeConnection& connection,
                                                      uint64_t target_index,
                                                      const scanner::ScanResult& result);

}  // namespace ketterlin::helper
