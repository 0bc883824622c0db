// One client connection of the HXA service simulator: reads requests, answers each with
// the same operation code, and moves LAN data between the connection and the disks.
#ifndef HXA_SIMULATOR_SESSION_H
#define HXA_SIMULATOR_SESSION_H

#include <openssl/ssl.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "disk_store.h"
#include "hxa_protocol.h"

namespace hxasim {

// Exact-count reads and writes over a plain socket or a TLS session. Reads go through a
// small input buffer, so that a request header and its payload (and the start of the data
// of a write) usually arrive with one receive call; large reads bypass the buffer once it
// is empty.
class Stream {
  public:
    enum class ReadResult { kOk, kEof, kError };

    Stream(int fd, SSL* ssl) : fd_(fd), ssl_(ssl), in_(kInputBuffer) {}
    // kEof only when the peer closed before the first byte.
    ReadResult read_exact(void* data, size_t size);
    bool write_all(const void* data, size_t size);

  private:
    // Holds the largest request (header and payload); little of the data behind a write
    // request passes through it, the rest is received in place.
    static constexpr size_t kInputBuffer = 4096;
    // One receive call of at most `size` bytes: their number, 0 when the peer closed
    // cleanly, -1 on failure.
    ssize_t receive(void* data, size_t size);

    int fd_;
    SSL* ssl_;
    std::vector<char> in_;
    size_t in_pos_ = 0;  // unread input is in_[in_pos_, in_end_)
    size_t in_end_ = 0;
};

class Session {
  public:
    Session(DiskStore& store, Stream& stream, uint64_t conn_id, bool strict_headers);
    // Serves requests until the peer closes, the connection fails or a request leaves the
    // stream without a recognisable message boundary.
    void run();

  private:
    bool serve_one();
    static hxa::MsgHeader reply_header(const hxa::MsgHeader& request, uint32_t length);
    bool send_reply(const hxa::MsgHeader& request, const void* payload, uint32_t length);
    bool send_transfer_reply(const hxa::MsgHeader& request, uint16_t result, uint32_t count);
    bool drain(uint64_t bytes);
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
    bool have_seq_ = false;
    uint32_t last_seq_ = 0;
    // Reply head of a LAN read, then the data area.
    std::vector<char> io_buffer_;
};

// Largest request payload: what fits the client's fixed 1024-byte message area.
constexpr uint32_t kMaxRequestPayload = hxa::kMessageAreaSize - hxa::kHeaderSize;

}  // namespace hxasim

#endif  // HXA_SIMULATOR_SESSION_H
