// A write: the local input is the source, the disk the sink, or the disk behind a comparison
// that writes only the blocks that differ (--only-changed). The journal is in the state
// folder, and one run at a time writes a disk; both kinds of write leave a request's range
// equal to the input, so either resumes the other's journal.
#include <sys/stat.h>

#include <cstdint>

#include "console.h"
#include "direction.h"

namespace qvdisk {
namespace {

class Write : public Direction {
  public:
    explicit Write(const Transfer& t) : t_(t) {}

    bool measure(uint64_t& length) override {
        std::string error;
        input_ = LocalEnd::open_input(t_.local, error);
        if (!input_) {
            message(error);
            return false;
        }
        length = t_.length.value_or(input_->size());
        if (length > input_->size() || length > UINT64_MAX - t_.offset) {
            message(t_.local + " holds " + std::to_string(input_->size()) +
                    " bytes, fewer than --length, or the range passes the largest offset");
            return false;
        }
        return true;
    }
    // The input as it was, so that a resume never continues from another file.
    void bind(JournalBinding& b) const override {
        b.direction = "write";
        struct stat st = {};
        input_->status(st);
        b.input = "size " + std::to_string(st.st_size) + " modified " +
                  std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) +
                  " inode " + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    }
    std::string beside() const override { return ""; }
    const char* local_option() const override { return "-i"; }
    std::string lock_key() const override {
        return "disk\n" + t_.where.address + ":" + std::to_string(t_.where.port) + "\n" +
               t_.where.disk;
    }
    std::string lock_target() const override { return "the disk " + t_.where.disk; }
    bool resumable(JournalBinding&) const override { return true; }
    OPENMODE disk_mode() const override { return OPEN_READWRITE; }
    bool check_disk() const override { return true; }
    bool open_local(bool) override { return true; }
    LocalEnd& local() override { return *input_; }
    End& source(DiskEnd&) override { return *input_; }
    End& sink(DiskEnd& disk) override {
        if (!t_.only_changed) return disk;
        changed_only_ = std::make_unique<ChangedOnlyEnd>(disk, t_.block_size);
        return *changed_only_;
    }
    bool finish(bool complete, uint64_t) override { return complete; }
    void discard() override {}
    bool leave(uint64_t done, uint64_t length) override {
        note(std::to_string(done) + " of " + std::to_string(length) + " bytes are written to " +
             t_.where.disk + "; the same command with --resume continues from there");
        return true;
    }
    const char* verb() const override { return t_.only_changed ? "compared" : "wrote"; }
    const char* disk_word() const override { return t_.only_changed ? "of" : "to"; }
    const char* local_word() const override { return t_.only_changed ? "with" : "from"; }
    const BlockCounts* counts() const override {
        return changed_only_ ? &changed_only_->counts() : nullptr;
    }

  private:
    const Transfer& t_;
    std::unique_ptr<LocalEnd> input_;
    std::unique_ptr<ChangedOnlyEnd> changed_only_;
};

}  // namespace

std::unique_ptr<Direction> make_write(const Transfer& t) { return std::make_unique<Write>(t); }

}  // namespace qvdisk
