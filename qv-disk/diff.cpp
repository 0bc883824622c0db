#include "diff.h"

#include <fcntl.h>
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
#include "output-file.h"
#include "own_files.h"
#include "run_lock.h"
#include "stream-writer.h"

namespace qvdisk {
namespace {

constexpr double kMiB = 1024.0 * 1024.0;

// A stream holds the disk's blocks: it stays private, as images and manifests do.
constexpr mode_t kStreamMode = 0600;

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
                         {"-o", t.standard_output ? "" : t.local},
                         {"the standard output", t.standard_output ? stream_name : ""}},
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
    note("diff of " + t.where.disk + " against " + t.base_manifest + ": " +
         std::to_string(stream.changed_blocks()) + " of " + std::to_string(now.block_count()) +
         " blocks of " + std::to_string(now.block_size()) + " bytes changed (" +
         std::to_string(stream.changed_bytes()) + " bytes); read " +
         std::to_string(now.image_size()) + figures_text +
         (t.standard_output ? std::string() : " written to " + t.local) +
         (t.manifest.empty() ? std::string() : "; new manifest " + t.manifest));
}

// The stream's destination: standard output, or a new file beside the -o file that takes
// its name only once the stream is complete (and never when the diff fails or is stopped).
// An -o that exists and is not a regular file (a device, a pipe) is written in place, as a
// read writes one: never created, truncated or renamed over.
class StreamOutput {
  public:
    explicit StreamOutput(const Transfer& t) : t_(t) {}
    ~StreamOutput() {
        discard();
        if (in_place_ >= 0) close(in_place_);
    }
    // What the -o names, before anything is connected: 0, or the exit status after saying
    // why not.
    int check() {
        struct stat st;
        if (t_.standard_output || stat(t_.local.c_str(), &st) != 0 || S_ISREG(st.st_mode)) return 0;
        if (S_ISDIR(st.st_mode)) {
            message("-o " + t_.local + " is a directory");
            return 1;
        }
        in_place_ = ::open(t_.local.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
        if (in_place_ < 0) {
            message("-o " + t_.local + ": " + std::strerror(errno));
            return 1;
        }
        if (isatty(in_place_) == 1) {
            message("-o " + t_.local + " is a terminal; give a file or redirect standard output");
            return 2;
        }
        return 0;
    }
    bool open() {
        if (t_.standard_output || in_place_ >= 0) return true;
        if (!file_.create(t_.local)) {
            message("-o " + t_.local +
                    ": cannot create a new file beside it: " + std::strerror(errno));
            return false;
        }
        remove_on_signal(file_.temporary());
        return true;
    }
    // Whether a failed diff leaves nothing at the -o file.
    bool renamed() const { return !t_.standard_output && in_place_ < 0; }
    int fd() const {
        return t_.standard_output ? STDOUT_FILENO : in_place_ >= 0 ? in_place_ : file_.fd();
    }
    std::string name() const { return t_.standard_output ? "standard output" : t_.local; }
    // Puts the whole stream on stable storage, before the new manifest is saved.
    bool flush() {
        std::string step;
        if (t_.standard_output) return true;
        if (in_place_ >= 0) {
            // A character device or pipe has nothing to flush.
            if (fdatasync(in_place_) == 0 || errno == EINVAL || errno == EROFS) return true;
            message("flushing " + t_.local + ": " + std::strerror(errno));
            return false;
        }
        if (file_.flush(kStreamMode, step)) return true;
        message("the stream is complete, but " + step + " failed: " + std::strerror(errno));
        return false;
    }
    // The stream takes its name.
    bool commit() {
        std::string step;
        if (!renamed()) return true;
        const bool ok = file_.commit(kStreamMode, step);
        remove_on_signal("");
        if (ok) return true;
        message("-o " + t_.local + ": " + step + " failed: " + std::strerror(errno) +
                (t_.manifest.empty() ? std::string()
                                     : "; the new manifest " + t_.manifest +
                                           " goes with no stream: diff again against the base "
                                           "manifest " +
                                           t_.base_manifest));
        return false;
    }
    void discard() {
        if (file_.temporary().empty()) return;
        remove_on_signal("");
        file_.discard();
    }

  private:
    const Transfer& t_;
    zev::NewFile file_;
    int in_place_ = -1;
};

// Streams the disk's changes against `base`; returns the exit status.
int stream_changes(const Transfer& t, const zev::Manifest& base, uint64_t request_size,
                   StreamOutput& output) {
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
    if (!output.open()) return 1;
    // A reader that went away makes a write fail with EPIPE, reported like any other failure.
    signal(SIGPIPE, SIG_IGN);
    DiffStream stream(base, now, output.fd(), output.name());
    CopyPlan plan;
    plan.length = size;
    plan.request_size = request_size;
    plan.connections = t.connections;
    plan.retry = t.retry;
    plan.rate = t.rate;
    plan.manifest = &now;
    CopyLoop loop(plan, disk, stream, stream, nullptr);
    const int stopped_by = run_supervised(loop, t.progress, size, &stream.counts());
    std::vector<std::string> failures = loop.failures();
    Failure ended;
    if (!stream.end(ended)) failures.push_back(ended.text);
    bool complete = failures.empty() && stopped_by == 0 && stream.processed() == size;
    report_end(failures, stopped_by, stream.processed());
    // The stream is on stable storage before the new manifest is saved, and takes its name
    // after it: a new manifest never stands without its stream, nor the stream without it.
    if (complete) complete = output.flush();
    if (complete && !t.manifest.empty() && !now.save(t.manifest, error)) {
        message("the stream is complete, but the disk's new manifest was not written: " + error);
        complete = false;
    }
    if (complete) complete = output.commit();
    output.discard();
    const ProgressFigures figures =
        final_figures(loop, size, complete, stopped_by, &stream.counts());
    final_progress(figures);
    if (!complete) {
        if (output.renamed())
            note("nothing was written to " + t.local + ": it is made only by a complete diff");
        else if (stream.processed() < size && !stream.broken())
            note("the stream stops at offset " + std::to_string(stream.processed()) + " of " +
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
    report_total(base.image_size(), "changed");
    StreamOutput output(t);
    if (const int status = output.check()) return status;
    std::string error;
    std::unique_ptr<RunLock> lock, output_lock;
    if (!t.manifest.empty() &&
        !(lock = RunLock::take(output_lock_key(t.manifest), t.manifest, error))) {
        message(error);
        return 1;
    }
    if (!t.standard_output &&
        !(output_lock = RunLock::take(output_lock_key(t.local), t.local, error))) {
        message(error);
        return 1;
    }
    Transfer job = t;
    if (!whole_block_requests(job, base.block_size(), error)) {
        message(error);
        return 1;
    }
    return stream_changes(job, base, job.request_size, output);
}

}  // namespace qvdisk
