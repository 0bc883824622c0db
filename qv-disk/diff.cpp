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
#include "disk_end.h"
#include "io-all.h"
#include "own_files.h"
#include "run_lock.h"
#include "stream-writer.h"

namespace qvdisk {
namespace {

constexpr double kMiB = 1024.0 * 1024.0;

// The change records one worker made for the blocks of one request, waiting for their turn.
struct Prepared {
    uint64_t first = 0;  // the request's first block
    uint64_t count = 0;  // its blocks
    struct Change {
        uint64_t block;
        size_t begin, end;  // the record in `records`
    };
    std::vector<Change> changes;
    std::vector<char> records;
};

// The stream on a descriptor. Requests reach write() in the order of the disk, one at a
// time, so the heartbeats and the counts need no lock.
class DiffStream : public End {
  public:
    DiffStream(const zev::Manifest& base, const zev::Manifest& now, int fd)
        : base_(base), now_(now), fd_(fd) {
        start_heartbeats(&heartbeats_, now.image_size());
    }

    std::unique_ptr<Channel> channel() override;
    bool sync(Failure&) override { return true; }
    bool sequential() const override { return true; }

    const zev::Manifest& base() const { return base_; }
    const zev::Manifest& now() const { return now_; }

    // Writes the records of one request, each block followed by its heartbeat when one is
    // due, in one write.
    bool emit(const Prepared& p, Failure& f) {
        out_.clear();
        uint64_t processed = processed_;
        auto change = p.changes.begin();
        char heartbeat[CHANGE_RECORD_OVERHEAD];
        for (uint64_t b = p.first; b < p.first + p.count; ++b) {
            if (change != p.changes.end() && change->block == b) {
                out_.insert(out_.end(), p.records.begin() + change->begin,
                            p.records.begin() + change->end);
                changed_bytes_ += now_.block_length(b);
                ++changed_blocks_;
                ++change;
            }
            processed += now_.block_length(b);
            if (heartbeat_due(&heartbeats_, processed)) {
                size_t n = build_heartbeat_record(heartbeat, processed, false);
                out_.insert(out_.end(), heartbeat, heartbeat + n);
            }
        }
        if (!put(out_.data(), out_.size(), f)) return false;
        processed_ = processed;
        return true;
    }

    // The final record, with the bytes of the blocks written before it. Nothing more is
    // written where the output already failed.
    bool end(Failure& f) {
        if (broken_) return true;
        char record[CHANGE_RECORD_OVERHEAD];
        size_t n = build_heartbeat_record(record, processed_, true);
        return put(record, n, f);
    }

    uint64_t processed() const { return processed_; }
    uint64_t changed_blocks() const { return changed_blocks_; }
    uint64_t changed_bytes() const { return changed_bytes_; }
    uint64_t written() const { return written_; }
    bool broken() const { return broken_; }

  private:
    bool put(const char* p, size_t n, Failure& f) {
        if (n > 0 && !zev::write_all(fd_, p, n)) {
            f = {std::string("standard output: ") + std::strerror(errno), false};
            broken_ = true;
            return false;
        }
        written_ += n;
        return true;
    }

    const zev::Manifest& base_;
    const zev::Manifest& now_;
    int fd_;
    heartbeat_schedule heartbeats_{};
    uint64_t processed_ = 0;
    uint64_t changed_blocks_ = 0;
    uint64_t changed_bytes_ = 0;
    uint64_t written_ = 0;
    bool broken_ = false;
    std::vector<char> out_;
};

// One worker's side of the stream: it compares the blocks of its request (the copy loop has
// hashed them into the new manifest) and compresses and encodes the changed ones before its
// turn, so that the workers do that side by side.
class DiffChannel : public Channel {
  public:
    explicit DiffChannel(DiffStream& stream) : stream_(stream) {}

    bool ready(Failure&) override { return true; }
    bool read(uint64_t, size_t, char*, Failure& f) override {
        f = {"the diff stream cannot be read", false};
        return false;
    }
    bool prepare(uint64_t pos, size_t n, const char* buf, Failure& f) override {
        const zev::Manifest& now = stream_.now();
        const uint64_t block_size = now.block_size();
        prepared_.first = pos / block_size;
        prepared_.count = (n + block_size - 1) / block_size;
        prepared_.changes.clear();
        prepared_.records.clear();
        for (uint64_t b = prepared_.first; b < prepared_.first + prepared_.count; ++b) {
            if (now.same_block(b, stream_.base())) continue;
            const uint64_t length = now.block_length(b);
            const char* block = buf + (now.block_offset(b) - pos);
            const size_t begin = prepared_.records.size();
            if (!append_change_record(prepared_.records, compressed_, now.block_offset(b), block,
                                      length)) {
                f = {"LZ4 compression failed at offset " + std::to_string(now.block_offset(b)),
                     false};
                return false;
            }
            prepared_.changes.push_back({b, begin, prepared_.records.size()});
        }
        return true;
    }
    bool write(uint64_t, size_t, const char*, Failure& f) override {
        return stream_.emit(prepared_, f);
    }
    bool finish(Failure&) override { return true; }

  private:
    DiffStream& stream_;
    Prepared prepared_;
    std::vector<char> compressed_;
};

std::unique_ptr<Channel> DiffStream::channel() { return std::make_unique<DiffChannel>(*this); }

}  // namespace

int run_diff(const Transfer& t) {
    std::string error;
    zev::Manifest base;
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
    // The stream, the base manifest and the new manifest are three files: a new manifest
    // over the base, or a stream into either, would lose what the next diff compares with.
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
    plan.request_size = job.request_size;
    plan.connections = t.connections;
    plan.retry = t.retry;
    plan.rate = t.rate;
    plan.manifest = &now;

    CopyLoop loop(plan, disk, stream, stream, nullptr);
    const int stopped_by = run_supervised(loop, t.progress, size);

    std::vector<std::string> failures = loop.failures();
    Failure ended;
    if (!stream.end(ended)) failures.push_back(ended.text);
    bool complete = failures.empty() && stopped_by == 0 && stream.processed() == size;
    report_end(failures, stopped_by, stream.processed());
    if (complete && !t.manifest.empty() && !now.save(t.manifest, error)) {
        message("the stream is complete, but the disk's new manifest was not written: " + error);
        complete = false;
    }

    const ProgressFigures figures = final_figures(loop, size, complete, stopped_by);
    final_progress(t.progress, figures);
    if (!complete) {
        if (stream.processed() < size && !stream.broken())
            message("the stream stops at offset " + std::to_string(stream.processed()) + " of " +
                    std::to_string(size) +
                    " bytes: its final record says so, and zev-block-apply takes it as an "
                    "incomplete diff (exit status 2)");
        return 1;
    }
    const double s = figures.seconds;
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
            std::to_string(stream.changed_bytes()) + " bytes); read " + std::to_string(size) +
            figures_text + (t.manifest.empty() ? std::string() : "; new manifest " + t.manifest));
    return 0;
}

}  // namespace qvdisk
