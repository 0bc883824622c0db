// A scripted HXA peer for the library's tests: a real TCP listener on 127.0.0.1 (ephemeral
// port), optionally speaking TLS with a throwaway self-signed certificate, that runs a
// script in its own thread against the one connection it accepts. The script reads exact
// byte counts (everything read is recorded), sends replies whole or in pieces, closes
// mid-reply and so on.
#ifndef TESTS_SDK_PEER_H
#define TESTS_SDK_PEER_H

#include <openssl/ssl.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testpeer {

using Bytes = std::vector<uint8_t>;

// One accepted connection, plain or TLS, as the script sees it.
class Conn {
  public:
    // Reads exactly n bytes (recorded); false when the connection ends first.
    bool read_exact(size_t n, Bytes* out = nullptr);
    // Reads until the client closes; returns everything read (recorded).
    Bytes read_all();
    // Sends all bytes in one write (or SSL_write).
    bool send(const Bytes& data);
    // Sends in pieces of `piece` bytes, each its own write.
    bool send_pieces(const Bytes& data, size_t piece);
    // Closes the connection (TLS: without close notification).
    void close();

    int fd = -1;
    SSL* ssl = nullptr;
    std::mutex* mutex = nullptr;
    Bytes* received = nullptr;

  private:
    long raw_read(uint8_t* p, size_t n);
    long raw_write(const uint8_t* p, size_t n);
};

// A self-signed EC certificate and key for 127.0.0.1, made in memory with the OpenSSL API.
struct TlsIdentity {
    TlsIdentity();
    ~TlsIdentity();
    EVP_PKEY* key = nullptr;
    X509* cert = nullptr;
};

class Peer {
  public:
    using Script = std::function<void(Conn&)>;

    // Listens at once; `tls` makes the peer complete a TLS handshake as server first.
    explicit Peer(bool tls = false);
    ~Peer();

    unsigned short port() const { return port_; }
    // Accepts one connection in a thread and runs `script` on it; the connection is closed
    // when the script returns.
    void serve(Script script);
    // Waits for the script to finish.
    void join();
    // Everything the peer has read so far.
    Bytes received();
    // False when the TLS handshake of the server side failed.
    bool handshake_ok() const { return handshake_ok_; }

  private:
    int listen_fd_ = -1;
    std::atomic<int> conn_fd_{-1};
    unsigned short port_ = 0;
    bool tls_ = false;
    bool handshake_ok_ = true;
    SSL_CTX* ctx_ = nullptr;
    TlsIdentity* identity_ = nullptr;
    std::thread thread_;
    std::mutex mutex_;
    Bytes received_;
};

// Little-endian builders for replies.
void put16(Bytes& b, uint16_t v);
void put32(Bytes& b, uint32_t v);
void put64(Bytes& b, uint64_t v);
// An 18-byte reply header with the given operation and length (other fields arbitrary).
Bytes reply_header(uint16_t operation, uint32_t length, uint16_t magic = 0x3535, uint32_t seqNo = 0,
                   uint32_t crc = 0);
// Whole replies: header and payload. Open: result and handle; close: result; transfer:
// any payload (see transfer_payload for result, count and records).
Bytes open_reply(uint16_t result, uint32_t handle, uint16_t operation = 1);
Bytes close_reply(uint16_t result, uint16_t operation = 2);
Bytes transfer_reply(uint16_t operation, const Bytes& payload);
// Parses bytes given as "35 35 00 ..." into a byte vector.
Bytes hex(const std::string& text);
std::string to_hex(const Bytes& b);
Bytes concat(std::initializer_list<Bytes> parts);

}  // namespace testpeer

#endif  // TESTS_SDK_PEER_H
