#include "diff.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "block-manifest.h"
#include "console.h"
#include "copy_loop.h"
#include "diff_sink.h"
#include "disk_end.h"
#include "io-all.h"
#include "own_files.h"
#include "run_lock.h"
#include "stream-writer.h"

namespace qvdisk {
namespace {

constexpr double kMiB = 1024.0 * 1024.0;

}  // namespace

namespace {

// Loads the base manifest and checks it against the options, and that the stream, the base
// manifest and the new manifest are three files: a new manifest over the base, or a stream
// into either, would lose what the next diff compares with. 0 to go on, or the exit status.
int check_base(const Transfer& t, zev::Manifest& base) {
    std::string error;
    if (!base.load(t.base_manifest, error)) {
        message("--base-manifest " + error);
        return 1;
    }
    const uint64_t size = base.image_size();
    if (size == 0) {
        message("--base-manifest " + t.base_manifest +
                " describes an empty image: there is nothing to compare");
        return 1;
    }
    if (t.disk_size != 0 && t.disk_size != size) {
        message("--size " + std::to_string(t.disk_size) + " differs from the " +
                std::to_string(size) + " bytes that " + t.base_manifest + " describes");
        return 1;
    }
    struct stat out = {};
    const std::string stream_name =
        fstat(STDOUT_FILENO, &out) == 0 && S_ISREG(out.st_mode) ? "/proc/self/fd/1" : "";
    if (!distinct_files({{"--base-manifest", t.base_manifest},
                         {"--manifest", t.manifest},
                         {"the standard output", stream_name}},
                        error)) {
        message("refused before reading the disk: " + error);
        return 2;
    }
    return 0;
}

void print_summary(const Transfer& t, const CopyLoop& loop, const DiffStream& stream, double s) {
    const zev::Manifest& now = stream.now();
    char figures_text[160];
    std::snprintf(figures_text, sizeof figures_text,
                  " bytes in %.2f s (%.1f MiB/s), %s%s, %u connection%s; stream of %llu bytes", s,
                  s > 0 ? loop.moved_bytes() / kMiB / s : 0.0,
                  t.where.transport == TRANS_SAN ? "SAN" : "LAN", t.where.tls ? "+TLS" : "",
                  std::max(loop.workers(), 1u), loop.workers() > 1 ? "s" : "",
                  static_cast<unsigned long long>(stream.written()));
    message("diff of " + t.where.disk + " against " + t.base_manifest + ": " +
            std::to_string(stream.changed_blocks()) + " of " + std::to_string(now.block_count()) +
            " blocks of " + std::to_string(now.block_size()) + " bytes changed (" +
            std::to_string(stream.changed_bytes()) + " bytes); read " +
            std::to_string(now.image_size()) + figures_text +
            (t.manifest.empty() ? std::string() : "; new manifest " + t.manifest));
}

// Streams the disk's changes against `base`; returns the exit status.
int stream_changes(const Transfer& t, const zev::Manifest& base, uint64_t request_size) {
    const uint64_t size = base.image_size();
    std::string error;
    zev::Manifest now;
    if (!now.reset(size, base.block_size(), error)) {
        message(error);
        return 1;
    }
    DiskEnd disk(t.where, OPEN_READONLY, 0);
    if (!check_disk_size(disk, t.retry, t.where.disk, size, "the base manifest " + t.base_manifest))
        return 1;
    // A reader that went away makes a write fail with EPIPE, reported like any other failure.
    signal(SIGPIPE, SIG_IGN);
    DiffStream stream(base, now, STDOUT_FILENO);
    CopyPlan plan;
    plan.length = size;
    plan.request_size = request_size;
    plan.connections = t.connections;
    plan.retry = t.retry;
    plan.rate = t.rate;
    plan.manifest = &now;
    CopyLoop loop(plan, disk, stream, stream, nullptr);
    const int stopped_by = run_supervised(loop, t.progress, size, nullptr);
    std::vector<std::string> failures = loop.failures();
    Failure ended;
    if (!stream.end(ended)) failures.push_back(ended.text);
    bool complete = failures.empty() && stopped_by == 0 && stream.processed() == size;
    report_end(failures, stopped_by, stream.processed());
    if (complete && !t.manifest.empty() && !now.save(t.manifest, error)) {
        message("the stream is complete, but the disk's new manifest was not written: " + error);
        complete = false;
    }
    const ProgressFigures figures = final_figures(loop, size, complete, stopped_by, nullptr);
    final_progress(t.progress, figures);
    if (!complete) {
        if (stream.processed() < size && !stream.broken())
            message("the stream stops at offset " + std::to_string(stream.processed()) + " of " +
                    std::to_string(size) +
                    " bytes: its final record says so, and zev-block-apply takes it as an "
                    "incomplete diff (exit status 3)");
        return 1;
    }
    print_summary(t, loop, stream, figures.seconds);
    return 0;
}

}  // namespace

int run_diff(const Transfer& t) {
    zev::Manifest base;
    if (const int status = check_base(t, base)) return status;
    std::string error;
    std::unique_ptr<RunLock> lock;
    if (!t.manifest.empty() &&
        !(lock = RunLock::take(output_lock_key(t.manifest), t.manifest, error))) {
        message(error);
        return 1;
    }
    Transfer job = t;
    if (!whole_block_requests(job, base.block_size(), error)) {
        message(error);
        return 1;
    }
    return stream_changes(job, base, job.request_size);
}

}  // namespace qvdisk
