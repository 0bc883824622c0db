// One client connection of the HXA service simulator: reads requests, answers each with
// the same operation code, and moves LAN data between the connection and the disks.
#ifndef HXA_SIMULATOR_SESSION_H
#define HXA_SIMULATOR_SESSION_H

#include <openssl/ssl.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "disk_store.h"
#include "hxa_protocol.h"

namespace hxasim {

// Exact-count reads and writes over a plain socket or a TLS session.
class Stream {
  public:
    enum class ReadResult { kOk, kEof, kError };

    Stream(int fd, SSL* ssl) : fd_(fd), ssl_(ssl) {}
    // kEof only when the peer closed before the first byte.
    ReadResult read_exact(void* data, size_t size);
    bool write_all(const void* data, size_t size);

  private:
    int fd_;
    SSL* ssl_;
};

class Session {
  public:
    Session(DiskStore& store, Stream& stream, uint64_t conn_id, bool strict_headers);
    // Serves requests until the peer closes, the connection fails or a request leaves the
    // stream without a recognisable message boundary.
    void run();

  private:
    bool serve_one();
    bool send_reply(const hxa::MsgHeader& request, const void* payload, uint32_t length);
    bool send_transfer_reply(const hxa::MsgHeader& request, uint16_t result, uint32_t count);
    bool drain(uint64_t bytes);
    bool handle_open(const hxa::MsgHeader& h, const unsigned char* payload, bool header_ok);
    bool handle_close(const hxa::MsgHeader& h, const unsigned char* payload, bool header_ok);
    bool handle_lan_transfer(const hxa::MsgHeader& h, const unsigned char* payload, bool header_ok);
    bool handle_map(const hxa::MsgHeader& h, const unsigned char* payload, bool header_ok);
    bool stream_out(const std::vector<Extent>& extents);
    bool stream_in(const std::vector<Extent>& extents, uint16_t& result);
    bool zero_out(const std::vector<Extent>& extents);

    DiskStore& store_;
    Stream& stream_;
    const uint64_t conn_;
    const bool strict_headers_;
    bool have_seq_ = false;
    uint32_t last_seq_ = 0;
    std::vector<char> io_buffer_;
};

// Largest request payload: what fits the client's fixed 1024-byte message area.
constexpr uint32_t kMaxRequestPayload = hxa::kMessageAreaSize - hxa::kHeaderSize;

}  // namespace hxasim

#endif  // HXA_SIMULATOR_SESSION_H
