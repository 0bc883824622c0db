// The disk as the sink of a write that sends only what differs (--only-changed): every
// request reads the same range of the disk first, compares it with the input block by block
// (bytes, not digests) and writes only the runs of blocks that differ. The disk ends equal to
// the input; what goes to the service is the differing blocks and the requests.
#ifndef QV_DISK_CHANGED_ONLY_END_H
#define QV_DISK_CHANGED_ONLY_END_H

#include <atomic>
#include <cstdint>
#include <memory>

#include "copy_ends.h"

namespace qvdisk {

// What the comparison found so far, for the summary and the progress lines.
struct BlockCounts {
    uint64_t block_size = 0;
    std::atomic<uint64_t> compared{0};  // blocks compared (of requests finished)
    std::atomic<uint64_t> written{0};   // blocks that differed and were written
    std::atomic<uint64_t> written_bytes{0};
    const char* differed = "written";  // what became of the blocks that differed
};

class ChangedOnlyEnd : public End {
  public:
    // `disk` is the end that reads and writes the disk; `block_size` divides the request
    // size (the last request may end in a shorter block).
    ChangedOnlyEnd(End& disk, uint64_t block_size) : disk_(disk) {
        counts_.block_size = block_size;
    }
    std::unique_ptr<Channel> channel() override;
    bool sync(Failure& f) override { return disk_.sync(f); }
    const BlockCounts& counts() const { return counts_; }

  private:
    End& disk_;
    BlockCounts counts_;
};

}  // namespace qvdisk

#endif  // QV_DISK_CHANGED_ONLY_END_H
