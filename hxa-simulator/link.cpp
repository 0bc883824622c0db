#include "link.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>

#include "tls_server.h"

namespace hxasim {
namespace {

// Bounds one call, so that a count always fits the int of the TLS calls.
constexpr size_t kMaxCall = size_t(1) << 30;

}  // namespace

ssize_t SocketLink::receive(void* data, size_t size) {
    if (cut_) return -1;
    size = std::min(size, kMaxCall);
    if (ssl_ != nullptr) {
        // Nothing the session wrote may wait in the output buffer while it waits for the peer.
        if (!flush_tls_output(ssl_)) return -1;
        int r = SSL_read(ssl_, data, static_cast<int>(size));
        return r > 0 ? r : SSL_get_error(ssl_, r) == SSL_ERROR_ZERO_RETURN ? 0 : -1;
    }
    ssize_t n;
    do {
        n = recv(fd_, data, size, 0);
    } while (n < 0 && errno == EINTR);
    return n;
}

ssize_t SocketLink::send(const void* data, size_t size) {
    if (cut_) return -1;
    size = std::min(size, kMaxCall);
    if (ssl_ != nullptr) {
        int n = SSL_write(ssl_, data, static_cast<int>(size));
        return n > 0 ? n : -1;
    }
    ssize_t n;
    do {
        n = ::send(fd_, data, size, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n > 0 ? n : -1;
}

bool SocketLink::flush() { return !cut_ && (ssl_ == nullptr || flush_tls_output(ssl_)); }

bool SocketLink::wait_for_close(double timeout_ms) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point end =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(
                           std::chrono::duration<double, std::milli>(std::max(timeout_ms, 0.0)));
    // POLLRDHUP: the peer closed its side; POLLHUP: the simulator shut the socket down.
    // Incoming data (POLLIN) is not asked for.
    struct pollfd p = {fd_, POLLRDHUP, 0};
    for (;;) {
        struct timespec left_ts {};
        if (timeout_ms >= 0) {
            const auto left = std::max(end - Clock::now(), Clock::duration::zero());
            const auto secs = std::chrono::duration_cast<std::chrono::seconds>(left);
            left_ts.tv_sec = static_cast<time_t>(secs.count());
            left_ts.tv_nsec = static_cast<long>(
                std::chrono::duration_cast<std::chrono::nanoseconds>(left - secs).count());
        }
        int r = ppoll(&p, 1, timeout_ms >= 0 ? &left_ts : nullptr, nullptr);
        if (r >= 0) return r > 0;
        if (errno != EINTR) return true;
    }
}

void SocketLink::cut(bool reset) {
    // What was sent up to the cut leaves before it.
    if (ssl_ != nullptr) flush_tls_output(ssl_);
    if (reset) {
        // The main thread closes the descriptor as soon as the session has ended, which
        // follows at once; without lingering, that close aborts the connection.
        struct linger abort_on_close = {1, 0};
        setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
    } else {
        shutdown(fd_, SHUT_RDWR);
    }
    cut_ = true;
}

}  // namespace hxasim
