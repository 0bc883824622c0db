// The sink of a diff: the change stream on a descriptor, as zev-block-diff-tool writes it.
// Each worker compares the blocks of its request with the base manifest (the copy loop has
// hashed them into the new one) and builds the records of the changed ones before its turn;
// the records then go out in the order of the disk, with the heartbeats and the final record.
#ifndef QV_DISK_DIFF_SINK_H
#define QV_DISK_DIFF_SINK_H

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "block-manifest.h"
#include "changed_only_end.h"
#include "copy_ends.h"
#include "io-all.h"
#include "stream-writer.h"

namespace qvdisk {

struct Prepared;

// The stream on a descriptor. Requests reach write() in the order of the disk, one at a
// time, so the heartbeats and the counts need no lock.
class DiffStream : public End {
  public:
    // `name` names the destination in messages ("standard output", or the -o file).
    DiffStream(const zev::Manifest& base, const zev::Manifest& now, int fd, std::string name)
        : base_(base), now_(now), fd_(fd), name_(std::move(name)) {
        start_heartbeats(&heartbeats_, now.image_size());
        counts_.block_size = now.block_size();
        counts_.differed = "changed";
    }

    std::unique_ptr<Channel> channel() override;
    bool sync(Failure&) override { return true; }
    bool sequential() const override { return true; }

    const zev::Manifest& base() const { return base_; }
    const zev::Manifest& now() const { return now_; }

    // Writes the records of one request, each block followed by its heartbeat when one is
    // due, in one write.
    bool emit(const Prepared& p, Failure& f);

    // The final record, with the bytes of the blocks written before it. Nothing more is
    // written where the output already failed.
    bool end(Failure& f) {
        if (broken_) return true;
        char record[CHANGE_RECORD_OVERHEAD];
        size_t n = build_heartbeat_record(record, processed_, true);
        return put(record, n, f);
    }

    uint64_t processed() const { return processed_; }
    uint64_t changed_blocks() const { return counts_.written.load(); }
    uint64_t changed_bytes() const { return counts_.written_bytes.load(); }
    // Blocks compared and changed so far, for the progress lines.
    const BlockCounts& counts() const { return counts_; }
    uint64_t written() const { return written_; }
    bool broken() const { return broken_; }

  private:
    bool put(const char* p, size_t n, Failure& f) {
        if (n > 0 && !zev::write_all(fd_, p, n)) {
            f = {name_ + ": " + std::strerror(errno), false};
            broken_ = true;
            return false;
        }
        written_ += n;
        return true;
    }

    const zev::Manifest& base_;
    const zev::Manifest& now_;
    int fd_;
    const std::string name_;
    heartbeat_schedule heartbeats_{};
    uint64_t processed_ = 0;
    BlockCounts counts_;
    uint64_t written_ = 0;
    bool broken_ = false;
    std::vector<char> out_;
};

}  // namespace qvdisk

#endif  // QV_DISK_DIFF_SINK_H
