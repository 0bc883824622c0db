#include "changed_only_end.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace qvdisk {
namespace {

class ChangedOnlyChannel : public Channel {
  public:
    ChangedOnlyChannel(std::unique_ptr<Channel> disk, BlockCounts& counts)
        : disk_(std::move(disk)), counts_(counts) {}

    bool ready(Failure& f) override { return disk_->ready(f); }
    bool read(uint64_t pos, size_t n, char* buf, Failure& f) override {
        return disk_->read(pos, n, buf, f);
    }
    // Reads the disk's bytes of the request, then writes each run of consecutive differing
    // blocks with one call. A retry after a failure compares again: blocks written by the
    // failed attempt are equal by then and are not sent twice.
    bool write(uint64_t pos, size_t n, const char* buf, Failure& f) override {
        if (on_disk_.size() < n) on_disk_.resize(n);
        if (!disk_->read(pos, n, on_disk_.data(), f)) return false;
        const uint64_t block = counts_.block_size;
        uint64_t blocks = 0;
        size_t run = 0, run_length = 0;  // the run of differing blocks not yet written
        for (size_t at = 0; at < n; at += block, ++blocks) {
            const size_t len = static_cast<size_t>(std::min<uint64_t>(block, n - at));
            if (std::memcmp(buf + at, on_disk_.data() + at, len) != 0) {
                if (run_length == 0) run = at;
                run_length += len;
                continue;
            }
            if (run_length > 0 && !flush(pos, buf, run, run_length, f)) return false;
            run_length = 0;
        }
        if (run_length > 0 && !flush(pos, buf, run, run_length, f)) return false;
        counts_.compared += blocks;
        return true;
    }
    void drop() override { disk_->drop(); }
    bool finish(Failure& f) override { return disk_->finish(f); }

  private:
    bool flush(uint64_t pos, const char* buf, size_t at, size_t length, Failure& f) {
        if (!disk_->write(pos + at, length, buf + at, f)) return false;
        counts_.written += (length + counts_.block_size - 1) / counts_.block_size;
        counts_.written_bytes += length;
        return true;
    }

    std::unique_ptr<Channel> disk_;
    BlockCounts& counts_;
    std::vector<char> on_disk_;
};

}  // namespace

std::unique_ptr<Channel> ChangedOnlyEnd::channel() {
    return std::make_unique<ChangedOnlyChannel>(disk_.channel(), counts_);
}

}  // namespace qvdisk
