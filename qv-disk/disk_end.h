// The disk end of a copy: one library session per worker, reconnected after a failure.
#ifndef QV_DISK_DISK_END_H
#define QV_DISK_DISK_END_H

#include <memory>
#include <string>

#include "copy_ends.h"
#include "retry.h"
#include "sdk_session.h"

namespace qvdisk {

class DiskEnd : public End {
  public:
    // `offset`: where the transfer's range starts on the disk.
    DiskEnd(const Endpoint& where, OPENMODE mode, uint64_t offset)
        : where_(where), mode_(mode), offset_(offset) {}
    std::unique_ptr<Channel> channel() override;
    // The service's success reply is the disk's promise; there is nothing more to flush.
    bool sync(Failure&) override { return true; }

  private:
    Endpoint where_;
    OPENMODE mode_;
    uint64_t offset_;
};

// Reads the last byte of a range of `length` bytes, so that a range the disk does not hold is
// refused before anything is written on either side. False after saying why; `disk` and
// `offset` name the disk and where the range starts on it, for the message.
bool check_range(DiskEnd& disk, const RetryPolicy& retry, const std::string& name, uint64_t offset,
                 uint64_t length);

// Checks that the disk ends at `size` (from the end's offset): its last byte is there and the
// byte after it is refused as outside the disk. False after saying why.
bool check_disk_size(DiskEnd& disk, const RetryPolicy& retry, const std::string& name,
                     uint64_t size, const std::string& source);

}  // namespace qvdisk

#endif  // QV_DISK_DISK_END_H
