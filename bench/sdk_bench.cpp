// qv-sdk-bench: libquillonvarde_sdk against hxa-simulator on loopback, side by side with raw
// baselines of its own, in one run.
//
// The library is loaded as a host loads it (a log function that discards, a level object).
// The raw baselines speak the same protocol with the least possible work:
//  - LAN (plain TCP and TLS): a minimal client and a minimal server (this program, started
//    again with --raw-server) in the same request/reply pattern: 18-byte header and
//    payload, the read reply followed by its data, the write request followed by its data,
//    over the same kind of socket and, under TLS, the same cipher;
//  - SAN: the same address-map round trip to the simulator, then pread/pwrite over the
//    same extents on the LUN files.
// The programs alternate; every figure is the median of the runs with their spread.
//
//   qv-sdk-bench [--quick] [--dir DIR] [--run-mib N] [--reps N] [--calls N] [--run-seconds S]
//
// As root, the run happens in a private mount namespace: the work directory becomes a tmpfs
// and /dev/disk/by-id gets the LUN names the library opens in the SAN transport. Elsewhere
// the SAN cases are skipped with the reason.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "Quillonvarde_sdk.h"
#include "bench_support.h"
#include "hxa_checksum.h"
#include "hxa_protocol.h"
#include "private_mounts.h"
#include "session.h"
#include "test_host.h"
#include "tls_server.h"

