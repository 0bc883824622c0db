// The disk end of a copy: one library session per worker, reconnected after a failure.
#ifndef QV_DISK_DISK_END_H
#define QV_DISK_DISK_END_H

#include <memory>

#include "copy_ends.h"
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

}  // namespace qvdisk

#endif  // QV_DISK_DISK_END_H
