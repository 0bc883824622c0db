// The bytes of one connection: a plain socket or a TLS session over it, behind one small
// interface that the faults of the stream stack on (see fault_filters.h).
#ifndef HXA_SIMULATOR_LINK_H
#define HXA_SIMULATOR_LINK_H

#include <openssl/ssl.h>
#include <sys/types.h>

#include <cstddef>

namespace hxasim {

class Link {
  public:
    // What receive returns when a fault has ended the connection and logged why: the
    // session ends without logging it again.
    static constexpr ssize_t kEndedByFault = -2;

    virtual ~Link() = default;
    // One receive of at most `size` bytes: their number, 0 when the peer closed cleanly,
    // -1 on failure, kEndedByFault.
    virtual ssize_t receive(void* data, size_t size) = 0;
    // One send of at most `size` bytes: their number (at least 1), or -1 on failure.
    virtual ssize_t send(const void* data, size_t size) = 0;
    // Pushes out what a TLS session still holds; false on failure or after a cut.
    virtual bool flush() = 0;
    // Waits until the peer closes the connection or the simulator shuts it down, for at most
    // `timeout_ms` milliseconds when that is not negative; incoming data does not end the
    // wait. True when the connection was closed.
    virtual bool wait_for_close(double timeout_ms) = 0;
    // Cuts the connection under its TLS session: shut down (the peer sees the end of the
    // stream) or, with `reset`, aborted when the descriptor is closed.
    virtual void cut(bool reset) = 0;
};

// The socket itself, with or without TLS.
class SocketLink : public Link {
  public:
    SocketLink(int fd, SSL* ssl) : fd_(fd), ssl_(ssl) {}
    ssize_t receive(void* data, size_t size) override;
    ssize_t send(const void* data, size_t size) override;
    bool flush() override;
    bool wait_for_close(double timeout_ms) override;
    void cut(bool reset) override;
    bool was_cut() const { return cut_; }

  private:
    int fd_;
    SSL* ssl_;
    bool cut_ = false;
};

// A layer over another link that passes every call on; faults override what they change.
class LinkFilter : public Link {
  public:
    explicit LinkFilter(Link& next) : next_(next) {}
    ssize_t receive(void* data, size_t size) override { return next_.receive(data, size); }
    ssize_t send(const void* data, size_t size) override { return next_.send(data, size); }
    bool flush() override { return next_.flush(); }
    bool wait_for_close(double timeout_ms) override { return next_.wait_for_close(timeout_ms); }
    void cut(bool reset) override { next_.cut(reset); }

  protected:
    Link& next_;
};

}  // namespace hxasim

#endif  // HXA_SIMULATOR_LINK_H
