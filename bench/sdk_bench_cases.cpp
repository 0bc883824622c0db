#include "sdk_bench_cases.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <list>

#include "hxa_checksum.h"
#include "hxa_protocol.h"
#include "stream.h"
#include "timing.h"
#include "tls_server.h"

namespace sdk_bench {

namespace {

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

// Resident memory of a process in KiB (VmRSS); pid 0 is this process.
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

}  // namespace

const char* mode_name(Mode m) { return m == Mode::kTcp ? "TCP" : m == Mode::kTls ? "TLS" : "SAN"; }

std::string lun_name(int i) { return std::string("wwn-0x") + kWwns[i]; }

void discard_log(int, const char*, ...) {}

// ---- the baseline server: one connection at a time, one open disk: the image file ----

void raw_server(const std::string& image, bool tls) {
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
    constexpr size_t kHead = sizeof(hxa::MsgHeader) + sizeof(hxa::TransferReplyHead);
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
        hxasim::SocketLink link(fd, ssl);
        hxasim::Stream stream(link);
        for (;;) {
            hxa::MsgHeader h;
            unsigned char payload[hxa::kMessageAreaSize];
            if (stream.read_exact(&h, sizeof h) != hxasim::Stream::ReadResult::kOk ||
                h.length > sizeof payload ||
                stream.read_exact(payload, h.length) != hxasim::Stream::ReadResult::kOk)
                break;
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
            const hxa::MsgHeader r = hxa::make_header(
                h.operation, h.seqNo,
                h.operation == hxa::OP_LAN_CLOSE ? sizeof(hxa::CloseReply) : sizeof t);
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

// ---- the library as a host loads it ----

bool LibraryClient::open() {
    sdk_ = CQuillonvardeSDK::CreateInstance();
    std::list<std::string> luns;
    if (mode_ == Mode::kSan) luns = {lun_name(0), lun_name(1)};
    return sdk_->ConnectHXA("127.0.0.1", port_, kToken, mode_ == Mode::kTls) == 0 &&
           sdk_->OpenDisk(luns, mode_ == Mode::kSan ? kSanDisk : kLanDisk, OPEN_READWRITE, handle_,
                          mode_ == Mode::kSan ? TRANS_SAN : TRANS_LAN) == 0;
}

bool LibraryClient::transfer(Op op, uint64_t offset, uint64_t size, char* buf) {
    if (op == Op::kRead) {
        unsigned long long got = size;
        return sdk_->ReadDisk(handle_, offset, size, buf, got) == 0 && got == size;
    }
    long long put = static_cast<long long>(size);
    return sdk_->WriteDisk(handle_, offset, size, buf, put) == 0 &&
           put == static_cast<long long>(size);
}

void LibraryClient::close() {
    if (sdk_ == nullptr) return;
    if (handle_ != 0) sdk_->CloseDisk(handle_);
    sdk_->DisConnectHXA();
    CQuillonvardeSDK::DestroyInstance(sdk_);
    sdk_ = nullptr;
    handle_ = 0;
}

// ---- the raw baseline ----

RawClient::RawClient(Mode mode, uint16_t port, pid_t server, std::vector<std::string> lun_files)
    : mode_(mode), port_(port), pid_(server), lun_files_(std::move(lun_files)) {}

bool RawClient::open() {
    if (!conn_.connect(port_, mode_ == Mode::kTls).empty()) return false;
    if (mode_ != Mode::kSan)
        return conn_.open_lan(kLanDisk, kToken, OPEN_READWRITE, handle_) == hxa::RES_OK;
    for (const auto& f : lun_files_) lun_fds_.push_back(::open(f.c_str(), O_RDWR));
    for (int i = 0; i < 2; ++i)
        for (int k = 0; k < 16; ++k)
            wwns_[i][k] = static_cast<unsigned char>(
                std::stoi(std::string(kWwns[i] + 2 * k, 2), nullptr, 16));
    for (int fd : lun_fds_)
        if (fd < 0) return false;
    return conn_.open_san(kSanDisk, kToken, handle_) == hxa::RES_OK;
}

bool RawClient::transfer(Op op, uint64_t offset, uint64_t size, char* buf) {
    if (mode_ == Mode::kSan) return san_transfer(op, offset, size, buf);
    const uint32_t length = static_cast<uint32_t>(size);
    if (op == Op::kWrite) return conn_.lan_write(handle_, offset, buf, length) == hxa::RES_OK;
    uint32_t count = 0;
    return conn_.lan_read(handle_, offset, length, buf, count) == hxa::RES_OK && count == size;
}

void RawClient::close() {
    if (handle_ != 0) {
        conn_.close_disk(mode_ == Mode::kSan ? hxa::OP_SAN_CLOSE : hxa::OP_LAN_CLOSE, handle_);
        handle_ = 0;
    }
    conn_.close(true);
    for (int fd : lun_fds_)
        if (fd >= 0) ::close(fd);
    lun_fds_.clear();
}

// The address map of the request from the simulator, then pread/pwrite over its extents.
bool RawClient::san_transfer(Op op, uint64_t offset, uint64_t size, char* buf) {
    if (conn_.san_map(handle_, offset, size, map_) != hxa::RES_OK) return false;
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
            ssize_t n = op == Op::kRead ? pread(fd, p, r.dataLen, static_cast<off_t>(r.phyOffset))
                                        : pwrite(fd, p, r.dataLen, static_cast<off_t>(r.phyOffset));
            if (n != static_cast<ssize_t>(r.dataLen)) return false;
        }
        done += r.dataLen;
    }
    return done == size;
}

// ---- measurement ----

bool run_once(Client& c, Op op, uint64_t size, uint64_t count, double budget, Disk& disk,
              std::vector<char>& src, std::vector<char>& buf, bool check_all, Sample& s,
              uint64_t& next_seed) {
    if (!c.open()) return false;
    uint64_t seed = disk.seed;
    if (op == Op::kWrite) {
        seed = ++next_seed;
        fill_pattern(seed, 0, src.data(), count * size);
    }
    const double s0 = process_cpu_s(c.server());
    const zev_common::Stopwatch watch;
    bool ok = true;
    uint64_t i = 0;
    for (; i < count && ok; ++i) {
        uint64_t off = i * size;
        char* p = op == Op::kWrite ? src.data() + off : buf.data();
        ok = c.transfer(op, off, size, p);
        if (ok && op == Op::kRead && check_all && off + size <= disk.written)
            ok = check_pattern(seed, off, p, size);
        if (budget > 0 && (i & 15) == 15 && watch.seconds() > budget) {
            ++i;
            break;
        }
    }
    s.seconds = watch.seconds();
    s.host_cpu = watch.cpu_seconds();
    s.server_cpu = process_cpu_s(c.server()) - s0;
    s.requests = i;
    if (ok && op == Op::kRead && i > 0 && i * size <= disk.written)
        ok = check_pattern(seed, (i - 1) * size, buf.data(), size);
    c.close();
    if (ok && op == Op::kWrite) disk = Disk{seed, i * size};
    return ok && i > 0;
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

}  // namespace sdk_bench