namespace {

constexpr uint64_t kKiB = 1024, kMiB = 1024 * 1024;
constexpr const char* kToken = "bench-token";
constexpr const char* kLanDisk = "/bench/lan0";
constexpr const char* kSanDisk = "/bench/san0";
const char* const kWwns[2] = {"6000c29a1b2c3d4e5f60718293a4b5c6",
                              "6000c29a1b2c3d4e5f60718293a4b5c7"};

[[noreturn]] void die(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::fputs("qv-sdk-bench: ", stderr);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
    zev_bench::stop_all_servers();
    std::exit(1);
}

double now_s() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double own_cpu_s() {
    struct timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// CPU time of every live thread of another process (its serving threads stay alive while
// their connection is open), from the first field of each task's schedstat, in seconds.
double process_cpu_s(pid_t pid) {
    std::string dir = "/proc/" + std::to_string(pid) + "/task";
    double total = 0;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return 0;
    while (struct dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        FILE* f = std::fopen((dir + "/" + e->d_name + "/schedstat").c_str(), "r");
        if (f == nullptr) continue;
        unsigned long long ns = 0;
        if (std::fscanf(f, "%llu", &ns) == 1) total += static_cast<double>(ns) * 1e-9;
        std::fclose(f);
    }
    closedir(d);
    return total;
}

// Resident memory of a process in KiB (VmRSS).
long rss_kib(pid_t pid) {
    std::string path = pid == 0 ? "/proc/self/status" : "/proc/" + std::to_string(pid) + "/status";
    FILE* f = std::fopen(path.c_str(), "r");
    if (f == nullptr) return -1;
    char line[256];
    long kib = -1;
    while (std::fgets(line, sizeof line, f))
        if (std::sscanf(line, "VmRSS: %ld kB", &kib) == 1) break;
    std::fclose(f);
    return kib;
}

// ---- data pattern: every 8-byte word is a function of a seed and its disk offset ----

uint64_t pattern_word(uint64_t seed, uint64_t offset) {
    uint64_t z = seed * 0x9E3779B97F4A7C15ull + (offset >> 3) + 1;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

void fill_pattern(uint64_t seed, uint64_t offset, char* p, size_t n) {
    for (size_t i = 0; i < n; i += 8) {
        uint64_t w = pattern_word(seed, offset + i);
        std::memcpy(p + i, &w, 8);
    }
}

bool check_pattern(uint64_t seed, uint64_t offset, const char* p, size_t n) {
    for (size_t i = 0; i < n; i += 8) {
        uint64_t w = pattern_word(seed, offset + i);
        if (std::memcmp(p + i, &w, 8) != 0) return false;
    }
    return true;
}

// ---- child processes that print "listening on ADDR:PORT" when ready ----

using Child = zev_bench::Server;

Child spawn(const std::vector<std::string>& args) {
    std::string error;
    Child c = zev_bench::start_server(args, error);
    if (c.pid < 0) die("%s", error.c_str());
    return c;
}

void stop(Child& c) { zev_bench::stop_server(c); }

// ---- a raw protocol connection, plain or TLS ----

SSL_CTX* client_context() {
    static SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    return ctx;
}

class RawConn {
  public:
    ~RawConn() { close_conn(); }

    bool connect_to(uint16_t port, bool tls) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in a {};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd_ < 0 || connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return false;
        int one = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (!tls) return true;
        ssl_ = SSL_new(client_context());
        return ssl_ != nullptr && SSL_set_fd(ssl_, fd_) == 1 && SSL_connect(ssl_) == 1;
    }

    std::string cipher() const { return ssl_ ? SSL_get_cipher_name(ssl_) : "none"; }

    // Ends a TLS connection that carried no request the way a host would: close_notify, then
    // reading until the server has closed too. Closing with the server's session tickets
    // still unread would reset the connection, which the simulator reports as an error.
    void finish_tls() {
        if (ssl_ == nullptr) return;
        SSL_shutdown(ssl_);
        char byte;
        while (SSL_read(ssl_, &byte, 1) > 0) {
        }
    }

    void close_conn() {
        if (ssl_ != nullptr) {
            SSL_shutdown(ssl_);
            SSL_free(ssl_);
            ssl_ = nullptr;
        }
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }

    bool send_all(const void* data, size_t size) {
        return move_all(const_cast<char*>(static_cast<const char*>(data)), size, true);
    }
    bool recv_all(void* data, size_t size) {
        return move_all(static_cast<char*>(data), size, false);
    }

    // Header and payload in one send; with `data`, the data follows (one writev in plain TCP).
    bool send_request(uint16_t op, const void* payload, uint32_t length, const char* data = nullptr,
                      size_t data_size = 0) {
        char msg[hxa::kMessageAreaSize];
        hxa::MsgHeader h{};
        h.magic = hxa::kMagic;
        h.operation = op;
        h.seqNo = seq_++;
        h.length = length;
        h.crc = hxa::header_crc(&h, offsetof(hxa::MsgHeader, crc));
        std::memcpy(msg, &h, sizeof h);
        std::memcpy(msg + sizeof h, payload, length);
        size_t head = sizeof h + length;
        if (data == nullptr || ssl_ != nullptr)
            return send_all(msg, head) && (data == nullptr || send_all(data, data_size));
        struct iovec iov[2] = {{msg, head}, {const_cast<char*>(data), data_size}};
        size_t left = head + data_size;
        int first = 0;
        while (left > 0) {
            struct msghdr m {};
            m.msg_iov = iov + first;
            m.msg_iovlen = static_cast<size_t>(2 - first);
            ssize_t n = sendmsg(fd_, &m, MSG_NOSIGNAL);
            if (n <= 0) return false;
            left -= static_cast<size_t>(n);
            for (size_t k = static_cast<size_t>(n); k > 0;) {
                size_t step = std::min(k, iov[first].iov_len);
                iov[first].iov_base = static_cast<char*>(iov[first].iov_base) + step;
                iov[first].iov_len -= step;
                k -= step;
                if (iov[first].iov_len == 0 && first < 1) ++first;
            }
        }
        return true;
    }

    // A reply with a payload of at most `max` bytes.
    bool recv_reply(uint16_t op, void* payload, uint32_t max, uint32_t& length) {
        hxa::MsgHeader h;
        if (!recv_all(&h, sizeof h) || h.operation != op || h.length > max) return false;
        length = h.length;
        return recv_all(payload, length);
    }

    // The reply header and transfer head of a LAN transfer in one receive.
    bool recv_transfer(uint16_t op, hxa::TransferReplyHead& t) {
        char in[hxa::kHeaderSize + sizeof t];
        hxa::MsgHeader h;
        if (!recv_all(in, sizeof in)) return false;
        std::memcpy(&h, in, sizeof h);
        std::memcpy(&t, in + sizeof h, sizeof t);
        return h.operation == op && h.length == sizeof t;
    }

  private:
    // Sends (`out`) or receives exactly `size` bytes at `p`.
    bool move_all(char* p, size_t size, bool out) {
        while (size > 0) {
            const int chunk = static_cast<int>(std::min<size_t>(size, 1 << 30));
            ssize_t n =
                ssl_ ? (out ? SSL_write(ssl_, p, chunk) : SSL_read(ssl_, p, chunk))
                     : (out ? send(fd_, p, size, MSG_NOSIGNAL) : recv(fd_, p, size, MSG_WAITALL));
            if (n <= 0) return false;
            p += n;
            size -= static_cast<size_t>(n);
        }
        return true;
    }

    int fd_ = -1;
    SSL* ssl_ = nullptr;
    uint32_t seq_ = 0;
};

// ---- the baseline server: one connection at a time, one open disk: the image file ----

int raw_server(const std::string& image, bool tls) {
    signal(SIGPIPE, SIG_IGN);
    SSL_CTX* ctx = nullptr;
    std::string error;
    if (tls && (ctx = hxasim::make_server_context("", "", error)) == nullptr)
        die("raw server: %s", error.c_str());
    int disk = open(image.c_str(), O_RDWR | O_CLOEXEC);
    int lfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t alen = sizeof a;
    if (disk < 0 || lfd < 0 || bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        listen(lfd, 4) != 0 || getsockname(lfd, reinterpret_cast<sockaddr*>(&a), &alen) != 0)
        die("raw server: set-up failed: %s", std::strerror(errno));
    std::printf("listening on 127.0.0.1:%u\n", ntohs(a.sin_port));
    std::fflush(stdout);
    constexpr size_t kHead = hxa::kHeaderSize + sizeof(hxa::TransferReplyHead);
    std::vector<char> buf;
    for (;;) {
        int fd = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        SSL* ssl = nullptr;
        if (ctx != nullptr) {
            ssl = SSL_new(ctx);
            if (ssl == nullptr || SSL_set_fd(ssl, fd) != 1 || SSL_accept(ssl) != 1) {
                SSL_free(ssl);
                close(fd);
                continue;
            }
        }
        hxasim::Stream stream(fd, ssl);
        for (;;) {
            hxa::MsgHeader h;
            unsigned char payload[hxa::kMessageAreaSize];
            if (stream.read_exact(&h, sizeof h) != hxasim::Stream::ReadResult::kOk ||
                h.length > sizeof payload ||
                stream.read_exact(payload, h.length) != hxasim::Stream::ReadResult::kOk)
                break;
            hxa::MsgHeader r{};
            r.magic = hxa::kMagic;
            r.operation = h.operation;
            r.seqNo = h.seqNo;
            hxa::TransferReplyHead t{hxa::RES_OK, 0};
            size_t data = 0;
            bool ok = true;
            if (h.operation == hxa::OP_LAN_READ || h.operation == hxa::OP_LAN_WRITE) {
                hxa::LanTransferRequest req;
                std::memcpy(&req, payload, sizeof req);
                if (buf.size() < kHead + req.length) buf.resize(kHead + req.length);
                char* p = buf.data() + kHead;
                if (h.operation == hxa::OP_LAN_READ) {
                    ok = pread(disk, p, req.length, static_cast<off_t>(req.offset)) ==
                         static_cast<ssize_t>(req.length);
                    data = req.length;
                } else {
                    ok = stream.read_exact(p, req.length) == hxasim::Stream::ReadResult::kOk &&
                         pwrite(disk, p, req.length, static_cast<off_t>(req.offset)) ==
                             static_cast<ssize_t>(req.length);
                }
                t.count = ok ? req.length : 0;
                t.result = ok ? hxa::RES_OK : hxa::RES_READ_FAILED;
                if (!ok) data = 0;
            } else if (h.operation == hxa::OP_LAN_OPEN) {
                hxa::OpenReply o{hxa::RES_OK, 1};
                static_assert(sizeof o == sizeof t, "open reply and transfer head alike");
                std::memcpy(&t, &o, sizeof o);
            }
            if (buf.size() < kHead) buf.resize(kHead);
            r.length = h.operation == hxa::OP_LAN_CLOSE ? sizeof(hxa::CloseReply) : sizeof t;
            r.crc = hxa::header_crc(&r, offsetof(hxa::MsgHeader, crc));
            std::memcpy(buf.data(), &r, sizeof r);
            std::memcpy(buf.data() + sizeof r, &t, r.length);
            // Reply header, its payload and (for a read) the data: one send.
            if (!stream.write_all(buf.data(), sizeof r + r.length + data)) break;
            if (h.operation == hxa::OP_LAN_CLOSE) break;
        }
        if (ssl != nullptr) {
            SSL_shutdown(ssl);
            SSL_free(ssl);
        }
        close(fd);
    }
}

// ---- the library as a host loads it: a log function that discards, a level object ----

void discard_log(int, const char*, ...) {}

enum class Mode { kTcp, kTls, kSan };
enum class Op { kRead, kWrite };
const char* mode_name(Mode m) { return m == Mode::kTcp ? "TCP" : m == Mode::kTls ? "TLS" : "SAN"; }

std::string lun_name(int i) { return std::string("wwn-0x") + kWwns[i]; }

// One side of a measurement: opens its disk and moves one request at a time.
class Client {
  public:
    virtual ~Client() = default;
    virtual bool open() = 0;
    virtual bool transfer(Op op, uint64_t offset, uint64_t size, char* buf) = 0;
    virtual void close() = 0;
    virtual pid_t server() const = 0;
};

class LibraryClient : public Client {
  public:
    LibraryClient(Mode mode, uint16_t port, pid_t server)
        : mode_(mode), port_(port), pid_(server) {}
    ~LibraryClient() override { close(); }
    bool open() override {
        sdk_ = CQuillonvardeSDK::CreateInstance();
        std::list<std::string> luns;
        if (mode_ == Mode::kSan) luns = {lun_name(0), lun_name(1)};
        return sdk_->ConnectHXA("127.0.0.1", port_, kToken, mode_ == Mode::kTls) == 0 &&
               sdk_->OpenDisk(luns, mode_ == Mode::kSan ? kSanDisk : kLanDisk, OPEN_READWRITE,
                              handle_, mode_ == Mode::kSan ? TRANS_SAN : TRANS_LAN) == 0;
    }
    bool transfer(Op op, uint64_t offset, uint64_t size, char* buf) override {
        if (op == Op::kRead) {
            unsigned long long got = size;
            return sdk_->ReadDisk(handle_, offset, size, buf, got) == 0 && got == size;
        }
        long long put = static_cast<long long>(size);
        return sdk_->WriteDisk(handle_, offset, size, buf, put) == 0 &&
               put == static_cast<long long>(size);
    }
    void close() override {
        if (sdk_ == nullptr) return;
        if (handle_ != 0) sdk_->CloseDisk(handle_);
        sdk_->DisConnectHXA();
        CQuillonvardeSDK::DestroyInstance(sdk_);
        sdk_ = nullptr;
        handle_ = 0;
    }
    pid_t server() const override { return pid_; }

  private:
    Mode mode_;
    uint16_t port_;
    pid_t pid_;
    CQuillonvardeSDK* sdk_ = nullptr;
    unsigned handle_ = 0;
};

class RawClient : public Client {
  public:
    RawClient(Mode mode, uint16_t port, pid_t server, std::vector<std::string> lun_files)
        : mode_(mode), port_(port), pid_(server), lun_files_(std::move(lun_files)) {}
    ~RawClient() override { close(); }
    bool open() override {
        if (!conn_.connect_to(port_, mode_ == Mode::kTls)) return false;
        uint32_t len = 0;
        hxa::OpenReply reply{};
        if (mode_ == Mode::kSan) {
            for (const auto& f : lun_files_) lun_fds_.push_back(::open(f.c_str(), O_RDWR));
            for (int i = 0; i < 2; ++i)
                for (int k = 0; k < 16; ++k)
                    wwns_[i][k] = static_cast<unsigned char>(
                        std::stoi(std::string(kWwns[i] + 2 * k, 2), nullptr, 16));
            for (int fd : lun_fds_)
                if (fd < 0) return false;
            hxa::OpenSanRequest req{};
            std::strncpy(req.diskPath, kSanDisk, sizeof req.diskPath - 1);
            std::strncpy(req.token, kToken, sizeof req.token - 1);
            if (!conn_.send_request(hxa::OP_SAN_OPEN, &req, sizeof req) ||
                !conn_.recv_reply(hxa::OP_SAN_OPEN, &reply, sizeof reply, len))
                return false;
        } else {
            hxa::OpenLanRequest req{};
            std::strncpy(req.diskPath, kLanDisk, sizeof req.diskPath - 1);
            std::strncpy(req.token, kToken, sizeof req.token - 1);
            req.openMode = OPEN_READWRITE;
            if (!conn_.send_request(hxa::OP_LAN_OPEN, &req, sizeof req) ||
                !conn_.recv_reply(hxa::OP_LAN_OPEN, &reply, sizeof reply, len))
                return false;
        }
        handle_ = reply.handle;
        return len == sizeof reply && reply.result == hxa::RES_OK;
    }
    bool transfer(Op op, uint64_t offset, uint64_t size, char* buf) override {
        if (mode_ == Mode::kSan) return san_transfer(op, offset, size, buf);
        hxa::LanTransferRequest req{handle_, offset, static_cast<uint32_t>(size)};
        hxa::TransferReplyHead t{};
        if (op == Op::kRead)
            return conn_.send_request(hxa::OP_LAN_READ, &req, sizeof req) &&
                   conn_.recv_transfer(hxa::OP_LAN_READ, t) && t.result == 0 && t.count == size &&
                   conn_.recv_all(buf, size);
        return conn_.send_request(hxa::OP_LAN_WRITE, &req, sizeof req, buf, size) &&
               conn_.recv_transfer(hxa::OP_LAN_WRITE, t) && t.result == 0;
    }
    void close() override {
        if (handle_ != 0) {
            hxa::CloseRequest req{handle_};
            uint16_t op = mode_ == Mode::kSan ? hxa::OP_SAN_CLOSE : hxa::OP_LAN_CLOSE;
            hxa::CloseReply reply{};
            uint32_t len = 0;
            if (conn_.send_request(op, &req, sizeof req))
                conn_.recv_reply(op, &reply, sizeof reply, len);
            handle_ = 0;
        }
        conn_.close_conn();
        for (int fd : lun_fds_)
            if (fd >= 0) ::close(fd);
        lun_fds_.clear();
    }
    pid_t server() const override { return pid_; }

  private:
    bool san_transfer(Op op, uint64_t offset, uint64_t size, char* buf) {
        hxa::SanMapRequest req{handle_, offset, size};
        hxa::MsgHeader h;
        hxa::TransferReplyHead t;
        if (!conn_.send_request(hxa::OP_SAN_ADDR_MAP, &req, sizeof req) ||
            !conn_.recv_all(&h, sizeof h) || h.operation != hxa::OP_SAN_ADDR_MAP ||
            h.length < sizeof t || !conn_.recv_all(&t, sizeof t) ||
            h.length != sizeof t + uint64_t(t.count) * sizeof(vhd_Rec))
            return false;
        map_.resize(t.count);
        if (!conn_.recv_all(map_.data(), t.count * sizeof(vhd_Rec)) || t.result != 0) return false;
        uint64_t done = 0;
        for (const vhd_Rec& r : map_) {
            if (r.dataLen > size - done) return false;
            char* p = buf + done;
            if (r.phyOffset == 0) {
                if (op == Op::kWrite) return false;
                std::memset(p, 0, r.dataLen);
            } else {
                int fd = -1;
                for (size_t i = 0; i < lun_fds_.size(); ++i)
                    if (std::memcmp(wwns_[i], r.lunWwn, sizeof r.lunWwn) == 0) fd = lun_fds_[i];
                ssize_t n = op == Op::kRead
                                ? pread(fd, p, r.dataLen, static_cast<off_t>(r.phyOffset))
                                : pwrite(fd, p, r.dataLen, static_cast<off_t>(r.phyOffset));
                if (n != static_cast<ssize_t>(r.dataLen)) return false;
            }
            done += r.dataLen;
        }
        return done == size;
    }

    Mode mode_;
    uint16_t port_;
    pid_t pid_;
    std::vector<std::string> lun_files_;
    std::vector<int> lun_fds_;
    RawConn conn_;
    uint32_t handle_ = 0;
    std::vector<vhd_Rec> map_;
    unsigned char wwns_[2][16] = {};
};

// ---- measurement ----

struct Sample {
    double seconds = 0, host_cpu = 0, server_cpu = 0;
    uint64_t requests = 0;
};

struct Figures {
    std::vector<Sample> runs;
};

struct Settings {
    bool quick = false;
    uint64_t region = 256 * kMiB;  // bytes one run moves (and the size of every disk)
    int reps = 5;
    int calls = 10000;
    uint64_t small_requests = 10000;   // cap for 4 KiB runs
    double run_seconds = 3;            // a run stops after this long (0: never)
    std::vector<std::string> profile;  // PROGRAM MODE OP BYTES: run that case once, alone
    std::vector<std::string> only;     // --mode: the modes to measure (empty: all)
    std::string dir;
};

struct Disk {
    uint64_t seed = 0;     // pattern of the last write
    uint64_t written = 0;  // bytes from the start that the last write covered
};

int g_failures = 0;

void fail(const std::string& what) {
    std::fprintf(stderr, "FAILED: %s\n", what.c_str());
    ++g_failures;
}

// One run: open, up to `count` requests over the region in order (fewer when the time
// budget ends it), close. Reads check the data that the last write covered.
bool run_once(Client& c, Op op, uint64_t size, uint64_t count, double budget, Disk& disk,
              std::vector<char>& src, std::vector<char>& buf, bool check_all, Sample& s,
              uint64_t& next_seed) {
    if (!c.open()) return false;
    uint64_t seed = disk.seed;
    if (op == Op::kWrite) {
        seed = ++next_seed;
        fill_pattern(seed, 0, src.data(), count * size);
    }
    double t0 = now_s(), c0 = own_cpu_s(), s0 = process_cpu_s(c.server());
    bool ok = true;
    uint64_t i = 0;
    for (; i < count && ok; ++i) {
        uint64_t off = i * size;
        char* p = op == Op::kWrite ? src.data() + off : buf.data();
        ok = c.transfer(op, off, size, p);
        if (ok && op == Op::kRead && check_all && off + size <= disk.written)
            ok = check_pattern(seed, off, p, size);
        if (budget > 0 && (i & 15) == 15 && now_s() - t0 > budget) {
            ++i;
            break;
        }
    }
    s.seconds = now_s() - t0;
    s.host_cpu = own_cpu_s() - c0;
    s.server_cpu = process_cpu_s(c.server()) - s0;
    s.requests = i;
    if (ok && op == Op::kRead && i > 0 && i * size <= disk.written)
        ok = check_pattern(seed, (i - 1) * size, buf.data(), size);
    c.close();
    if (ok && op == Op::kWrite) disk = Disk{seed, i * size};
    return ok && i > 0;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n == 0 ? 0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::string size_text(uint64_t s) {
    return s >= kMiB ? std::to_string(s / kMiB) + " MiB" : std::to_string(s / kKiB) + " KiB";
}

long rss_after_calls(Client& c, int calls, int sample_at, long& early, long& server_late,
                     std::vector<char>& src, uint64_t region) {
    constexpr uint64_t kSize = 64 * kKiB;
    early = -1;
    if (!c.open()) return -1;
    uint64_t slots = region / kSize;
    for (int i = 0; i < calls; ++i) {
        uint64_t off = (static_cast<uint64_t>(i / 2) % slots) * kSize;
        if (!c.transfer(i % 2 ? Op::kRead : Op::kWrite, off, kSize, src.data() + off)) {
            c.close();
            return -1;
        }
        if (i + 1 == sample_at) early = rss_kib(0);
    }
    long late = rss_kib(0);
    server_late = rss_kib(c.server());
    c.close();
    return late;
}

void make_file(const std::string& path, uint64_t size) {
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || ftruncate(fd, static_cast<off_t>(size)) != 0)
        die("%s: %s", path.c_str(), std::strerror(errno));
    close(fd);
}

}  // namespace

int main(int argc, char** argv) {
    // Found before anything changes the working directory, which a relative argv[0] needs.
    const std::string self = zev_bench::own_path(argv[0]);
    if (self.empty()) die("cannot find this program from its name %s", argv[0]);
    Settings st;
    std::string simulator = QV_BENCH_SIMULATOR;
    std::string served_image;
    bool served_tls = false;
    uint64_t run_mib = st.region / kMiB;
    CLI::App app{"libquillonvarde_sdk against hxa-simulator on loopback, beside raw baselines",
                 "qv-sdk-bench"};
    app.add_flag("--quick", st.quick,
                 "tiny data, one run per figure, every request checked, nothing timed");
    app.add_option("--dir", st.dir, "where the work directory goes (default /tmp)");
    CLI::Option* run_mib_option =
        app.add_option("--run-mib", run_mib, "MiB one run moves, and the size of every disk")
            ->capture_default_str();
    CLI::Option* reps_option =
        app.add_option("--reps", st.reps, "runs per figure")->capture_default_str();
    CLI::Option* calls_option =
        app.add_option("--calls", st.calls, "calls of the resident memory runs")
            ->capture_default_str();
    CLI::Option* seconds_option =
        app.add_option("--run-seconds", st.run_seconds, "a run stops after this long (0: never)")
            ->capture_default_str();
    app.add_option("--simulator", simulator, "the hxa-simulator to run")->capture_default_str();
    app.add_option("--mode", st.only, "measure only this mode (repeatable)")
        ->check(CLI::IsMember({"TCP", "TLS", "SAN"}));
    app.add_option("--profile", st.profile,
                   "one case alone: library|baseline TCP|TLS|SAN read|write BYTES")
        ->expected(4);
    // The baseline server: this program started again (hidden options).
    app.add_option("--raw-server", served_image)->group("");
    app.add_flag("--tls", served_tls)->group("");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 1;
    }
    if (!served_image.empty()) return raw_server(served_image, served_tls);
    st.region = run_mib * kMiB;
    st.reps = std::max(1, st.reps);
    st.calls = std::max(2, st.calls);
    if (st.quick) {
        // Tiny data, one run each; options given beside --quick still count.
        if (run_mib_option->count() == 0) st.region = 8 * kMiB;
        if (reps_option->count() == 0) st.reps = 1;
        if (calls_option->count() == 0) st.calls = 200;
        if (seconds_option->count() == 0) st.run_seconds = 0;
        st.small_requests = 64;
    }
    if (st.region < 8 * kMiB) st.region = 8 * kMiB;
    signal(SIGPIPE, SIG_IGN);

