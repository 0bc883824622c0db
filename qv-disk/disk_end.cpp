#include "disk_end.h"

#include <algorithm>
#include <cstdint>

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

    // The session, while the channel is ready.
    Session* session() { return session_.get(); }

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
bool read_byte(Channel& c, const RetryPolicy& retry, uint64_t pos, Failure& f) {
    Retrier retrier(retry);
    char byte = 0;
    bool reached = false;
    bool ok = retrier.run(
        "connection 1", c,
        [&](Channel& ch, Failure& why) {
            reached = true;
            return ch.read(pos, 1, &byte, why);
        },
        f);
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
    std::unique_ptr<Channel> c = disk.channel();
    if (read_byte(*c, retry, length - 1, f)) {
        Failure ignored;
        c->finish(ignored);
        return true;
    }
    if (outside(f)) {
        message("refused before moving any data: the disk " + name + " holds no byte at offset " +
                std::to_string(offset + length - 1) + ", the last of the range: " + f.text);
    } else {
        message(f.text);
    }
    return false;
}

bool find_disk_size(DiskEnd& disk, const RetryPolicy& retry, const std::string& name, uint64_t hint,
                    uint64_t& size, std::string* fingerprint) {
    std::unique_ptr<Channel> c = disk.channel();
    // Whether the byte at `pos` is on the disk; false with `failed` set for any other failure.
    bool failed = false;
    auto holds = [&](uint64_t pos) {
        Failure f;
        if (read_byte(*c, retry, pos, f)) return true;
        if (!outside(f)) {
            message(f.text);
            failed = true;
        }
        return false;
    };
    // `below` is a position the disk holds, `above` one it refuses, once each is known.
    bool have_below = false, have_above = false;
    uint64_t below = 0, above = 0;
    if (hint != 0) {
        if (holds(hint - 1)) {
            have_below = true;
            below = hint - 1;
            if (holds(hint)) {
                below = hint;
            } else {
                have_above = true;
                above = hint;
            }
        } else {
            have_above = true;
            above = hint - 1;
        }
        if (failed) return false;
    }
    if (!have_below) {
        if (!holds(0)) {
            if (!failed)
                message("the disk " + name + " holds no byte: the service refuses offset 0");
            return false;
        }
        below = 0;
    }
    // Doubling until a position is refused, then halving the gap.
    for (uint64_t step = std::max<uint64_t>(below, 1); !have_above; step *= 2) {
        if (below == UINT64_MAX) {
            message("the disk " + name + " answers every offset: its size cannot be found");
            return false;
        }
        const uint64_t probe = step > UINT64_MAX - below ? UINT64_MAX : below + step;
        if (holds(probe)) {
            below = probe;
        } else if (failed) {
            return false;
        } else {
            have_above = true;
            above = probe;
        }
    }
    if (above <= below) {
        message("the service answered the size search of the disk " + name +
                " inconsistently: it refused offset " + std::to_string(above) +
                " but holds offset " + std::to_string(below));
        return false;
    }
    while (above - below > 1) {
        const uint64_t middle = below + (above - below) / 2;
        if (holds(middle))
            below = middle;
        else if (failed)
            return false;
        else
            above = middle;
    }
    size = above;
    if (fingerprint != nullptr) {
        Session* session = static_cast<DiskChannel&>(*c).session();
        if (session != nullptr && !session->certificate_fingerprint(*fingerprint)) {
            message(session->failure());
            return false;
        }
    }
    Failure ignored;
    c->finish(ignored);
    return true;
}

bool check_disk_size(DiskEnd& disk, const RetryPolicy& retry, const std::string& name,
                     uint64_t size, const std::string& source) {
    uint64_t found = 0;
    if (!find_disk_size(disk, retry, name, size, found)) return false;
    if (found == size) return true;
    message("refused before moving any data: the disk " + name + " holds " + std::to_string(found) +
            " bytes, not the " + std::to_string(size) + " bytes " + source + " describes");
    return false;
}

}  // namespace qvdisk
