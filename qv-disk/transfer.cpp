#include "transfer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include "console.h"
#include "copy_loop.h"
#include "direction.h"
#include "journal.h"
#include "own_files.h"
#include "run_lock.h"

namespace qvdisk {
namespace {

constexpr double kMiB = 1024.0 * 1024.0;

}  // namespace

bool whole_block_requests(Transfer& t, uint64_t block_size, std::string& error) {
    if (t.request_size % block_size == 0) return true;
    if (t.request_size_given) {
        error = "--request-size " + std::to_string(t.request_size) +
                " is not a whole number of blocks of " + std::to_string(block_size) + " bytes";
        return false;
    }
    t.request_size = std::max<uint64_t>(t.request_size / block_size, 1) * block_size;
    return true;
}

namespace {

// One transfer from start to end; each step returns true to go on, or false with the exit
// status in `status`.
class TransferRun {
  public:
    explicit TransferRun(const Transfer& given)
        : t_(given), direction_(t_.reading ? make_read(t_) : make_write(t_)) {}

    int run() {
        if (!settle_range() || !name_files() || !take_locks() || !find_journal() || !open_ends())
            return status_;
        return copy();
    }

  private:
    bool stop(int status) {
        status_ = status;
        return false;
    }
    bool say(const std::string& text, int status = 1) {
        message(text);
        return stop(status);
    }

    // The range, and the manifest of what is read or written: its blocks are hashed by the
    // workers and a write of differing blocks compares whole blocks, so that each request
    // holds whole blocks.
    bool settle_range() {
        if (!direction_->measure(length_)) return stop(1);
        report_total(length_, t_.only_changed ? "written" : nullptr);
        if (length_ == 0) return say("nothing to transfer: the range is empty");
        std::string error;
        const bool blocks = t_.only_changed || !t_.manifest.empty();
        if (blocks && !whole_block_requests(t_, t_.block_size, error)) return say(error);
        if (!t_.manifest.empty() && !manifest_.reset(length_, t_.block_size, error))
            return say(error);
        return true;
    }

    // The journal's binding and the run's files: the journal beside a partial output, in the
    // state folder otherwise. Each file is a file of its own: an output named as its journal
    // would be deleted with the journal, an image named as its manifest replaced by it.
    bool name_files() {
        direction_->bind(binding_);
        binding_.disk = t_.where.disk;
        binding_.offset = t_.offset;
        binding_.length = length_;
        binding_.request_size = t_.request_size;
        binding_.local = absolute_name(t_.local);
        binding_.server =
            t_.server.empty() ? t_.where.address + ":" + std::to_string(t_.where.port) : t_.server;
        binding_.transport = transport_name(t_.where);
        const std::string beside = direction_->beside();
        std::string error;
        journal_path_ = t_.journal;
        if (journal_path_.empty() && !beside.empty())
            journal_path_ = beside + ".incomplete.journal";
        if (journal_path_.empty() && direction_->journaled())
            journal_path_ = state_journal_path(binding_, error);
        if (journal_path_.empty() && direction_->journaled()) return say(error);
        const std::string partial = beside.empty() ? "" : beside + ".incomplete";
        // Standard output that is a file is a file of its own too.
        struct stat out = {};
        const std::string local = !t_.standard_output ? t_.local
                                  : fstat(STDOUT_FILENO, &out) == 0 && S_ISREG(out.st_mode)
                                      ? "/proc/self/fd/1"
                                      : "";
        if (!distinct_files(
                {{t_.standard_output ? "the standard output" : direction_->local_option(), local},
                 {"the partial output", partial},
                 {"the journal", journal_path_},
                 {"--manifest", t_.manifest}},
                error))
            return say("refused before moving any data: " + error, 2);
        return true;
    }

    // One run at a time per output and per written disk, until this run ends.
    bool take_locks() {
        std::string error;
        const std::string key = direction_->lock_key();
        if (!key.empty() && !(lock_ = RunLock::take(key, direction_->lock_target(), error)))
            return say(error);
        if (!t_.manifest.empty() &&
            !(manifest_lock_ = RunLock::take(output_lock_key(t_.manifest), t_.manifest, error)))
            return say(error);
        return true;
    }

    bool find_journal() {
        if (!t_.resume || !direction_->resumable(binding_)) return true;
        bool missing = false;
        std::string error;
        if ((journal_ = Journal::resume(journal_path_, binding_, done_, missing, error)))
            return true;
        if (!missing) return say("--resume refused: " + error + "; nothing was changed");
        note("--resume: there is no journal " + journal_path_ + "; starting from the beginning");
        return true;
    }

    bool open_ends() {
        disk_ = std::make_unique<DiskEnd>(t_.where, direction_->disk_mode(), t_.offset);
        if (!direction_->check_disk() ||
            !check_range(*disk_, t_.retry, t_.where.disk, t_.offset, length_))
            return stop(1);
        if (!direction_->open_local(journal_ != nullptr)) return stop(1);
        std::string error;
        if (!journal_ && direction_->journaled() &&
            !(journal_ = Journal::create(journal_path_, binding_, error))) {
            direction_->discard();
            return say(error);
        }
        return true;
    }

