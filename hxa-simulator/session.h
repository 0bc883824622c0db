// One client connection of the HXA service simulator: reads requests, answers each with
// the same operation code, and moves LAN data between the connection and the disks.
#ifndef HXA_SIMULATOR_SESSION_H
#define HXA_SIMULATOR_SESSION_H

#include <openssl/ssl.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "disk_store.h"
#include "faults.h"
#include "hxa_protocol.h"

namespace hxasim {

// Exact-count reads and writes over a plain socket or a TLS session. Reads go through a
// small input buffer, so that a request header and its payload (and the start of the data
// of a write) usually arrive with one receive call; large reads bypass the buffer once it
// is empty.
//
// The stream counts the bytes it receives and sends (the plain text, in TLS). With the
// faults of a connection that has a drop limit, it moves no byte past that limit: on
// reaching it, it cuts the connection (under the TLS session, which is not ended), wherever
// that falls, in a request, a reply or the data of a transfer. Every read and write fails
// after the cut.
class Stream {
  public:
    enum class ReadResult { kOk, kEof, kError };

    Stream(int fd, SSL* ssl, ConnectionFaults* faults = nullptr)
        : fd_(fd), ssl_(ssl), faults_(faults), in_(kInputBuffer) {}
    // kEof only when the peer closed before the first byte.
    ReadResult read_exact(void* data, size_t size);
    bool write_all(const void* data, size_t size);
    // Waits until the peer closes the connection or the simulator shuts it down, for at most
    // `timeout_ms` milliseconds when that is not negative; incoming data does not end the
    // wait. True when the connection was closed.
    bool wait_for_close(double timeout_ms);
    uint64_t bytes_sent() const { return sent_; }
    bool was_cut() const { return cut_; }

  private:
    // Holds the largest request (header and payload); little of the data behind a write
    // request passes through it, the rest is received in place.
    static constexpr size_t kInputBuffer = 4096;
    // One receive call of at most `size` bytes: their number, 0 when the peer closed
    // cleanly, -1 on failure.
    ssize_t receive(void* data, size_t size);
    // How many of `size` bytes the next receive or send may move.
    size_t allowance(size_t size) const;
    // Counts `n` bytes moved and cuts the connection when they reach its drop limit.
    void moved(size_t n, uint64_t& counter);

    int fd_;
    SSL* ssl_;
    ConnectionFaults* faults_;
    std::vector<char> in_;
    size_t in_pos_ = 0;  // unread input is in_[in_pos_, in_end_)
    size_t in_end_ = 0;
    uint64_t received_ = 0;
    uint64_t sent_ = 0;
    bool cut_ = false;
};

// Disk data served over all connections, logged when the simulator stops: LAN read data
// sent and LAN write data received and written, plus the ranges of address maps (maps of
// handles that may write count as written, the others as read).
struct DataTotals {
    std::atomic<uint64_t> read{0};
    std::atomic<uint64_t> written{0};
};

class Session {
  public:
    Session(DiskStore& store, Stream& stream, uint64_t conn_id, bool strict_headers,
            ConnectionFaults& faults, DataTotals& totals);
    // Serves requests until the peer closes, the connection fails or a request leaves the
    // stream without a recognisable message boundary. A connection that stalls is left
    // unanswered until the peer closes it or the simulator shuts it down.
    void run();

  private:
    bool serve_one();
    // Waits the reply delay, if any, before a reply goes out.
    void delay_reply();
    void log_io_fault(uint16_t op, uint32_t handle, uint64_t offset, uint64_t length,
                      uint16_t result, const std::string& label);
    static hxa::MsgHeader reply_header(const hxa::MsgHeader& request, uint32_t length);
    bool send_reply(const hxa::MsgHeader& request, const void* payload, uint32_t length);
    bool send_transfer_reply(const hxa::MsgHeader& request, uint16_t result, uint32_t count);
    bool drain(uint64_t bytes);
    // Whether the request carries the payload its operation takes; logs it when not.
    bool payload_fits(const hxa::MsgHeader& h) const;
    bool handle_open(const hxa::MsgHeader& h, const unsigned char* payload, bool header_ok);
    bool handle_close(const hxa::MsgHeader& h, const unsigned char* payload, bool header_ok);
    bool handle_lan_transfer(const hxa::MsgHeader& h, const unsigned char* payload, bool header_ok);
    bool handle_map(const hxa::MsgHeader& h, const unsigned char* payload, bool header_ok);
    // Sends the successful reply of a LAN read and its data; the reply travels in one send
    // with the first block of data.
    bool stream_out(const hxa::MsgHeader& request, uint32_t count,
                    const std::vector<Extent>& extents);
    // Data area of io_buffer_, grown on demand up to kIoBlock bytes; `need` bytes wanted.
    char* data_block(uint64_t need, size_t& size);
    bool stream_in(const std::vector<Extent>& extents, uint16_t& result);
    bool zero_out(const std::vector<Extent>& extents);

    DiskStore& store_;
    Stream& stream_;
    const uint64_t conn_;
    const bool strict_headers_;
    ConnectionFaults& faults_;
    DataTotals& totals_;
    uint64_t answered_ = 0;  // requests served on this connection
    bool have_seq_ = false;
    uint32_t last_seq_ = 0;
    // Reply head of a LAN read, then the data area.
    std::vector<char> io_buffer_;
};

// Largest request payload: what fits the client's fixed 1024-byte message area.
constexpr uint32_t kMaxRequestPayload = hxa::kMessageAreaSize - hxa::kHeaderSize;

}  // namespace hxasim

#endif  // HXA_SIMULATOR_SESSION_H
