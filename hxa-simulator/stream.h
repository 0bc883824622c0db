// Exact-count reads and writes over a link, for the request/reply exchange of a session.
#ifndef HXA_SIMULATOR_STREAM_H
#define HXA_SIMULATOR_STREAM_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "link.h"

namespace hxasim {

// Reads go through a small input buffer, so that a request header and its payload (and the
// start of the data of a write) usually arrive with one receive call; large reads bypass
// the buffer once it is empty. The stream counts the bytes it receives and sends (the plain
// text, in TLS).
class Stream {
  public:
    // kEof only when the peer closed before the first byte; kEndedByFault when a fault
    // ended the connection before the first byte and has logged it.
    enum class ReadResult { kOk, kEof, kError, kEndedByFault };

    explicit Stream(Link& link) : link_(link), in_(kInputBuffer) {}
    ReadResult read_exact(void* data, size_t size);
    bool write_all(const void* data, size_t size);
    bool wait_for_close(double timeout_ms) { return link_.wait_for_close(timeout_ms); }
    uint64_t bytes_sent() const { return sent_; }
    uint64_t bytes_received() const { return received_; }

  private:
    // Holds the largest request (header and payload); little of the data behind a write
    // request passes through it, the rest is received in place.
    static constexpr size_t kInputBuffer = 4096;

    Link& link_;
    std::vector<char> in_;
    size_t in_pos_ = 0;  // unread input is in_[in_pos_, in_end_)
    size_t in_end_ = 0;
    uint64_t sent_ = 0;
    uint64_t received_ = 0;
};

}  // namespace hxasim

#endif  // HXA_SIMULATOR_STREAM_H
