// A read: the disk is the source, the local output the sink. A regular output is written
// under "<output>.incomplete" with its journal beside it; an output that is a device or a pipe
// is written in place, with its journal in the state folder.
#include <sys/stat.h>

#include "console.h"
#include "direction.h"
#include "run_lock.h"

namespace qvdisk {
namespace {

bool exists_not_regular(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode);
}

class Read : public Direction {
  public:
    explicit Read(const Transfer& t)
        : t_(t), in_place_(t.standard_output || exists_not_regular(t.local)), size_(t.disk_size) {}

    // Without --size the disk's size is found by asking the service; a --size given is
    // checked before the output is made (check_disk).
    bool measure(uint64_t& length) override {
        std::string size_name = "--size " + std::to_string(size_);
        if (size_ == 0) {
            DiskEnd whole(t_.where, OPEN_READONLY, 0);
            if (!find_disk_size(whole, t_.retry, t_.where.disk, 0, size_)) return false;
            size_name = "the disk's size " + std::to_string(size_);
        }
        if (t_.offset >= size_) {
            message("--offset " + std::to_string(t_.offset) + " is not below " + size_name);
            return false;
        }
        length = t_.length.value_or(size_ - t_.offset);
        if (length > size_ - t_.offset) {
            message("the range ends beyond " + size_name);
            return false;
        }
        whole_ = t_.offset == 0 && length == size_;
        return true;
    }
    bool whole_disk() const override { return whole_; }
    void bind(JournalBinding& b) const override { b.direction = "read"; }
    std::string beside() const override { return in_place_ ? "" : t_.local; }
    const char* local_option() const override { return "-o"; }
    std::string lock_key() const override {
        return t_.standard_output ? "" : output_lock_key(t_.local);
    }
    std::string lock_target() const override { return t_.local; }
    bool resumable(JournalBinding& b) const override {
        if (in_place_) return true;
        const std::string partial = t_.local + ".incomplete";
        struct stat st;
        if (lstat(partial.c_str(), &st) != 0) {
            note("--resume: there is no " + partial + "; starting from the beginning");
            return false;
        }
        b.local_holds = static_cast<uint64_t>(st.st_size);
        return true;
    }
    OPENMODE disk_mode() const override { return OPEN_READONLY; }
    // A --size given is checked as a diff checks its manifest's size, so that a short --size
    // never passes for a whole disk.
    bool check_disk() const override {
        if (t_.disk_size == 0) return true;
        DiskEnd whole(t_.where, OPEN_READONLY, 0);
        return check_disk_size(whole, t_.retry, t_.where.disk, t_.disk_size, "--size");
    }
    bool open_local(bool resuming) override {
        std::string error;
        output_ = t_.standard_output ? LocalEnd::open_standard_output(error)
                                     : LocalEnd::open_output(t_.local, resuming, t_.sparse, error);
        if (!output_) {
            message(error);
            return false;
        }
        if (resuming && output_->sequential()) {
            message("--resume refused: " + t_.local + " cannot seek, so it cannot be continued");
            return false;
        }
        return true;
    }
    LocalEnd& local() override { return *output_; }
    End& source(DiskEnd& disk) override { return disk; }
    End& sink(DiskEnd&) override { return *output_; }
    bool finish(bool complete, uint64_t length) override {
        std::string error;
        if (output_->finish_output(complete, length, error) || !complete) return complete;
        message(error);
        return false;
    }
    void discard() override {
        if (output_) output_->discard();
    }
    bool leave(uint64_t done, uint64_t length) override {
        const std::string of = std::to_string(done) + " of " + std::to_string(length);
        if (output_->sequential()) {
            // What went into a pipe cannot be taken up again.
            note(of + " bytes were written to " + output_->working_name() +
                 ", which cannot seek: the transfer cannot be resumed");
            return false;
        }
        const std::string again = "; the same command with --resume continues from there";
        if (output_->regular())
            note("partial output kept as " + output_->working_name() + " (" + of + " bytes)" +
                 again);
        else
            note(of + " bytes are written to " + t_.local + again);
        return true;
    }
    const char* verb() const override { return "read"; }
    const char* disk_word() const override { return "of"; }
    const char* local_word() const override { return "into"; }
    bool journaled() const override { return !t_.standard_output; }

  private:
    const Transfer& t_;
    const bool in_place_;
    uint64_t size_;  // the disk's size, given or found
    bool whole_ = false;
    std::unique_ptr<LocalEnd> output_;
};

}  // namespace

std::unique_ptr<Direction> make_read(const Transfer& t) { return std::make_unique<Read>(t); }

std::string transport_name(const Endpoint& where) {
    return std::string(where.transport == TRANS_SAN ? "SAN" : "LAN") + (where.tls ? "+TLS" : "");
}

}  // namespace qvdisk
