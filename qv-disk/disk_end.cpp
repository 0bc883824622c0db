#include "disk_end.h"

#include "console.h"

namespace qvdisk {
namespace {

class DiskChannel : public Channel {
  public:
    DiskChannel(const Endpoint& where, OPENMODE mode, uint64_t offset)
        : where_(where), mode_(mode), offset_(offset) {}

    bool ready(Failure& f) override {
        if (session_) return true;
        session_ = std::make_unique<Session>();
        if (session_->open(where_, mode_)) return true;
        failed(f);
        session_.reset();
        return false;
    }
    bool read(uint64_t pos, size_t n, char* buf, Failure& f) override {
        return session_->read(offset_ + pos, n, buf) || failed(f);
    }
    bool write(uint64_t pos, size_t n, const char* buf, Failure& f) override {
        return session_->write(offset_ + pos, n, buf) || failed(f);
    }
    // A connection that failed gives nothing worth waiting for.
    void drop() override {
        if (session_) session_->abandon();
        session_.reset();
    }
    bool finish(Failure& f) override {
        if (!session_) return true;
        bool ok = session_->end() || failed(f);
        session_.reset();
        return ok;
    }

  private:
    bool failed(Failure& f) {
        f = {session_->failure(), session_->failure_may_pass()};
        return false;
    }

    const Endpoint& where_;
    OPENMODE mode_;
    uint64_t offset_;
    std::unique_ptr<Session> session_;
};

// Reads one byte at `pos` with retries. True when it was read; false with `f` set otherwise
// (`f.text` empty when the connection never got as far as the read).
bool read_byte(DiskEnd& disk, const RetryPolicy& retry, uint64_t pos, Failure& f) {
    Retrier retrier(retry);
    std::unique_ptr<Channel> c = disk.channel();
    char byte = 0;
    bool reached = false;
    bool ok = retrier.run(
        "connection 1", *c,
        [&](Channel& ch, Failure& why) {
            reached = true;
            return ch.read(pos, 1, &byte, why);
        },
        f);
    Failure ignored;
    if (ok) c->finish(ignored);
    if (!ok && !reached) f.may_pass = true;
    return ok;
}

// A refusal of the service that says the byte lies outside the disk.
bool outside(const Failure& f) {
    return !f.may_pass && f.text.find("overflow!") != std::string::npos;
}

}  // namespace

std::unique_ptr<Channel> DiskEnd::channel() {
    return std::make_unique<DiskChannel>(where_, mode_, offset_);
}

bool check_range(DiskEnd& disk, const RetryPolicy& retry, const std::string& name, uint64_t offset,
                 uint64_t length) {
    Failure f;
    if (read_byte(disk, retry, length - 1, f)) return true;
    if (outside(f)) {
        message("refused before moving any data: the disk " + name + " holds no byte at offset " +
                std::to_string(offset + length - 1) + ", the last of the range: " + f.text);
    } else {
        message(f.text);
    }
    return false;
}

bool check_disk_size(DiskEnd& disk, const RetryPolicy& retry, const std::string& name,
                     uint64_t size, const std::string& source) {
    if (!check_range(disk, retry, name, 0, size)) return false;
    Failure f;
    if (read_byte(disk, retry, size, f)) {
        message("refused before moving any data: the disk " + name + " holds more than the " +
                std::to_string(size) + " bytes " + source + " describes");
        return false;
    }
    if (outside(f)) return true;
    message(f.text);
    return false;
}

}  // namespace qvdisk