    // Work directory; as root a tmpfs of its own in a private mount namespace, with the
    // LUN names under /dev/disk/by-id.
    std::string base = st.dir.empty() ? "/tmp" : st.dir;
    std::string work = base + "/qv-sdk-bench-XXXXXX";
    if (mkdtemp(work.data()) == nullptr)
        die("mkdtemp in %s: %s", base.c_str(), std::strerror(errno));
    testmounts::PrivateMounts mounts;
    std::string san_skip = mounts.empty_disk_by_id();
    if (san_skip.empty() && mount("tmpfs", work.c_str(), "tmpfs", 0, "mode=0700") != 0)
        san_skip = std::string("tmpfs on the work directory: ") + std::strerror(errno);
    const std::string lan_image = work + "/lan.img", raw_image = work + "/raw.img";
    make_file(lan_image, st.region);
    make_file(raw_image, st.region);
    std::vector<std::string> lun_files = {work + "/lun0.img", work + "/lun1.img"};
    const uint64_t lun_size = 2 * kMiB + st.region / 2 + 2 * kMiB;
    if (san_skip.empty())
        for (int i = 0; i < 2; ++i)
            if (symlink(lun_files[static_cast<size_t>(i)].c_str(),
                        ("/dev/disk/by-id/" + lun_name(i)).c_str()) != 0)
                san_skip = "symlink in /dev/disk/by-id: " + std::string(std::strerror(errno));

