// The two ends of a copy behind one interface: the local file and the disk. The copy loop
// moves every request by reading it from one end and writing it to the other, and knows
// neither which end is which nor how either reaches its bytes.
#ifndef QV_DISK_COPY_ENDS_H
#define QV_DISK_COPY_ENDS_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace qvdisk {

// Why a step failed, and whether trying it again may succeed (a lost or timed-out
// connection, an I/O failure reported by the service) or never will (a refused token, a
// missing disk, a range outside the disk, a full local disk).
struct Failure {
    std::string text;
    bool may_pass = false;
};

// One worker's access to an end: the local file is shared by every worker, the disk gets a
// connection of its own per worker. Positions count from the start of the transfer's range.
class Channel {
  public:
    virtual ~Channel() = default;
    // Makes the channel usable (the disk: connects and opens the disk). Called before every
    // attempt; does nothing when the channel is already usable.
    virtual bool ready(Failure& f) = 0;
    virtual bool read(uint64_t pos, size_t n, char* buf, Failure& f) = 0;
    virtual bool write(uint64_t pos, size_t n, const char* buf, Failure& f) = 0;
    // Work a sink does on a request's bytes before their write, outside the in-order
    // passage, so that workers do it side by side (the diff stream: comparing and
    // compressing blocks). Called once per request to be written, before write().
    virtual bool prepare(uint64_t /*pos*/, size_t /*n*/, const char* /*buf*/, Failure& /*f*/) {
        return true;
    }
    // Gives up the channel's state after a failure, so that ready() starts afresh (the disk:
    // a new connection and a new open).
    virtual void drop() {}
    // Ends the channel's work in order (the disk: closes the disk and the connection).
    virtual bool finish(Failure& f) = 0;
};

class End {
  public:
    virtual ~End() = default;
    virtual std::unique_ptr<Channel> channel() = 0;
    // Puts what was written so far on stable storage before the journal says it is done.
    virtual bool sync(Failure& f) = 0;
    // True when writes must arrive in the order of the range (a pipe cannot seek).
    virtual bool sequential() const { return false; }
};

}  // namespace qvdisk

#endif  // QV_DISK_COPY_ENDS_H
