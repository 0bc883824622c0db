#include "disk_end.h"

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

}  // namespace

std::unique_ptr<Channel> DiskEnd::channel() {
    return std::make_unique<DiskChannel>(where_, mode_, offset_);
}

}  // namespace qvdisk
