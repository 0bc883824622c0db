#include "transport.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

namespace qvsdk {
namespace {

// A write on a connection the peer has closed raises SIGPIPE, whose default action would end
// the host process. Writes on sockets never raise it: plain writes and OpenSSL's writes (see
// nosigpipe_socket_method) are sends with MSG_NOSIGNAL. Only a write on a descriptor that is
// not a socket needs a guard. While a guard lives, SIGPIPE is blocked in the calling thread; a
// SIGPIPE raised meanwhile is consumed (the write itself fails with EPIPE and is reported).
class SigpipeGuard {
  public:
    SigpipeGuard() {
        sigemptyset(&pipe_set_);
        sigaddset(&pipe_set_, SIGPIPE);
        sigset_t pending;
        sigemptyset(&pending);
        sigpending(&pending);
        was_pending_ = sigismember(&pending, SIGPIPE) == 1;
        blocked_ = pthread_sigmask(SIG_BLOCK, &pipe_set_, &old_mask_) == 0;
    }
    ~SigpipeGuard() {
        if (!blocked_) return;
        int saved = errno;
        if (!was_pending_) {
            sigset_t pending;
            sigemptyset(&pending);
            sigpending(&pending);
            if (sigismember(&pending, SIGPIPE) == 1) {
                struct timespec zero = {0, 0};
                while (sigtimedwait(&pipe_set_, nullptr, &zero) == -1 && errno == EINTR) {
                }
            }
        }
        pthread_sigmask(SIG_SETMASK, &old_mask_, nullptr);
        errno = saved;
    }
    SigpipeGuard(const SigpipeGuard&) = delete;
    SigpipeGuard& operator=(const SigpipeGuard&) = delete;

