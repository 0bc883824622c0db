#include "sim_harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

extern char** environ;

namespace simtest {
namespace {

std::vector<char*> make_argv(const std::string& program, const std::vector<std::string>& args,
                             std::vector<std::string>& storage) {
    storage.clear();
    storage.push_back(program);
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : storage) argv.push_back(&s[0]);
    argv.push_back(nullptr);
    return argv;
}

int decode_status(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

}  // namespace

void make_file(const std::string& path, uint64_t size, const Bytes& data) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    if (data.empty()) {
        if (ftruncate(fd, static_cast<off_t>(size)) != 0) perror("ftruncate");
    } else {
        uint64_t done = 0;
        while (done < size) {
            size_t n = static_cast<size_t>(std::min<uint64_t>(size - done, data.size()));
            if (pwrite(fd, data.data(), n, static_cast<off_t>(done)) != static_cast<ssize_t>(n))
                break;
            done += n;
        }
    }
    ::close(fd);
}

Bytes read_file(const std::string& path, uint64_t offset, uint64_t size) {
    Bytes out(static_cast<size_t>(size));
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    ssize_t n = pread(fd, out.data(), out.size(), static_cast<off_t>(offset));
    ::close(fd);
    if (n < 0) return {};
    out.resize(static_cast<size_t>(n));
    return out;
}

void write_file(const std::string& path, uint64_t offset, const Bytes& data) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return;
    if (pwrite(fd, data.data(), data.size(), static_cast<off_t>(offset)) < 0) perror("pwrite");
    ::close(fd);
}

Simulator::~Simulator() {
    if (pid_ > 0) stop(SIGKILL);
}