    std::vector<std::string> sim = {simulator, "--quiet", "--token",
                                    kToken,    "--disk",  std::string(kLanDisk) + "=" + lan_image};
    std::vector<std::string> sim_tcp_args = sim;
    if (san_skip.empty()) {
        for (int i = 0; i < 2; ++i) {
            sim_tcp_args.push_back("--lun");
            sim_tcp_args.push_back(std::string(kWwns[i]) + "=" + lun_files[static_cast<size_t>(i)] +
                                   ":" + std::to_string(lun_size));
        }
        sim_tcp_args.push_back("--san-disk");
        sim_tcp_args.push_back(std::string(kSanDisk) + "=" + std::to_string(st.region) + ":" +
                               kWwns[0] + "," + kWwns[1]);
    }
    std::vector<std::string> sim_tls_args = sim;
    sim_tls_args.push_back("--tls");
    Child sim_tcp = spawn(sim_tcp_args), sim_tls = spawn(sim_tls_args);
    Child raw_tcp = spawn({self, "--raw-server", raw_image});
    Child raw_tls = spawn({self, "--raw-server", raw_image, "--tls"});
    // The library against the simulator; the baseline against its own server (SAN: the
    // same simulator, the LUN files directly).
    auto library_client = [&](Mode mode) {
        const Child& server = mode == Mode::kTls ? sim_tls : sim_tcp;
        return LibraryClient(mode, server.port, server.pid);
    };
    auto baseline_client = [&](Mode mode) {
        const Child& server = mode == Mode::kSan ? sim_tcp : mode == Mode::kTls ? raw_tls : raw_tcp;
        return RawClient(mode, server.port, server.pid, lun_files);
    };