  private:
    sigset_t pipe_set_;
    sigset_t old_mask_;
    bool was_pending_ = false;
    bool blocked_ = false;
};
// One gathering write of `parts` on a plain connection. It cannot raise SIGPIPE: sendmsg with
// MSG_NOSIGNAL, or, on a descriptor that is not a socket, writev under a guard. A call that a
// signal interrupted is repeated once the socket is writable, within the call's own 30 seconds.
Piece send_vector(int fd, struct iovec* parts, int count) {
    const Deadline deadline;
    struct msghdr msg;
    std::memset(&msg, 0, sizeof msg);
    msg.msg_iov = parts;
    msg.msg_iovlen = static_cast<size_t>(count);
    for (;;) {
        errno = 0;
        long ret = sendmsg(fd, &msg, MSG_NOSIGNAL);
        if (ret < 0 && errno == ENOTSOCK) {
            SigpipeGuard guard;
            errno = 0;
            ret = writev(fd, parts, count);
        }
        int err = errno;
        if (ret >= 0) return {ret, err, nullptr};
        if (err != EINTR) return {ret, err, std::strerror(err)};
        err = wait_ready(fd, POLLOUT, deadline, EAGAIN);
        if (err != 0) return {-1, err, std::strerror(err)};
    }
}

// OpenSSL's socket BIO writes with write(), which raises SIGPIPE on a connection the peer has
// closed. The library's TLS sessions use a copy of that BIO whose writes go through
// send_vector, as the plain writes do, so no TLS call, handshake and shutdown included, can
// raise SIGPIPE, and no call has to block the signal. Everything else, reads and the
// descriptor controls included, is the socket BIO's own.
int nosigpipe_write(BIO* bio, const char* data, int size) {
    int fd = -1;
    BIO_get_fd(bio, &fd);
    // The data is only read from; iovec has no const form.
    struct iovec part = {const_cast<char*>(data), static_cast<size_t>(size)};
    const Piece piece = send_vector(fd, &part, 1);
    errno = piece.err;
    BIO_clear_retry_flags(bio);
    if (piece.ret <= 0 && BIO_sock_should_retry(static_cast<int>(piece.ret)))
        BIO_set_retry_write(bio);
    return static_cast<int>(piece.ret);
}

// The method of that BIO, made once per process and kept for its lifetime; null when OpenSSL
// cannot allocate it.
const BIO_METHOD* nosigpipe_socket_method() {
    static const BIO_METHOD* const method = []() -> const BIO_METHOD* {
        const BIO_METHOD* socket = BIO_s_socket();
        BIO_METHOD* m = BIO_meth_new(BIO_TYPE_SOCKET, "socket without SIGPIPE");
        if (m == nullptr) return nullptr;
        if (BIO_meth_set_write(m, nosigpipe_write) != 1 ||
            BIO_meth_set_read(m, BIO_meth_get_read(socket)) != 1 ||
            BIO_meth_set_puts(m, BIO_meth_get_puts(socket)) != 1 ||
            BIO_meth_set_ctrl(m, BIO_meth_get_ctrl(socket)) != 1 ||
            BIO_meth_set_create(m, BIO_meth_get_create(socket)) != 1 ||
            BIO_meth_set_destroy(m, BIO_meth_get_destroy(socket)) != 1) {
            BIO_meth_free(m);
            return nullptr;
        }
        return m;
    }();
    return method;
}

// Repeats a socket call that a signal interrupted. With the socket time-outs set, the kernel
// does not restart such a call, even under SA_RESTART handlers: it is not a failure, it is
// repeated once the connection is ready, within the call's own 30 seconds. `call(&events)`
// makes one attempt; it returns its outcome, or sets `events` to what it waits for and
// returns a negative result with errno EINTR to be repeated.
template <typename Call>
Piece repeat_interrupted(int fd, const char* (*reason)(int), Call call) {
    const Deadline deadline;
    for (;;) {
        short events = 0;
        errno = 0;
        const Piece piece = call(&events);
        if (events == 0) return piece;
        const int err = wait_ready(fd, events, deadline, EAGAIN);
        // Reported as the socket's time-out (or poll's error) would be.
        if (err != 0) return {-1, err, reason(err)};
    }
}

const char* system_reason(int err) { return std::strerror(err); }
const char* tls_reason(int) { return ssl_reason(); }

}  // namespace

// Hands the connected socket to the TLS session through that BIO (the socket stays the
// object's: the BIO never closes it). False when OpenSSL cannot allocate the BIO.
bool attach_socket(SSL* ssl, int fd) {
    const BIO_METHOD* method = nosigpipe_socket_method();
    BIO* bio = method != nullptr ? BIO_new(method) : nullptr;
    if (bio == nullptr) return false;
    BIO_set_fd(bio, fd, BIO_NOCLOSE);
    SSL_set_bio(ssl, bio, bio);
    return true;
}
// OpenSSL may have no reason text for an error; "%s" must never receive a null pointer.
const char* ssl_reason() {
    const char* reason = ERR_reason_error_string(ERR_get_error());
    return reason != nullptr ? reason : "unknown error";
}
int wait_ready(int fd, short events, const Deadline& deadline, int timeout_errno) {
    for (;;) {
        int left = deadline.left_ms();
        if (left == 0) return timeout_errno;
        struct pollfd p = {fd, events, 0};
        int n = poll(&p, 1, left);
        if (n > 0) return 0;
        if (n < 0 && errno != EINTR) return errno;
    }
}

int finish_interrupted_connect(int fd, const Deadline& deadline) {
    int err = wait_ready(fd, POLLOUT, deadline, EINPROGRESS);
    if (err != 0) return err;
    socklen_t len = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
    return err;
}

bool tls_interrupted(SSL* ssl, int ret, int err, short* events) {
    if (err != EINTR) return false;
    int reason = SSL_get_error(ssl, ret);
    if (reason != SSL_ERROR_WANT_READ && reason != SSL_ERROR_WANT_WRITE) return false;
    *events = reason == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN;
    return true;
}

PlainTransport::PlainTransport(const CQuillonvardeSDKImpl* owner, int fd, bool readAhead)
    : owner_(owner), fd_(fd) {
    if (readAhead) ahead_.reset(new (std::nothrow) char[kReadAhead]);
}

Piece PlainTransport::receive(char* pos, int chunk) {
    if (begin_ == end_) {
        if (!ahead_ || static_cast<size_t>(chunk) >= kReadAhead) return read_into(pos, chunk);
        const Piece piece = read_into(ahead_.get(), static_cast<int>(kReadAhead));
        if (piece.ret <= 0) return piece;
        begin_ = 0;
        end_ = static_cast<size_t>(piece.ret);
    }
    const size_t taken = std::min(end_ - begin_, static_cast<size_t>(chunk));
    std::memcpy(pos, ahead_.get() + begin_, taken);
    begin_ += taken;
    return {static_cast<long>(taken), 0, nullptr};
}

Piece PlainTransport::send(struct iovec* parts, int count) {
    return send_vector(fd_, parts, count);
}

bool PlainTransport::serves(const CQuillonvardeSDKImpl* owner) const {
    return owner == owner_ && owner->m_uiUseSSL == 0 && owner->m_iSocket == fd_;
}

Piece PlainTransport::read_into(char* pos, int chunk) {
    return repeat_interrupted(fd_, system_reason, [&](short* events) -> Piece {
        const long ret = read(fd_, pos, static_cast<size_t>(chunk));
        const int err = errno;
        if (ret >= 0) return {ret, err, nullptr};
        if (err == EINTR) *events = POLLIN;
        return {ret, err, std::strerror(err)};
    });
}

TlsTransport::TlsTransport(const CQuillonvardeSDKImpl* owner, int fd, SSL* ssl)
    : owner_(owner), fd_(fd), ssl_(ssl) {}

template <typename Io>
Piece TlsTransport::call(Io io) {
    if (ssl_ == nullptr) return {-1, 0, ssl_reason()};
    return repeat_interrupted(fd_, tls_reason, [&](short* events) -> Piece {
        ERR_clear_error();
        const long ret = io();
        const int err = errno;
        if (ret >= 0) return {ret, err, nullptr};
        if (tls_interrupted(ssl_, static_cast<int>(ret), err, events)) return {ret, err, nullptr};
        return {ret, err, ssl_reason()};
    });
}

Piece TlsTransport::receive(char* pos, int chunk) {
    return call([&] { return SSL_read(ssl_, pos, chunk); });
}

Piece TlsTransport::send(struct iovec* parts, int) {
    return call(
        [&] { return SSL_write(ssl_, parts[0].iov_base, static_cast<int>(parts[0].iov_len)); });
}

bool TlsTransport::serves(const CQuillonvardeSDKImpl* owner) const {
    return owner == owner_ && owner->m_uiUseSSL != 0 && owner->m_iSocket == fd_ &&
           owner->m_pSSL == ssl_;
}

std::atomic<CQuillonvardeSDKImpl::Transport*>* transport_slot(int fd) {
    using Slot = std::atomic<CQuillonvardeSDKImpl::Transport*>;
    constexpr size_t kPageSize = 1024;
    constexpr size_t kPages = 1024;
    // Never destroyed, so that a connection that outlives static destruction still finds it.
    static std::atomic<Slot*>* const pages = new std::atomic<Slot*>[kPages]();
    if (fd < 0 || static_cast<size_t>(fd) >= kPages * kPageSize) return nullptr;
    std::atomic<Slot*>& page = pages[static_cast<size_t>(fd) / kPageSize];
    Slot* slots = page.load(std::memory_order_acquire);
    if (slots == nullptr) {
        Slot* made = new (std::nothrow) Slot[kPageSize]();
        if (made == nullptr) return nullptr;
        if (page.compare_exchange_strong(slots, made, std::memory_order_acq_rel))
            slots = made;
        else
            delete[] made;  // another connection's thread made it first
    }
    return &slots[static_cast<size_t>(fd) % kPageSize];
}

CQuillonvardeSDKImpl::Transport* make_transport(const CQuillonvardeSDKImpl* self) {
    if (self->m_uiUseSSL != 0)
        return new (std::nothrow) TlsTransport(self, self->m_iSocket, self->m_pSSL);
    return new (std::nothrow) PlainTransport(self, self->m_iSocket, true);
}

CallTransport::CallTransport(CQuillonvardeSDKImpl* self) : transport_(self->transport()) {
    if (transport_ != nullptr) return;
    if (self->m_uiUseSSL != 0)
        transport_ = &tls_.emplace(self, self->m_iSocket, self->m_pSSL);
    else
        transport_ = &plain_.emplace(self, self->m_iSocket, false);
}

}  // namespace qvsdk

// The object's side of the table: the transport of its present connection fields.

CQuillonvardeSDKImpl::Transport* CQuillonvardeSDKImpl::transport() {
    std::atomic<Transport*>* slot = qvsdk::transport_slot(m_iSocket);
    if (slot == nullptr) return nullptr;
    Transport* present = slot->load(std::memory_order_acquire);
    if (present != nullptr && present->serves(this)) return present;
    // The fields changed since the transport was made (a connection set up by hand), or the
    // slot holds what a connection that ended without DisConnectHXA left behind.
    Transport* made = qvsdk::make_transport(this);
    if (made != nullptr) delete slot->exchange(made, std::memory_order_acq_rel);
    return made;
}

void CQuillonvardeSDKImpl::end_transport() {
    std::atomic<Transport*>* slot = qvsdk::transport_slot(m_iSocket);
    if (slot == nullptr) return;
    Transport* present = slot->load(std::memory_order_acquire);
    if (present != nullptr && present->serves(this) &&
        slot->compare_exchange_strong(present, nullptr, std::memory_order_acq_rel))
        delete present;
}
