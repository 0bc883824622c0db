// Each fault a layer of its own: over the link of a connection (drop or reset, stall, reply
// delay) or over the disk service (I/O errors). A connection stacks only the faults that
// are switched on, so a simulator without faults serves through the bare layers.
#ifndef HXA_SIMULATOR_FAULT_FILTERS_H
#define HXA_SIMULATOR_FAULT_FILTERS_H

#include <cstdint>
#include <string>

#include "disk_service.h"
#include "faults.h"
#include "link.h"

namespace hxasim {

// Moves no byte past the connection's drop limit: on reaching it, wherever that falls (in
// a request, a reply or the data of a transfer), it cuts the connection, closed or reset as
// the settings say. Every receive and send fails after the cut.
class DropFilter : public LinkFilter {
  public:
    DropFilter(Link& next, ConnectionFaults& faults) : LinkFilter(next), faults_(faults) {}
    ssize_t receive(void* data, size_t size) override;
    ssize_t send(const void* data, size_t size) override;
    bool flush() override { return !cut_ && next_.flush(); }

  private:
    // How many of `size` bytes the next receive or send may move.
    size_t allowance(size_t size) const;
    // Counts `n` bytes moved and cuts the connection when they reach its drop limit.
    void moved(ssize_t n, uint64_t& counter);

    ConnectionFaults& faults_;
    uint64_t received_ = 0;
    uint64_t sent_ = 0;
    bool cut_ = false;
};

// Stops answering once the connection has answered the settings' number of requests:
// nothing more is read or answered until the peer closes the connection or the simulator
// shuts it down. A request counts as answered when the first read after its reply comes.
class StallFilter : public LinkFilter {
  public:
    StallFilter(Link& next, ConnectionFaults& faults) : LinkFilter(next), faults_(faults) {}
    ssize_t receive(void* data, size_t size) override;
    ssize_t send(const void* data, size_t size) override;

  private:
    ConnectionFaults& faults_;
    uint64_t answered_ = 0;
    bool replied_ = false;    // something was sent since the last receive
    bool at_request_ = true;  // the next receive starts a request
    bool stalled_ = false;
};

// Holds every reply back for the settings' delay before its first byte leaves; the wait
// ends early when the connection is closed, so that a stop is not held up.
class DelayFilter : public LinkFilter {
  public:
    DelayFilter(Link& next, double delay_ms) : LinkFilter(next), delay_ms_(delay_ms) {}
    ssize_t receive(void* data, size_t size) override;
    ssize_t send(const void* data, size_t size) override;

  private:
    const double delay_ms_;
    bool replying_ = false;  // the current reply has started
};

// Answers a drawn share of transfers with the failure of their kind instead of carrying
// them out: read failed for reads and for maps of handles that may only read, write failed
// for the others. The plan carries the fault's label for the session's log.
class IoErrorService : public DiskService {
  public:
    IoErrorService(DiskService& next, ConnectionFaults& faults) : next_(next), faults_(faults) {}
    uint16_t open(uint64_t conn, Transport transport, const std::string& path,
                  const std::string& token, uint16_t open_mode, uint32_t& handle,
                  std::string& why) override {
        return next_.open(conn, transport, path, token, open_mode, handle, why);
    }
    uint16_t close(uint64_t conn, Transport transport, uint32_t handle, std::string& why) override {
        return next_.close(conn, transport, handle, why);
    }
    TransferPlan plan(uint64_t conn, Transport transport, TransferKind kind, uint32_t handle,
                      uint64_t offset, uint64_t length) override;
    bool may_write(uint64_t conn, uint32_t handle) override {
        return next_.may_write(conn, handle);
    }
    const unsigned char* lun_wwn(int lun) const override { return next_.lun_wwn(lun); }

  private:
    DiskService& next_;
    ConnectionFaults& faults_;
};

}  // namespace hxasim

#endif  // HXA_SIMULATOR_FAULT_FILTERS_H