    static testhost::TestLevels levels;
    if (CQuillonvardeSDK::InitialSDK(discard_log, &levels, "", "", "") != 0)
        die("InitialSDK failed");

    char host[256] = {};
    gethostname(host, sizeof host - 1);
    std::printf("# qv-sdk-bench%s: %s, %d runs per figure, %s per run (4 KiB: %llu requests)\n",
                st.quick ? " --quick" : "", host, st.reps, size_text(st.region).c_str(),
                static_cast<unsigned long long>(st.small_requests));
    {
        RawConn probe;
        if (probe.connect_to(sim_tls.port, true))
            std::printf("# TLS cipher (simulator and baseline server alike): %s\n",
                        probe.cipher().c_str());
        probe.finish_tls();
    }
    if (!san_skip.empty()) std::printf("# SAN cases skipped: %s\n", san_skip.c_str());

    if (!st.profile.empty()) {
        // One case alone, for system-call counts and instruction profiles of either side.
        const auto& p = st.profile;
        Mode mode = p[1] == "TLS" ? Mode::kTls : p[1] == "SAN" ? Mode::kSan : Mode::kTcp;
        Op op = p[2] == "write" ? Op::kWrite : Op::kRead;
        uint64_t size = std::stoull(p[3]);
        if (size == 0 || size > 4 * kMiB || size % 8 || (mode == Mode::kSan && !san_skip.empty()))
            die("--profile: bad case (request size 8 B to 4 MiB, SAN needs root)");
        LibraryClient lib = library_client(mode);
        RawClient raw = baseline_client(mode);
        Client& c = p[0] == "library" ? static_cast<Client&>(lib) : raw;
        std::vector<char> src(st.region), buf(size);
        Disk disk;
        uint64_t next_seed = 0;
        Sample s;
        bool ok = run_once(c, op, size, std::min(st.region / size, st.small_requests), 0, disk, src,
                           buf, false, s, next_seed);
        std::printf(
            "profile %s %s %s %llu: %llu requests in %.3f s, host CPU %.1f us/req, "
            "server (pid %d) CPU %.1f us/req\n",
            p[0].c_str(), mode_name(mode), op == Op::kRead ? "read" : "write",
            static_cast<unsigned long long>(size), static_cast<unsigned long long>(s.requests),
            s.seconds, s.host_cpu / static_cast<double>(std::max<uint64_t>(s.requests, 1)) * 1e6,
            static_cast<int>(c.server()),
            s.server_cpu / static_cast<double>(std::max<uint64_t>(s.requests, 1)) * 1e6);
        if (!ok) fail("the profiled case");
    }
    std::vector<Mode> modes = {Mode::kTcp, Mode::kTls};
    if (san_skip.empty()) modes.push_back(Mode::kSan);
    if (!st.profile.empty()) modes.clear();
    if (!st.only.empty())
        modes.erase(std::remove_if(modes.begin(), modes.end(),
                                   [&](Mode m) {
                                       return std::find(st.only.begin(), st.only.end(),
                                                        mode_name(m)) == st.only.end();
                                   }),
                    modes.end());
    const std::vector<uint64_t> sizes = {4 * kKiB, 64 * kKiB, kMiB, 4 * kMiB};
    std::vector<char> src(st.region), buf(4 * kMiB);
    Disk lib_lan, raw_lan, san;
    uint64_t next_seed = 0;

