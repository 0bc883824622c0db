// hxa-simulator: a stand-in for the HXA service on loopback, for tests and demos of
// libquillonvarde_sdk. See options.cpp (or --help) for the command line.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <list>
#include <memory>
#include <string>
#include <system_error>
#include <thread>

#include "command_line.h"
#include "connection.h"
#include "disk_store.h"
#include "faults.h"
#include "options.h"
#include "sim_log.h"
#include "tls_server.h"

using namespace hxasim;

namespace {

using ull = unsigned long long;

struct Connection {
    uint64_t id = 0;
    int fd = -1;  // closed by the main thread after the worker has been joined
    std::atomic<bool> done{false};
    std::thread worker;
};

// Outgoing TLS records gather up to this many bytes before a socket write: a 4 MiB reply
// leaves in 16 writes rather than 256, one per 16 KiB record.
constexpr int kTlsOutputBuffer = 256 << 10;

// What every connection shares.
struct Shared {
    DiskStore* store;
    SSL_CTX* ctx;
    ServiceContext service;
    int wake_fd;
};

void serve_connection(Connection* c, Shared shared) {
    DiskStore* store = shared.store;
    SSL_CTX* ctx = shared.ctx;
    SSL* ssl = nullptr;
    bool ready = true;
    if (ctx != nullptr) {
        ssl = SSL_new(ctx);
        if (ssl == nullptr || !attach_tls_socket(ssl, c->fd, kTlsOutputBuffer)) {
            log_error("conn %llu: cannot create the TLS session: %s", static_cast<ull>(c->id),
                      openssl_error_text().c_str());
            ready = false;
        } else if (SSL_accept(ssl) != 1) {
            log_error("conn %llu: TLS handshake failed: %s", static_cast<ull>(c->id),
                      openssl_error_text().c_str());
            ready = false;
        } else {
            log_info("conn %llu: %s established, cipher %s", static_cast<ull>(c->id),
                     SSL_get_version(ssl), SSL_get_cipher_name(ssl));
        }
    }
    if (ready) {
        const bool cut = serve_requests(shared.service, c->id, c->fd, ssl);
        // A cut connection ends under its TLS session, without the closing alert.
        if (ssl != nullptr && !cut && SSL_shutdown(ssl) >= 0) flush_tls_output(ssl);
    }
    if (ssl != nullptr) SSL_free(ssl);
    size_t left_open = store->close_all(c->id);
    log_info("conn %llu: closed%s", static_cast<ull>(c->id),
             left_open
                 ? (", " + std::to_string(left_open) + " disk(s) left open were closed").c_str()
                 : "");
    c->done = true;
    char byte = 1;
    ssize_t ignored = write(shared.wake_fd, &byte, 1);
    (void)ignored;
}

void reap(std::list<std::unique_ptr<Connection>>& conns, bool all) {
    for (auto it = conns.begin(); it != conns.end();) {
        Connection& c = **it;
        if (all && !c.done) shutdown(c.fd, SHUT_RDWR);
        if (all || c.done) {
            c.worker.join();
            close(c.fd);
            it = conns.erase(it);
        } else {
            ++it;
        }
    }
}

int listen_on(const Options& o, uint16_t& port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        log_error("socket: %s", std::strerror(errno));
        return -1;
    }
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons(o.port);
    inet_pton(AF_INET, o.address.c_str(), &a.sin_addr);
    if (bind(fd, reinterpret_cast<struct sockaddr*>(&a), sizeof a) != 0 || listen(fd, 16) != 0) {
        log_error("cannot listen on %s:%u: %s", o.address.c_str(), o.port, std::strerror(errno));
        close(fd);
        return -1;
    }
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<struct sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return fd;
}

bool setup_store(const Options& o, DiskStore& store) {
    std::string error;
    for (const auto& t : o.tokens) store.add_token(t);
    for (const auto& l : o.luns)
        if (!store.add_lun(l, error)) break;
    if (error.empty())
        for (const auto& d : o.flat_disks)
            if (!store.add_flat_disk(d, error)) break;
    if (error.empty())
        for (const auto& d : o.lun_disks)
            if (!store.add_lun_disk(d, error)) break;
    if (!error.empty()) {
        log_error("%s", error.c_str());
        return false;
    }
    return true;
}

// SIGINT and SIGTERM are taken by the main loop only: blocked before any thread exists
// (threads inherit the mask) and read through a signal descriptor. The wake pipe tells the
// loop that a connection ended.
bool take_stop_signals(int& sig_fd, int wake[2]) {
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    sigprocmask(SIG_BLOCK, &stop_signals, nullptr);
    sig_fd = signalfd(-1, &stop_signals, SFD_CLOEXEC);
    if (sig_fd < 0 || pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        log_error("signal set-up: %s", std::strerror(errno));
        return false;
    }
    return true;
}

// The TLS context, and with --print-fingerprint its certificate's fingerprint; false after
// logging why not.
bool make_tls(const Options& o, SSL_CTX*& ctx, std::string& fingerprint) {
    if (!o.tls) return true;
    std::string error;
    ctx = make_server_context(o.cert_file, o.key_file, error);
    if (ctx == nullptr) {
        log_error("%s", error.c_str());
        return false;
    }
    if (!o.print_fingerprint) return true;
    fingerprint = certificate_fingerprint(ctx, error);
    if (!fingerprint.empty()) return true;
    log_error("%s", error.c_str());
    SSL_CTX_free(ctx);
    ctx = nullptr;
    return false;
}

