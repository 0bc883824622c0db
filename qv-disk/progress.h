// Watching a running copy: the progress line on a terminal or JSON lines for programs, and
// SIGINT and SIGTERM, which stop the copy in order.
#ifndef QV_DISK_PROGRESS_H
#define QV_DISK_PROGRESS_H

#include <cstdint>
#include <string>
#include <vector>

#include "changed_only_end.h"
#include "copy_loop.h"

namespace qvdisk {

enum class ProgressMode { kAuto, kJson, kNone };

struct ProgressFigures {
    uint64_t done = 0;   // bytes of the range at their destination
    uint64_t total = 0;  // bytes of the range
    uint64_t moved = 0;  // bytes moved by this run
    double seconds = 0;  // since this run started moving
    uint64_t retries = 0;
    unsigned connections = 0;
    const char* state = "running";  // "running", "done", "failed" or "interrupted"
    // A write of differing blocks only: blocks compared and written so far.
    bool blocks = false;
    uint64_t blocks_compared = 0;
    uint64_t blocks_written = 0;
};

// One JSON object on one line: {"state":..., "bytes_done":..., "bytes_total":...,
// "bytes_per_second":..., "seconds_left":... or null, "elapsed_seconds":..., "retries":...,
// "connections":...}, and for a write of differing blocks only "blocks_compared":... and
// "blocks_written":... before the closing brace.
std::string progress_json(const ProgressFigures& p);

// Starts the copy's workers and waits for them, showing progress about once a second (JSON)
// or four times a second (the terminal line). The signals that stop a copy are blocked in
// every thread while it runs, so that only this waiting loop takes them: the first SIGINT or
// SIGTERM stops the copy after the requests in flight; a second one ends the process at once.
// Returns the signal that stopped the copy, or 0. `counts` (may be null) are shown too.
int run_supervised(CopyLoop& loop, ProgressMode mode, uint64_t total, const BlockCounts* counts);

// Says why a copy ended early: its first failure (with how many other connections failed)
// and the signal that stopped it after `done` bytes.
void report_end(const std::vector<std::string>& failures, int stopped_by, uint64_t done);

// The figures of a copy that has ended, of `total` bytes.
ProgressFigures final_figures(const CopyLoop& loop, uint64_t total, bool complete, int stopped_by,
                              const BlockCounts* counts);

// The last JSON line, once the outcome is known.
void final_progress(ProgressMode mode, const ProgressFigures& p);

}  // namespace qvdisk

#endif  // QV_DISK_PROGRESS_H
