#include "hxa_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "hxa_checksum.h"

namespace zev_common {
namespace {

// One client context for every connection: no certificate check, the defaults of the build.
SSL_CTX* client_context() {
    static SSL_CTX* const ctx = SSL_CTX_new(TLS_client_method());
    return ctx;
}

}  // namespace

HxaClient::~HxaClient() { close(); }

void HxaClient::close(bool close_notify) {
    if (ssl_ != nullptr) {
        if (close_notify) SSL_shutdown(ssl_);
        SSL_free(ssl_);
    }
    if (fd_ >= 0) ::close(fd_);
    ssl_ = nullptr;
    fd_ = -1;
}

void HxaClient::finish_tls() {
    if (ssl_ == nullptr) return;
    SSL_shutdown(ssl_);
    char byte;
    while (SSL_read(ssl_, &byte, 1) > 0) {
    }
}

std::string HxaClient::cipher() const { return ssl_ ? SSL_get_cipher_name(ssl_) : "none"; }

std::string HxaClient::connect(uint16_t port, bool tls) {
    close();
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return std::string("socket: ") + std::strerror(errno);
    struct timeval tv = {30, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<struct sockaddr*>(&a), sizeof a) != 0)
        return std::string("connect: ") + std::strerror(errno);
    int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (!tls) return "";
    SSL_CTX* ctx = client_context();
    ssl_ = ctx ? SSL_new(ctx) : nullptr;
    if (ssl_ == nullptr || SSL_set_fd(ssl_, fd_) != 1) return "TLS client set-up failed";
    if (SSL_connect(ssl_) != 1) {
        char text[256];
        ERR_error_string_n(ERR_get_error(), text, sizeof text);
        return std::string("TLS handshake: ") + text;
    }
    return "";
}

