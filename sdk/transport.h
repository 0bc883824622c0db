// The byte stream of the library's connections: the plain and the TLS transport behind
// CQuillonvardeSDKImpl::Transport, the table that keeps each connection's transport, and
// the socket calls they are made of (30-second limits that signals do not stretch, writes
// that cannot raise SIGPIPE). Internal to the library.
#ifndef QUILLONVARDE_SDK_TRANSPORT_H
#define QUILLONVARDE_SDK_TRANSPORT_H

#include <openssl/ssl.h>
#include <sys/uio.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>

#include "Quillonvarde_sdk_impl.h"

namespace qvsdk {

constexpr int kSocketTimeoutSeconds = 30;
// Buffer of OpenSSL's read-ahead: several records per socket read.
constexpr size_t kTlsReadBuffer = 256 * 1024;

// The reason text of OpenSSL's current error, never null.
const char* ssl_reason();

// The end of one socket call's 30-second limit, counted from the moment the call began. A
// call that a signal interrupted is continued within what is left, so that interruptions
// never stretch the limit.
class Deadline {
  public:
    Deadline()
        : end_(std::chrono::steady_clock::now() + std::chrono::seconds(kSocketTimeoutSeconds)) {}
    // Milliseconds left for poll, 0 once the limit has passed.
    int left_ms() const {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end_ - std::chrono::steady_clock::now());
        return left.count() > 0 ? static_cast<int>(left.count()) : 0;
    }

  private:
    std::chrono::steady_clock::time_point end_;
};

// Waits until `fd` is ready for `events` (POLLIN or POLLOUT), going on when a signal
// interrupts the wait. Returns 0 when ready (or in an error state that the next call on the
// socket reports), `timeout_errno` once the deadline has passed, or poll's own error.
int wait_ready(int fd, short events, const Deadline& deadline, int timeout_errno);

// Completes a connect that a signal interrupted: the connection goes on in the background
// and is established once the socket is writable. Returns 0, or the errno of the failed
// connection (EINPROGRESS, as the kernel reports it, when the time-out passes first).
int finish_interrupted_connect(int fd, const Deadline& deadline);

// Whether a failed TLS call was only interrupted by a signal; then `events` tells what the
// session waits for before the call is repeated.
bool tls_interrupted(SSL* ssl, int ret, int err, short* events);

// Hands the connected socket to the TLS session through a socket BIO whose writes cannot
// raise SIGPIPE (the socket stays the object's: the BIO never closes it). False when OpenSSL
// cannot allocate the BIO.
bool attach_socket(SSL* ssl, int fd);

// The outcome of one read or write call on the connection.
struct Piece {
    long ret;            // bytes moved, or negative on failure
    int err;             // errno after the call
    const char* reason;  // error text of a failure
};

}  // namespace qvsdk

// The byte stream of one connection, chosen once by ConnectHXA: plain TCP or TLS. Each call
// moves at most `chunk` bytes (one system or OpenSSL call, repeated only when a signal
// interrupted it); a gathered send moves what it can of `parts`.
class CQuillonvardeSDKImpl::Transport {
  public:
    virtual ~Transport() = default;
    virtual qvsdk::Piece receive(char* pos, int chunk) = 0;
    virtual qvsdk::Piece send(struct iovec* parts, int count) = 0;
    // Whether this is the transport of the object's present connection fields.
    virtual bool serves(const CQuillonvardeSDKImpl* owner) const = 0;
};

namespace qvsdk {

// Plain TCP. Sends gather their parts into one sendmsg. Receives read ahead: a receive of
// fewer than kReadAhead bytes takes, in one read, whatever has arrived up to kReadAhead
// bytes, and keeps what its message did not need for the next receive. A reply header, its
// payload and a small data block then cost one read instead of three. The bytes kept still
// belong to the stream: the next receive takes them first, exactly as it would have read them
// from the socket, so every message sees the same bytes in the same order. They end with the
// transport. Larger receives go straight into the caller's memory.
class PlainTransport final : public CQuillonvardeSDKImpl::Transport {
  public:
    static constexpr size_t kReadAhead = 16 * 1024;

    // Without `readAhead` (or without memory for it) every receive is a read of its own.
    PlainTransport(const CQuillonvardeSDKImpl* owner, int fd, bool readAhead);
    Piece receive(char* pos, int chunk) override;
    Piece send(struct iovec* parts, int count) override;
    bool serves(const CQuillonvardeSDKImpl* owner) const override;

  private:
    Piece read_into(char* pos, int chunk);

    const CQuillonvardeSDKImpl* owner_;
    int fd_;
    std::unique_ptr<char[]> ahead_;
    size_t begin_ = 0;
    size_t end_ = 0;  // the bytes not yet taken are [begin_, end_)
};

// TLS over the connection's session. OpenSSL reads ahead itself (see ConnectHXA). A gathered
// send writes its first part only: SSL_write takes one block, and the caller goes on with
// the rest.
class TlsTransport final : public CQuillonvardeSDKImpl::Transport {
  public:
    TlsTransport(const CQuillonvardeSDKImpl* owner, int fd, SSL* ssl);
    Piece receive(char* pos, int chunk) override;
    Piece send(struct iovec* parts, int count) override;
    bool serves(const CQuillonvardeSDKImpl* owner) const override;

  private:
    template <typename Io>
    Piece call(Io io);

    const CQuillonvardeSDKImpl* owner_;
    int fd_;
    SSL* ssl_;
};

// The slot of descriptor `fd` in the process's table of transports; null for a descriptor
// beyond the table or when memory is short. A slot is written only by the object that owns the
// descriptor (one thread at a time), so looking a transport up takes no lock: the slots are
// atomic and their pages, made on first use, are never freed.
std::atomic<CQuillonvardeSDKImpl::Transport*>* transport_slot(int fd);

// A transport for the object's present connection fields; null when memory is short.
CQuillonvardeSDKImpl::Transport* make_transport(const CQuillonvardeSDKImpl* self);

// The transport of one send or receive: the connection's own, or, when the process has no
// slot for it, one for this call alone, without read-ahead.
class CallTransport {
  public:
    explicit CallTransport(CQuillonvardeSDKImpl* self);
    CQuillonvardeSDKImpl::Transport* operator->() { return transport_; }

  private:
    std::optional<PlainTransport> plain_;
    std::optional<TlsTransport> tls_;
    CQuillonvardeSDKImpl::Transport* transport_;
};

}  // namespace qvsdk

#endif  // QUILLONVARDE_SDK_TRANSPORT_H
