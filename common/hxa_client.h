// A raw client of the HXA disk-service protocol, plain TCP or TLS, that speaks the wire format
// directly and independently of the library: for the tests of the simulator and for the raw
// baseline of the library benchmark. Requests and replies move with as few calls as the
// protocol allows (a write request and its data in one sendmsg, read data straight into the
// caller's buffer).
#ifndef ZEV_COMMON_HXA_CLIENT_H
#define ZEV_COMMON_HXA_CLIENT_H

#include <openssl/ssl.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "hxa_protocol.h"

namespace zev_common {

// Result of an exchange that failed itself (connection, framing, or a reply for another
// operation), beside the protocol's result codes.
constexpr uint16_t kExchangeFailed = 0xFFFF;

class HxaClient {
  public:
    using Bytes = std::vector<unsigned char>;

    HxaClient() = default;
    ~HxaClient();
    HxaClient(const HxaClient&) = delete;
    HxaClient& operator=(const HxaClient&) = delete;

    // Connects to 127.0.0.1:port (TCP_NODELAY, 30-second send and receive time-outs so that
    // a silent peer cannot hang the caller), with a TLS handshake when `tls`. "" or the reason.
    std::string connect(uint16_t port, bool tls = false);
    // Closes the connection; with `close_notify`, a TLS connection first sends its close_notify.
    void close(bool close_notify = false);
    // Ends a TLS connection that carried no request the way a host would: close_notify, then
    // reading until the server has closed too (closing with the server's session tickets
    // unread would reset the connection).
    void finish_tls();
    // The negotiated cipher, "none" in plain TCP.
    std::string cipher() const;

    bool send_bytes(const void* data, size_t size);
    bool recv_bytes(void* data, size_t size);
    // True when the peer has closed the connection (the next read yields end of stream).
    bool peer_closed();

    // A request header for `op` with `length` payload bytes, the next sequence number and a
    // correct checksum, followed by the payload.
    Bytes request(uint16_t op, const void* payload, uint32_t length);
    // Sends that request; with `data`, `data_size` bytes follow it (one sendmsg in plain TCP,
    // two writes under TLS).
    bool send_request(uint16_t op, const void* payload, uint32_t length, const void* data = nullptr,
                      size_t data_size = 0);
    // Reads one reply: header and payload (refusing more than 64 MiB of payload).
    bool reply(hxa::MsgHeader& header, Bytes& payload);
    // Reads one reply for `op` whose payload fits `max` bytes at `payload`; `length` is its size.
    bool recv_reply(uint16_t op, void* payload, uint32_t max, uint32_t& length);
    // Reads the reply of a LAN transfer for `op`: header and transfer head in one receive; the
    // payload must be exactly the head.
    bool recv_transfer(uint16_t op, hxa::TransferReplyHead& head);

    // One request and its reply; the reply must carry `op`. Results are protocol codes, or
    // kExchangeFailed.
    uint16_t open_lan(const std::string& path, const std::string& token, uint16_t mode,
                      uint32_t& handle);
    uint16_t open_san(const std::string& path, const std::string& token, uint32_t& handle);
    uint16_t close_disk(uint16_t op, uint32_t handle);
    uint16_t lan_read(uint32_t handle, uint64_t offset, uint32_t length, Bytes& data);
    // The same into `out` (room for `length` bytes); `count` is the number of bytes read.
    uint16_t lan_read(uint32_t handle, uint64_t offset, uint32_t length, void* out,
                      uint32_t& count);
    uint16_t lan_write(uint32_t handle, uint64_t offset, const void* data, uint32_t length);
    uint16_t lan_write(uint32_t handle, uint64_t offset, const Bytes& data) {
        return lan_write(handle, offset, data.data(), static_cast<uint32_t>(data.size()));
    }
    uint16_t lan_zero(uint32_t handle, uint64_t offset, uint32_t length);
    uint16_t san_map(uint32_t handle, uint64_t offset, uint64_t length,
                     std::vector<vhd_Rec>& records);

    uint32_t next_seq = 0;

  private:
    // Sends an open request and reads its reply; stores the handle on success.
    uint16_t open_exchange(uint16_t op, const void* req, uint32_t size, uint32_t& handle);
    // Sends (`out`) or receives exactly `size` bytes at `p`.
    bool move_all(char* p, size_t size, bool out);

    int fd_ = -1;
    SSL* ssl_ = nullptr;
};

}  // namespace zev_common

#endif  // ZEV_COMMON_HXA_CLIENT_H