bool HxaClient::move_all(char* p, size_t size, bool out) {
    while (size > 0) {
        const int chunk = static_cast<int>(std::min<size_t>(size, 1 << 30));
        const ssize_t n =
            ssl_ ? (out ? SSL_write(ssl_, p, chunk) : SSL_read(ssl_, p, chunk))
                 : (out ? send(fd_, p, size, MSG_NOSIGNAL) : recv(fd_, p, size, MSG_WAITALL));
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool HxaClient::send_bytes(const void* data, size_t size) {
    return move_all(const_cast<char*>(static_cast<const char*>(data)), size, true);
}

bool HxaClient::recv_bytes(void* data, size_t size) {
    return move_all(static_cast<char*>(data), size, false);
}

bool HxaClient::peer_closed() {
    char c;
    ssize_t n = ssl_ ? SSL_read(ssl_, &c, 1) : recv(fd_, &c, 1, 0);
    return n <= 0 && !(n < 0 && !ssl_ && (errno == EAGAIN || errno == EWOULDBLOCK));
}

HxaClient::Bytes HxaClient::request(uint16_t op, const void* payload, uint32_t length) {
    const hxa::MsgHeader h = hxa::make_header(op, next_seq++, length);
    Bytes out(sizeof h + length);
    std::memcpy(out.data(), &h, sizeof h);
    if (length) std::memcpy(out.data() + sizeof h, payload, length);
    return out;
}

bool HxaClient::send_request(uint16_t op, const void* payload, uint32_t length, const void* data,
                             size_t data_size) {
    if (hxa::kHeaderSize + length > hxa::kMessageAreaSize) {
        const Bytes msg = request(op, payload, length);
        return send_bytes(msg.data(), msg.size()) &&
               (data == nullptr || send_bytes(data, data_size));
    }
    char msg[hxa::kMessageAreaSize];
    const hxa::MsgHeader h = hxa::make_header(op, next_seq++, length);
    std::memcpy(msg, &h, sizeof h);
    if (length) std::memcpy(msg + sizeof h, payload, length);
    const size_t head = sizeof h + length;
    if (data == nullptr || data_size == 0 || ssl_ != nullptr)
        return send_bytes(msg, head) && (data == nullptr || send_bytes(data, data_size));
    // Plain TCP: request and data leave together.
    struct iovec iov[2] = {{msg, head}, {const_cast<void*>(data), data_size}};
    size_t left = head + data_size;
    int first = 0;
    while (left > 0) {
        struct msghdr m {};
        m.msg_iov = iov + first;
        m.msg_iovlen = static_cast<size_t>(2 - first);
        const ssize_t n = sendmsg(fd_, &m, MSG_NOSIGNAL);
        if (n <= 0) return false;
        left -= static_cast<size_t>(n);
        for (size_t k = static_cast<size_t>(n); k > 0;) {
            const size_t step = std::min(k, iov[first].iov_len);
            iov[first].iov_base = static_cast<char*>(iov[first].iov_base) + step;
            iov[first].iov_len -= step;
            k -= step;
            if (iov[first].iov_len == 0 && first < 1) ++first;
        }
    }
    return true;
}

bool HxaClient::reply(hxa::MsgHeader& header, Bytes& payload) {
    if (!recv_bytes(&header, sizeof header)) return false;
    if (header.length > (64u << 20)) return false;
    payload.assign(header.length, 0);
    return header.length == 0 || recv_bytes(payload.data(), payload.size());
}

bool HxaClient::recv_reply(uint16_t op, void* payload, uint32_t max, uint32_t& length) {
    hxa::MsgHeader h;
    if (!recv_bytes(&h, sizeof h) || h.operation != op || h.length > max) return false;
    length = h.length;
    return recv_bytes(payload, length);
}

bool HxaClient::recv_transfer(uint16_t op, hxa::TransferReplyHead& head) {
    char in[sizeof(hxa::MsgHeader) + sizeof head];
    hxa::MsgHeader h;
    if (!recv_bytes(in, sizeof in)) return false;
    std::memcpy(&h, in, sizeof h);
    std::memcpy(&head, in + sizeof h, sizeof head);
    return h.operation == op && h.length == sizeof head;
}

uint16_t HxaClient::open_exchange(uint16_t op, const void* req, uint32_t size, uint32_t& handle) {
    hxa::MsgHeader h;
    Bytes p;
    hxa::OpenReply r;
    if (!send_request(op, req, size) || !reply(h, p) || h.operation != op || p.size() != sizeof r)
        return kExchangeFailed;
    std::memcpy(&r, p.data(), sizeof r);
    if (r.result == hxa::RES_OK) handle = r.handle;
    return r.result;
}

uint16_t HxaClient::open_lan(const std::string& path, const std::string& token, uint16_t mode,
                             uint32_t& handle) {
    hxa::OpenLanRequest req{};
    std::strncpy(req.diskPath, path.c_str(), sizeof req.diskPath - 1);
    std::strncpy(req.token, token.c_str(), sizeof req.token - 1);
    req.openMode = mode;
    return open_exchange(hxa::OP_LAN_OPEN, &req, sizeof req, handle);
}

uint16_t HxaClient::open_san(const std::string& path, const std::string& token, uint32_t& handle) {
    hxa::OpenSanRequest req{};
    std::strncpy(req.diskPath, path.c_str(), sizeof req.diskPath - 1);
    std::strncpy(req.token, token.c_str(), sizeof req.token - 1);
    return open_exchange(hxa::OP_SAN_OPEN, &req, sizeof req, handle);
}

uint16_t HxaClient::close_disk(uint16_t op, uint32_t handle) {
    const hxa::CloseRequest req{handle};
    hxa::MsgHeader h;
    Bytes p;
    hxa::CloseReply r;
    if (!send_request(op, &req, sizeof req) || !reply(h, p) || h.operation != op ||
        p.size() != sizeof r)
        return kExchangeFailed;
    std::memcpy(&r, p.data(), sizeof r);
    return r.result;
}

uint16_t HxaClient::lan_read(uint32_t handle, uint64_t offset, uint32_t length, void* out,
                             uint32_t& count) {
    const hxa::LanTransferRequest req{handle, offset, length};
    hxa::TransferReplyHead t;
    count = 0;
    if (!send_request(hxa::OP_LAN_READ, &req, sizeof req) || !recv_transfer(hxa::OP_LAN_READ, t))
        return kExchangeFailed;
    if (t.result == hxa::RES_OK && t.count > 0) {
        if (t.count > length || !recv_bytes(out, t.count)) return kExchangeFailed;
        count = t.count;
    }
    return t.result;
}

uint16_t HxaClient::lan_read(uint32_t handle, uint64_t offset, uint32_t length, Bytes& data) {
    data.resize(length);
    uint32_t count = 0;
    const uint16_t result = lan_read(handle, offset, length, data.data(), count);
    data.resize(count);
    return result;
}

uint16_t HxaClient::lan_write(uint32_t handle, uint64_t offset, const void* data, uint32_t length) {
    const hxa::LanTransferRequest req{handle, offset, length};
    hxa::TransferReplyHead t;
    if (!send_request(hxa::OP_LAN_WRITE, &req, sizeof req, data, length) ||
        !recv_transfer(hxa::OP_LAN_WRITE, t))
        return kExchangeFailed;
    return t.result;
}

uint16_t HxaClient::lan_zero(uint32_t handle, uint64_t offset, uint32_t length) {
    const hxa::LanTransferRequest req{handle, offset, length};
    hxa::TransferReplyHead t;
    if (!send_request(hxa::OP_LAN_WRITE_NODATA, &req, sizeof req) ||
        !recv_transfer(hxa::OP_LAN_WRITE_NODATA, t))
        return kExchangeFailed;
    return t.result;
}

uint16_t HxaClient::san_map(uint32_t handle, uint64_t offset, uint64_t length,
                            std::vector<vhd_Rec>& records) {
    const hxa::SanMapRequest req{handle, offset, length};
    hxa::MsgHeader h;
    hxa::TransferReplyHead t;
    records.clear();
    if (!send_request(hxa::OP_SAN_ADDR_MAP, &req, sizeof req) || !recv_bytes(&h, sizeof h) ||
        h.operation != hxa::OP_SAN_ADDR_MAP || h.length < sizeof t || h.length > (64u << 20) ||
        !recv_bytes(&t, sizeof t))
        return kExchangeFailed;
    // The records follow the transfer head inside the payload.
    if (h.length - sizeof t != static_cast<size_t>(t.count) * sizeof(vhd_Rec)) {
        Bytes rest(h.length - sizeof t);  // consumed, so the stream stays in step
        recv_bytes(rest.data(), rest.size());
        return kExchangeFailed;
    }
    records.resize(t.count);
    if (t.count != 0 && !recv_bytes(records.data(), t.count * sizeof(vhd_Rec)))
        return kExchangeFailed;
    return t.result;
}

}  // namespace zev_common