    if (!modes.empty())
        std::printf(
            "\n| mode | op | request | library MiB/s (min-max) | baseline MiB/s (min-max) | ratio "
            "| "
            "library req/s | baseline req/s | host CPU us/req lib / base | server CPU us/req sim / "
            "base |\n|---|---|---|---|---|---|---|---|---|---|\n");
    for (Mode mode : modes) {
        LibraryClient lib = library_client(mode);
        RawClient raw = baseline_client(mode);
        Disk& lib_disk = mode == Mode::kSan ? san : lib_lan;
        Disk& raw_disk = mode == Mode::kSan ? san : raw_lan;
        for (uint64_t size : sizes) {
            uint64_t count = st.region / size;
            if (size == 4 * kKiB) count = std::min(count, st.small_requests);
            Figures f[2][2];  // [op][0 library, 1 baseline]
            for (int rep = 0; rep < st.reps; ++rep) {
                for (Op op : {Op::kWrite, Op::kRead}) {
                    for (int k = 0; k < 2; ++k) {
                        int who = (k + rep) % 2;  // alternate which program goes first
                        Client& c = who == 0 ? static_cast<Client&>(lib) : raw;
                        Sample s;
                        if (!run_once(c, op, size, count, st.run_seconds,
                                      who == 0 ? lib_disk : raw_disk, src, buf, st.quick, s,
                                      next_seed))
                            fail(std::string(who == 0 ? "library " : "baseline ") +
                                 mode_name(mode) + (op == Op::kRead ? " read " : " write ") +
                                 size_text(size) + ": a request failed or read wrong data");
                        else
                            f[op == Op::kRead][who].runs.push_back(s);
                    }
                }
            }
            for (Op op : {Op::kRead, Op::kWrite}) {
                double mibs[2], lo[2], hi[2], rps[2], hcpu[2], scpu[2];
                bool have = true;
                for (int who = 0; who < 2; ++who) {
                    const auto& runs = f[op == Op::kRead][who].runs;
                    if (runs.empty()) have = false;
                    std::vector<double> rate, h, sv;
                    for (const auto& s : runs) {
                        const double n = static_cast<double>(s.requests);
                        rate.push_back(n * static_cast<double>(size) / kMiB / s.seconds);
                        h.push_back(s.host_cpu / n * 1e6);
                        sv.push_back(s.server_cpu / n * 1e6);
                    }
                    mibs[who] = median(rate);
                    lo[who] = rate.empty() ? 0 : *std::min_element(rate.begin(), rate.end());
                    hi[who] = rate.empty() ? 0 : *std::max_element(rate.begin(), rate.end());
                    rps[who] = mibs[who] * kMiB / static_cast<double>(size);
                    hcpu[who] = median(h);
                    scpu[who] = median(sv);
                }
                if (!have || !(mibs[0] > 0) || !(mibs[1] > 0)) {
                    fail(std::string("no figure for ") + mode_name(mode) + " " + size_text(size));
                    continue;
                }
                std::printf(
                    "| %s | %s | %s | %.0f (%.0f-%.0f) | %.0f (%.0f-%.0f) | %.2f | %.0f | %.0f | "
                    "%.1f / %.1f | %.1f / %.1f |\n",
                    mode_name(mode), op == Op::kRead ? "read" : "write", size_text(size).c_str(),
                    mibs[0], lo[0], hi[0], mibs[1], lo[1], hi[1], mibs[0] / mibs[1], rps[0], rps[1],
                    hcpu[0], hcpu[1], scpu[0], scpu[1]);
                std::fflush(stdout);
            }
        }
    }

