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
    // A write of differing blocks only, and a diff: blocks compared so far, and those of them
    // that differed (written, changed).
    bool blocks = false;
    uint64_t blocks_compared = 0;
    uint64_t blocks_written = 0;
    const char* differed = "written";  // the word of the second count: "written", "changed"
    // A failed run: why, as it was said (the last message).
    std::string error;
};

// One JSON object on one line: {"state":..., "bytes_done":..., "bytes_total":...,
// "bytes_per_second":..., "seconds_left":... or null, "elapsed_seconds":..., "retries":...,
// "connections":...}; for a write of differing blocks only "blocks_compared":... and
// "blocks_written":..., for a diff "blocks_compared":... and "blocks_changed":...; for a
// failed run "error":"..." last.
std::string progress_json(const ProgressFigures& p);

// `text` as a JSON string, quotes included: quotes, backslashes and control bytes escaped,
// bytes that are not UTF-8 replaced by U+FFFD.
std::string json_string(const std::string& text);

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

// The run's report. From start_report() on (once the command line is accepted), the JSON
// lines of --progress json end with exactly one final object ("done", "failed" with the
// reason the run said last, or "interrupted") however the run ends: by final_progress() once
// the outcome of a copy is known, by end_report() for a run that ended before, and by a
// SIGINT or SIGTERM that ends the process. A usage error (exit status 2) gives no object.
// start_report() also takes SIGINT and SIGTERM outside the copy: the process still ends by
// the signal, after the final object and the removal of the file remove_on_signal() names.
void start_report(ProgressMode mode);
// The bytes of the range, once known, for a final object said before the copy; `differed`
// ("written", "changed") when the copy counts blocks, so that every object carries them.
void report_total(uint64_t total, const char* differed = nullptr);
// A file to remove should a signal end the process (a diff's new output file; "": none).
void remove_on_signal(const std::string& path);
// The final object, once the outcome is known; a failed one takes last_error().
void final_progress(ProgressFigures p);
// The exit status of the run, after giving the final object it has not given yet.
int end_report(int status);
// Ends the process by the signal `sig` at once, as above.
[[noreturn]] void end_by_signal(int sig);

}  // namespace qvdisk

#endif  // QV_DISK_PROGRESS_H