// The start-up log, then the lines a starter waits for on standard output: the fingerprint
// first, so whoever waits for the listening line has it by then.
void announce(const Options& o, const DiskStore& store, uint16_t port,
              const std::string& fingerprint) {
    for (const auto& line : store.describe()) log_info("%s", line.c_str());
    log_info("serving %s on %s:%u, chunk size %llu, %s headers", o.tls ? "TLS" : "plain TCP",
             o.address.c_str(), port, static_cast<ull>(o.chunk_size),
             o.strict_headers ? "strict" : "lenient");
    const std::string fault_text = describe_faults(o.faults);
    if (!fault_text.empty()) log_info("faults: %s", fault_text.c_str());
    if (!fingerprint.empty()) std::printf("tls-fingerprint %s\n", fingerprint.c_str());
    std::printf("listening on %s:%u\n", o.address.c_str(), port);
    std::fflush(stdout);
}

// Takes a waiting connection and starts its worker, unless too many are open.
void accept_connection(int listen_fd, unsigned max_connections, const Shared& shared,
                       std::list<std::unique_ptr<Connection>>& conns, uint64_t& next_id) {
    int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
        if (errno != EINTR && errno != EAGAIN && errno != ECONNABORTED)
            log_error("accept: %s", std::strerror(errno));
        return;
    }
    if (conns.size() >= max_connections) {
        log_error("refusing a connection: %zu connections are open", conns.size());
        close(fd);
        return;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto c = std::make_unique<Connection>();
    c->id = next_id++;
    c->fd = fd;
    log_info("conn %llu: accepted", static_cast<ull>(c->id));
    try {
        c->worker = std::thread(serve_connection, c.get(), shared);
    } catch (const std::system_error& e) {
        log_error("conn %llu: cannot start a thread: %s", static_cast<ull>(c->id), e.what());
        close(fd);
        return;
    }
    conns.push_back(std::move(c));
}

// Serves connections until SIGINT or SIGTERM, then ends every connection.
void serve(int listen_fd, int sig_fd, int wake_fd, unsigned max_connections, const Shared& shared) {
    std::list<std::unique_ptr<Connection>> conns;
    uint64_t next_id = 1;
    for (;;) {
        struct pollfd fds[3] = {{listen_fd, POLLIN, 0}, {sig_fd, POLLIN, 0}, {wake_fd, POLLIN, 0}};
        if (poll(fds, 3, -1) < 0) {
            if (errno == EINTR) continue;
            log_error("poll: %s", std::strerror(errno));
            break;
        }
        if (fds[1].revents) {
            struct signalfd_siginfo si;
            if (read(sig_fd, &si, sizeof si) == sizeof si)
                log_info("received %s, stopping", strsignal(static_cast<int>(si.ssi_signo)));
            break;
        }
        if (fds[2].revents) {
            char drain[64];
            while (read(wake_fd, drain, sizeof drain) > 0) {
            }
        }
        reap(conns, false);
        if (fds[0].revents) accept_connection(listen_fd, max_connections, shared, conns, next_id);
    }
    close(listen_fd);
    reap(conns, true);
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    std::string error;
    if (!parse_options(argc, argv, o, error) || !(error = missing_files(o)).empty()) {
        std::fputs(zevcli::usage_error_text("hxa-simulator", error).c_str(), stderr);
        return zevcli::kUsageError;
    }
    if (o.help || o.version) {
        std::fputs((o.help ? usage_text() : version_text() + "\n").c_str(), stdout);
        return 0;
    }
    set_verbosity(o.verbosity);
    signal(SIGPIPE, SIG_IGN);
    int sig_fd = -1;
    int wake[2];
    if (!take_stop_signals(sig_fd, wake)) return 1;

    DiskStore store(o.chunk_size, o.max_extents);
    if (!setup_store(o, store)) return 1;
    if (o.tokens.empty()) log_info("no --token given: every open is refused with result 3");
    SSL_CTX* ctx = nullptr;
    std::string fingerprint;
    if (!make_tls(o, ctx, fingerprint)) return 1;
    uint16_t port = 0;
    int listen_fd = listen_on(o, port);
    if (listen_fd < 0) {
        SSL_CTX_free(ctx);
        return 1;
    }
    announce(o, store, port, fingerprint);

    FaultCounter fault_counter;
    FaultLimit fault_limit(fault_counter, o.faults.fault_limit);
    FaultSource& fault_source =
        o.faults.fault_limit != 0 ? static_cast<FaultSource&>(fault_limit) : fault_counter;
    DataTotals totals;
    const Shared shared{
        &store, ctx, {&store, o.strict_headers, &o.faults, &fault_source, &totals}, wake[1]};
    serve(listen_fd, sig_fd, wake[0], o.max_connections, shared);
    SSL_CTX_free(ctx);
    close(wake[0]);
    close(wake[1]);
    close(sig_fd);
    log_info("data moved: %llu bytes read, %llu bytes written", static_cast<ull>(totals.read),
             static_cast<ull>(totals.written));
    log_info("bytes on the connections: %llu received, %llu sent",
             static_cast<ull>(totals.received), static_cast<ull>(totals.sent));
    log_info("stopped");
    return 0;
}
