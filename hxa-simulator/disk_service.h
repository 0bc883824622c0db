// What a session asks of the disks behind the simulator: open and close handles, and
// resolve a transfer into the stretches of storage it moves. The disk store implements it;
// the I/O-error fault is a layer over it (fault_filters.h).
#ifndef HXA_SIMULATOR_DISK_SERVICE_H
#define HXA_SIMULATOR_DISK_SERVICE_H

#include <cstdint>
#include <string>
#include <vector>

namespace hxasim {

enum class Transport { kSan, kLan };

// One stretch of a transfer: `len` bytes at `pos` of descriptor `fd`, or a hole (fd -1)
// that has no storage and reads as zeros.
struct Extent {
    int fd = -1;
    int lun = -1;  // index of the LUN (address maps); -1 for holes and flat images
    uint64_t pos = 0;
    uint64_t len = 0;
};

enum class TransferKind {
    kRead,   // LAN read: needs read access; never allocates
    kWrite,  // LAN write: needs write access; allocates the range
    kZero,   // LAN data-less write: needs write access; allocates nothing
    kMap,    // address map: allocates the range when the handle may write
};

// Makes `len` bytes at `pos` of `fd` read as zeros (punches a hole where the file system
// allows it, writes zeros otherwise). False with errno set on failure.
bool zero_range(int fd, uint64_t pos, uint64_t len);

// What a transfer request resolves to.
struct TransferPlan {
    uint16_t result = 0;  // protocol result code
    std::string why;      // the reason, when result is not 0
    std::string fault;    // the label of the injected fault that gave the result, if one did
    std::vector<Extent> extents;
};

class DiskService {
  public:
    virtual ~DiskService() = default;
    // Each returns a protocol result code and, when not 0, the reason in `why`. Handles
    // belong to the connection `conn` that opened them.
    virtual uint16_t open(uint64_t conn, Transport transport, const std::string& path,
                          const std::string& token, uint16_t open_mode, uint32_t& handle,
                          std::string& why) = 0;
    virtual uint16_t close(uint64_t conn, Transport transport, uint32_t handle,
                           std::string& why) = 0;
    // Checks a transfer on `handle` and resolves the range into extents, allocating
    // storage first where the kind requires it.
    virtual TransferPlan plan(uint64_t conn, Transport transport, TransferKind kind,
                              uint32_t handle, uint64_t offset, uint64_t length) = 0;
    // Whether `handle`, open on connection `conn`, may write (its address maps are the ones
    // to write through); false for an unknown handle.
    virtual bool may_write(uint64_t conn, uint32_t handle) = 0;
    // The 16 identifier bytes of a LUN, for address-map records.
    virtual const unsigned char* lun_wwn(int lun) const = 0;
};

}  // namespace hxasim

#endif  // HXA_SIMULATOR_DISK_SERVICE_H