    int copy() {
        End& to = direction_->sink(*disk_);
        CopyPlan plan;
        plan.length = length_;
        plan.request_size = t_.request_size;
        plan.done = done_;
        plan.connections = t_.connections;
        plan.retry = t_.retry;
        plan.rate = t_.rate;
        plan.digest = t_.sha256;
        if (!t_.manifest.empty()) plan.manifest = &manifest_;
        CopyLoop loop(plan, direction_->source(*disk_), to, direction_->local(), journal_.get());
        if (loop.earlier_bytes() > 0)
            note("resuming: " + std::to_string(loop.earlier_bytes()) + " of " +
                 std::to_string(length_) + " bytes were done before and are not moved again");
        const int stopped_by = run_supervised(loop, t_.progress, length_, direction_->counts());
        std::vector<std::string> failures = loop.failures();
        Failure flushed;
        // Without a journal the output is still flushed before the run says it is done.
        if (journal_ ? !journal_->flush(to, flushed) : !to.sync(flushed))
            failures.push_back(flushed.text);
        bool complete = failures.empty() && stopped_by == 0 && loop.done_bytes() == length_;
        report_end(failures, stopped_by, loop.done_bytes());
        complete = direction_->finish(complete, length_);
        // From here the image is whole under its name: a manifest that cannot be saved fails
        // the run, but nothing is left to resume.
        const bool image_whole = complete;
        if (complete && !save_manifest()) complete = false;
        const ProgressFigures figures =
            final_figures(loop, length_, complete, stopped_by, direction_->counts());
        clean_up(image_whole, loop.done_bytes());
        final_progress(figures);
        if (!complete) return 1;
        print_summary(loop, figures.seconds);
        return 0;
    }

    bool save_manifest() {
        std::string error;
        if (t_.manifest.empty() || manifest_.save(t_.manifest, error)) return true;
        if (t_.standard_output) {
            message("the range went whole to standard output, but its manifest was not written: " +
                    error);
            return false;
        }
        message((t_.reading ? "the image is complete in " + t_.local
                            : "the disk " + t_.where.disk + " holds " + t_.local) +
                ", but its manifest was not written: " + error +
                "; make it again with: zev-block-manifest " + t_.local + " -o " + t_.manifest +
                " --block-size " + std::to_string(t_.block_size) +
                (t_.reading && !direction_->whole_disk() ? " (the image holds only the range read)"
                                                         : ""));
        return false;
    }

    // The journal goes once nothing is left to resume; what a stopped transfer left is said.
    void clean_up(bool image_whole, uint64_t done) {
        if (image_whole) {
            if (journal_) journal_->remove();
        } else if (done == 0) {
            if (journal_) journal_->remove();
            direction_->discard();
        } else if (!direction_->leave(done, length_) && journal_) {
            journal_->remove();
        }
    }

    void print_summary(const CopyLoop& loop, double s) {
        const std::string digest = loop.digest();
        const std::string local = t_.standard_output ? "standard output" : t_.local;
        char figures[160];
        std::snprintf(figures, sizeof figures, " in %.2f s (%.1f MiB/s), %s, %u connection%s", s,
                      s > 0 ? loop.moved_bytes() / kMiB / s : 0.0, transport_name(t_.where).c_str(),
                      std::max(loop.workers(), 1u), loop.workers() > 1 ? "s" : "");
        summary(std::string(direction_->verb()) + " " + std::to_string(length_) + " bytes " +
                direction_->disk_word() + " " + t_.where.disk + " at offset " +
                std::to_string(t_.offset) + " " + direction_->local_word() + " " + local + figures +
                (digest.empty() ? "" : ", sha256 " + digest));
        if (const BlockCounts* c = direction_->counts())
            summary(std::to_string(c->written.load()) + " of " +
                    std::to_string(c->compared.load()) + " blocks of " +
                    std::to_string(c->block_size) + " bytes differed and were written (" +
                    std::to_string(c->written_bytes.load()) + " bytes)");
        if (!t_.manifest.empty())
            summary("manifest of " + std::to_string(manifest_.block_count()) + " blocks of " +
                    std::to_string(manifest_.block_size()) + " bytes written to " + t_.manifest +
                    ", list digest " + manifest_.list_digest_hex());
    }

    Transfer t_;
    std::unique_ptr<Direction> direction_;
    int status_ = 1;
    uint64_t length_ = 0;
    zev::Manifest manifest_;
    JournalBinding binding_;
    std::string journal_path_;
    std::unique_ptr<RunLock> lock_;
    std::unique_ptr<RunLock> manifest_lock_;
    std::vector<bool> done_;
    std::unique_ptr<Journal> journal_;
    std::unique_ptr<DiskEnd> disk_;
};

}  // namespace

int run_transfer(const Transfer& given) { return TransferRun(given).run(); }

}  // namespace qvdisk