std::string Simulator::start(const std::vector<std::string>& args) {
    static int counter = 0;
    log_path_ = dir_ + "/simulator-" + std::to_string(++counter) + ".log";
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return std::string("pipe: ") + std::strerror(errno);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_addopen(&fa, 2, log_path_.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
    std::vector<std::string> storage;
    std::vector<char*> argv = make_argv(HXA_SIMULATOR, args, storage);
    int rc = posix_spawn(&pid_, HXA_SIMULATOR, &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(out[1]);
    if (rc != 0) {
        ::close(out[0]);
        pid_ = -1;
        return std::string("posix_spawn: ") + std::strerror(rc);
    }
    // Wait for the one line the simulator prints when it is ready. The long limit only
    // keeps a broken simulator from hanging the test; it is not a timing expectation.
    std::string line;
    char c;
    for (;;) {
        struct pollfd p = {out[0], POLLIN, 0};
        if (poll(&p, 1, 60000) <= 0) break;
        ssize_t n = read(out[0], &c, 1);
        if (n <= 0 || c == '\n') break;
        line.push_back(c);
    }
    ::close(out[0]);
    unsigned a, b, d, e, port;
    if (std::sscanf(line.c_str(), "listening on %u.%u.%u.%u:%u", &a, &b, &d, &e, &port) != 5) {
        int status = stop(SIGKILL);
        return "simulator did not start (status " + std::to_string(status) + ", stdout '" + line +
               "'):\n" + log();
    }
    port_ = static_cast<uint16_t>(port);
    return "";
}

int Simulator::stop(int signal) {
    if (pid_ <= 0) return -1;
    kill(pid_, signal);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return decode_status(status);
}

std::string Simulator::log() const {
    std::ifstream in(log_path_);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> simulator_args(const std::string& token, const std::string& reader,
                                        const std::string& flat, const std::vector<LunFile>& luns,
                                        const std::string& san_disk) {
    std::vector<std::string> args = {"--token", token,    "--read-only-token",
                                     reader,    "--disk", "/vm/flat=" + flat};
    std::string layout;
    for (const LunFile& l : luns) {
        args.insert(args.end(), {"--lun", l.wwn_hex + "=" + l.path});
        layout += (layout.empty() ? ":" : ",") + l.wwn_hex;
    }
    args.insert(args.end(), {"--san-disk", san_disk + layout});
    return args;
}

int run_simulator(const std::vector<std::string>& args, std::string& err) {
    TempDir dir("hxa-sim-test");
    std::string err_path = dir.file("stderr");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<std::string> storage;
    std::vector<char*> argv = make_argv(HXA_SIMULATOR, args, storage);
    pid_t pid;
    int rc = posix_spawn(&pid, HXA_SIMULATOR, &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    std::ifstream in(err_path);
    std::stringstream s;
    s << in.rdbuf();
    err = s.str();
    return decode_status(status);
}

std::string write_certificate(const std::string& cert_path, const std::string& key_path) {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    std::string error;
    if (key == nullptr || cert == nullptr) {
        error = "key or certificate allocation failed";
    } else {
        X509_NAME* name = X509_get_subject_name(cert);
        X509_set_version(cert, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(cert), 7);
        X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
        X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("test-hxa"), -1, -1, 0);
        X509_set_issuer_name(cert, name);
        X509_set_pubkey(cert, key);
        if (X509_sign(cert, key, EVP_sha256()) <= 0) error = "signing failed";
    }
    if (error.empty()) {
        FILE* c = fopen(cert_path.c_str(), "w");
        FILE* k = fopen(key_path.c_str(), "w");
        if (c == nullptr || k == nullptr || PEM_write_X509(c, cert) != 1 ||
            PEM_write_PrivateKey(k, key, nullptr, nullptr, 0, nullptr, nullptr) != 1)
            error = "writing PEM files failed";
        if (c) fclose(c);
        if (k) fclose(k);
    }
    X509_free(cert);
    EVP_PKEY_free(key);
    return error;
}

RawClient::~RawClient() { close(); }

void RawClient::close() {
    if (ssl_ != nullptr) SSL_free(ssl_);
    if (ctx_ != nullptr) SSL_CTX_free(ctx_);
    if (fd_ >= 0) ::close(fd_);
    ssl_ = nullptr;
    ctx_ = nullptr;
    fd_ = -1;
}

std::string RawClient::connect(uint16_t port, bool tls) {
    close();
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return std::string("socket: ") + std::strerror(errno);
    // A silent peer must fail the test instead of hanging it.
    struct timeval tv = {30, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<struct sockaddr*>(&a), sizeof a) != 0)
        return std::string("connect: ") + std::strerror(errno);
    if (!tls) return "";
    ctx_ = SSL_CTX_new(TLS_client_method());
    ssl_ = ctx_ ? SSL_new(ctx_) : nullptr;
    if (ssl_ == nullptr || SSL_set_fd(ssl_, fd_) != 1) return "TLS client set-up failed";
    if (SSL_connect(ssl_) != 1) {
        char text[256];
        ERR_error_string_n(ERR_get_error(), text, sizeof text);
        return std::string("TLS handshake: ") + text;
    }
    return "";
}

bool RawClient::send_bytes(const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        int chunk = static_cast<int>(std::min<size_t>(size, 1 << 20));
        ssize_t n = ssl_ ? SSL_write(ssl_, p, chunk)
                         : send(fd_, p, static_cast<size_t>(chunk), MSG_NOSIGNAL);
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool RawClient::recv_bytes(void* data, size_t size) {
    char* p = static_cast<char*>(data);
    while (size > 0) {
        int chunk = static_cast<int>(std::min<size_t>(size, 1 << 20));
        ssize_t n = ssl_ ? SSL_read(ssl_, p, chunk) : recv(fd_, p, static_cast<size_t>(chunk), 0);
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool RawClient::peer_closed() {
    char c;
    ssize_t n = ssl_ ? SSL_read(ssl_, &c, 1) : recv(fd_, &c, 1, 0);
    return n <= 0 && !(n < 0 && !ssl_ && (errno == EAGAIN || errno == EWOULDBLOCK));
}

Bytes RawClient::request(uint16_t op, const void* payload, uint32_t length) {
    hxa::MsgHeader h{};
    h.magic = hxa::kMagic;
    h.operation = op;
    h.seqNo = next_seq++;
    h.length = length;
    h.crc = testcommon::reference_crc(&h, 14);
    Bytes out(sizeof h + length);
    std::memcpy(out.data(), &h, sizeof h);
    if (length) std::memcpy(out.data() + sizeof h, payload, length);
    return out;
}

bool RawClient::reply(hxa::MsgHeader& header, Bytes& payload) {
    if (!recv_bytes(&header, sizeof header)) return false;
    if (header.length > (64u << 20)) return false;
    payload.assign(header.length, 0);
    return header.length == 0 || recv_bytes(payload.data(), payload.size());
}

uint16_t RawClient::open_exchange(uint16_t op, const void* req, uint32_t size, uint32_t& handle) {
    Bytes msg = request(op, req, size);
    hxa::MsgHeader h;
    Bytes p;
    if (!send_bytes(msg.data(), msg.size()) || !reply(h, p) || h.operation != op ||
        p.size() != sizeof(hxa::OpenReply))
        return kExchangeFailed;
    hxa::OpenReply r;
    std::memcpy(&r, p.data(), sizeof r);
    if (r.result == 0) handle = r.handle;
    return r.result;
}

uint16_t RawClient::open_lan(const std::string& path, const std::string& token, uint16_t mode,
                             uint32_t& handle) {
    hxa::OpenLanRequest req{};
    std::strncpy(req.diskPath, path.c_str(), sizeof req.diskPath - 1);
    std::strncpy(req.token, token.c_str(), sizeof req.token - 1);
    req.openMode = mode;
    return open_exchange(hxa::OP_LAN_OPEN, &req, sizeof req, handle);
}

uint16_t RawClient::open_san(const std::string& path, const std::string& token, uint32_t& handle) {
    hxa::OpenSanRequest req{};
    std::strncpy(req.diskPath, path.c_str(), sizeof req.diskPath - 1);
    std::strncpy(req.token, token.c_str(), sizeof req.token - 1);
    return open_exchange(hxa::OP_SAN_OPEN, &req, sizeof req, handle);
}

uint16_t RawClient::close_disk(uint16_t op, uint32_t handle) {
    hxa::CloseRequest req{handle};
    Bytes msg = request(op, &req, sizeof req);
    hxa::MsgHeader h;
    Bytes p;
    if (!send_bytes(msg.data(), msg.size()) || !reply(h, p) || h.operation != op ||
        p.size() != sizeof(hxa::CloseReply))
        return kExchangeFailed;
    hxa::CloseReply r;
    std::memcpy(&r, p.data(), sizeof r);
    return r.result;
}

uint16_t RawClient::transfer_reply(uint16_t op, uint32_t& count, Bytes* rest) {
    hxa::MsgHeader h;
    Bytes p;
    if (!reply(h, p) || h.operation != op || p.size() < sizeof(hxa::TransferReplyHead))
        return kExchangeFailed;
    hxa::TransferReplyHead r;
    std::memcpy(&r, p.data(), sizeof r);
    count = r.count;
    if (rest) rest->assign(p.begin() + sizeof r, p.end());
    return r.result;
}

uint16_t RawClient::lan_read(uint32_t handle, uint64_t offset, uint32_t length, Bytes& data) {
    hxa::LanTransferRequest req{handle, offset, length};
    Bytes msg = request(hxa::OP_LAN_READ, &req, sizeof req);
    uint32_t count = 0;
    if (!send_bytes(msg.data(), msg.size())) return kExchangeFailed;
    uint16_t result = transfer_reply(hxa::OP_LAN_READ, count, nullptr);
    data.clear();
    if (result == 0 && count > 0) {
        data.resize(count);
        if (!recv_bytes(data.data(), count)) return kExchangeFailed;
    }
    return result;
}

uint16_t RawClient::lan_write(uint32_t handle, uint64_t offset, const Bytes& data) {
    hxa::LanTransferRequest req{handle, offset, static_cast<uint32_t>(data.size())};
    Bytes msg = request(hxa::OP_LAN_WRITE, &req, sizeof req);
    uint32_t count = 0;
    if (!send_bytes(msg.data(), msg.size()) || !send_bytes(data.data(), data.size()))
        return kExchangeFailed;
    return transfer_reply(hxa::OP_LAN_WRITE, count, nullptr);
}

uint16_t RawClient::lan_zero(uint32_t handle, uint64_t offset, uint32_t length) {
    hxa::LanTransferRequest req{handle, offset, length};
    Bytes msg = request(hxa::OP_LAN_WRITE_NODATA, &req, sizeof req);
    uint32_t count = 0;
    if (!send_bytes(msg.data(), msg.size())) return kExchangeFailed;
    return transfer_reply(hxa::OP_LAN_WRITE_NODATA, count, nullptr);
}

uint16_t RawClient::san_map(uint32_t handle, uint64_t offset, uint64_t length,
                            std::vector<vhd_Rec>& records) {
    hxa::SanMapRequest req{handle, offset, length};
    Bytes msg = request(hxa::OP_SAN_ADDR_MAP, &req, sizeof req);
    uint32_t count = 0;
    Bytes rest;
    records.clear();
    if (!send_bytes(msg.data(), msg.size())) return kExchangeFailed;
    uint16_t result = transfer_reply(hxa::OP_SAN_ADDR_MAP, count, &rest);
    if (result == kExchangeFailed) return result;
    if (rest.size() != static_cast<size_t>(count) * sizeof(vhd_Rec)) return kExchangeFailed;
    records.resize(count);
    if (count) std::memcpy(records.data(), rest.data(), rest.size());
    return result;
}

namespace {

const LunFile* find_lun(const vhd_Rec& r, const std::vector<LunFile>& luns) {
    const std::string hex = testcommon::wwn_hex(r.lunWwn);
    for (const auto& l : luns)
        if (l.wwn_hex == hex) return &l;
    return nullptr;
}

}  // namespace

bool apply_read_map(const std::vector<vhd_Rec>& records, const std::vector<LunFile>& luns,
                    Bytes& out) {
    out.clear();
    for (const auto& r : records) {
        if (r.phyOffset == 0) {
            out.insert(out.end(), static_cast<size_t>(r.dataLen), 0);
            continue;
        }
        const LunFile* l = find_lun(r, luns);
        if (l == nullptr || r.phyOffset < 0x200000) return false;
        Bytes part = read_file(l->path, r.phyOffset, r.dataLen);
        if (part.size() != r.dataLen) return false;
        out.insert(out.end(), part.begin(), part.end());
    }
    return true;
}

bool apply_write_map(const std::vector<vhd_Rec>& records, const std::vector<LunFile>& luns,
                     const Bytes& data) {
    size_t at = 0;
    for (const auto& r : records) {
        const LunFile* l = find_lun(r, luns);
        if (l == nullptr || r.phyOffset < 0x200000 || at + r.dataLen > data.size()) return false;
        write_file(l->path, r.phyOffset,
                   Bytes(data.begin() + static_cast<long>(at),
                         data.begin() + static_cast<long>(at + r.dataLen)));
        at += static_cast<size_t>(r.dataLen);
    }
    return at == data.size();
}

}  // namespace simtest
