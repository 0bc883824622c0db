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

// Finds the size of the disk (from the end's offset) by a search of one-byte reads on one
// connection: the service refuses a byte outside the disk. `hint`, when not 0, is tried
// first (its last byte there, the byte after it refused: two reads). With `fingerprint`, and
// TLS, also the SHA-256 fingerprint of the service's certificate. False after saying why.
bool find_disk_size(DiskEnd& disk, const RetryPolicy& retry, const std::string& name, uint64_t hint,
                    uint64_t& size, std::string* fingerprint = nullptr);

// Checks that the disk ends at `size`, as `source` describes it; otherwise says how large
// the disk is. False after saying why.
bool check_disk_size(DiskEnd& disk, const RetryPolicy& retry, const std::string& name,
                     uint64_t size, const std::string& source);

}  // namespace qvdisk

#endif  // QV_DISK_DISK_END_H