    if (!modes.empty())
        std::printf(
            "\n| resident memory, %d calls of 64 KiB (write, read, ...) | host KiB after %d calls "
            "| "
            "host KiB after %d calls | server KiB after %d calls |\n|---|---|---|---|\n",
            st.calls, st.calls / 10, st.calls, st.calls);
    for (Mode mode : modes) {
        LibraryClient lib = library_client(mode);
        RawClient raw = baseline_client(mode);
        for (int who = 0; who < 2; ++who) {
            Client& c = who == 0 ? static_cast<Client&>(lib) : raw;
            long early = -1, server = -1;
            long late = rss_after_calls(c, st.calls, st.calls / 10, early, server, src, st.region);
            if (late < 0 || early < 0) {
                fail(std::string("resident memory run ") + mode_name(mode));
                continue;
            }
            std::printf("| %s %s | %ld | %ld | %ld |\n", who == 0 ? "library" : "baseline",
                        mode_name(mode), early, late, server);
        }
    }

    stop(sim_tcp);
    stop(sim_tls);
    stop(raw_tcp);
    stop(raw_tls);
    std::error_code ec;
    if (san_skip.empty()) umount2(work.c_str(), MNT_DETACH);
    std::filesystem::remove_all(work, ec);
    if (g_failures) {
        std::printf("\n%d check(s) failed\n", g_failures);
        return 1;
    }
    std::printf("\nevery case produced a figure; all data read back equals the data written\n");
    return 0;
}
