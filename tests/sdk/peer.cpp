#include "peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace testpeer {

long Conn::raw_read(uint8_t* p, size_t n) {
    if (ssl != nullptr) return SSL_read(ssl, p, static_cast<int>(n));
    for (;;) {
        ssize_t r = ::read(fd, p, n);
        if (r < 0 && errno == EINTR) continue;
        return r;
    }
}

long Conn::raw_write(const uint8_t* p, size_t n) {
    if (ssl != nullptr) return SSL_write(ssl, p, static_cast<int>(n));
    for (;;) {
        ssize_t r = ::send(fd, p, n, MSG_NOSIGNAL);
        if (r < 0 && errno == EINTR) continue;
        return r;
    }
}

bool Conn::read_exact(size_t n, Bytes* out) {
    Bytes buf(n);
    size_t got = 0;
    while (got < n) {
        size_t want = n - got > (1u << 20) ? (1u << 20) : n - got;
        long r = raw_read(buf.data() + got, want);
        if (r <= 0) break;
        {
            std::lock_guard<std::mutex> lock(*mutex);
            received->insert(received->end(), buf.begin() + got, buf.begin() + got + r);
        }
        got += static_cast<size_t>(r);
    }
    buf.resize(got);
    if (out != nullptr) *out = std::move(buf);
    return got == n;
}

Bytes Conn::read_all() {
    Bytes all;
    uint8_t buf[65536];
    for (;;) {
        long r = raw_read(buf, sizeof buf);
        if (r <= 0) break;
        std::lock_guard<std::mutex> lock(*mutex);
        received->insert(received->end(), buf, buf + r);
        all.insert(all.end(), buf, buf + r);
    }
    return all;
}

bool Conn::send(const Bytes& data) {
    size_t done = 0;
    while (done < data.size()) {
        long r = raw_write(data.data() + done, data.size() - done);
        if (r <= 0) return false;
        done += static_cast<size_t>(r);
    }
    return true;
}

bool Conn::send_pieces(const Bytes& data, size_t piece) {
    for (size_t at = 0; at < data.size(); at += piece) {
        size_t n = data.size() - at < piece ? data.size() - at : piece;
        Bytes part(data.begin() + at, data.begin() + at + n);
        if (!send(part)) return false;
        // Give the reader a chance to see each piece on its own.
        std::this_thread::yield();
    }
    return true;
}

void Conn::close() {
    if (ssl != nullptr) {
        SSL_free(ssl);
        ssl = nullptr;
    }
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

TlsIdentity::TlsIdentity() {
    key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
    if (key == nullptr) throw std::runtime_error("EC key generation failed");
    cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 3600L * 24);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    if (X509_sign(cert, key, EVP_sha256()) == 0) throw std::runtime_error("certificate signing");
}

TlsIdentity::~TlsIdentity() {
    X509_free(cert);
    EVP_PKEY_free(key);
}

Peer::Peer(bool tls) : tls_(tls) {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    if (listen_fd_ < 0) throw std::runtime_error("socket");
    int one = 1;
    setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listen_fd_, 4) != 0)
        throw std::runtime_error("bind/listen on 127.0.0.1");
    socklen_t len = sizeof addr;
    getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    if (tls_) {
        identity_ = new TlsIdentity();
        ctx_ = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate(ctx_, identity_->cert);
        SSL_CTX_use_PrivateKey(ctx_, identity_->key);
    }
}

Peer::~Peer() {
    // A test that ends early must not leave the script waiting for its client.
    int fd = conn_fd_.load();
    if (fd >= 0 && thread_.joinable()) ::shutdown(fd, SHUT_RDWR);
    if (thread_.joinable()) ::shutdown(listen_fd_, SHUT_RDWR);
    join();
    if (listen_fd_ >= 0) ::close(listen_fd_);
    if (ctx_ != nullptr) SSL_CTX_free(ctx_);
    delete identity_;
}

void Peer::serve(Script script) {
    thread_ = std::thread([this, script]() {
        // The peer's own writes to a closed client must not end the test process.
        sigset_t pipe_set;
        sigemptyset(&pipe_set);
        sigaddset(&pipe_set, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_set, nullptr);
        int fd = ::accept(listen_fd_, nullptr, nullptr);
        if (fd < 0) return;
        conn_fd_ = fd;
        Conn conn;
        conn.fd = fd;
        conn.mutex = &mutex_;
        conn.received = &received_;
        if (tls_) {
            conn.ssl = SSL_new(ctx_);
            SSL_set_fd(conn.ssl, fd);
            if (SSL_accept(conn.ssl) <= 0) {
                handshake_ok_ = false;
                ERR_clear_error();
                conn_fd_ = -1;
                conn.close();
                return;
            }
        }
        script(conn);
        conn_fd_ = -1;
        conn.close();
        ERR_clear_error();
    });
}

void Peer::join() {
    if (thread_.joinable()) thread_.join();
}

Bytes Peer::received() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

void put16(Bytes& b, uint16_t v) {
    for (int i = 0; i < 2; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void put32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void put64(Bytes& b, uint64_t v) {
    for (int i = 0; i < 8; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

Bytes reply_header(uint16_t operation, uint32_t length, uint16_t magic, uint32_t seqNo,
                   uint32_t crc) {
    Bytes b;
    put16(b, magic);
    put16(b, 0);
    put16(b, operation);
    put32(b, seqNo);
    put32(b, length);
    put32(b, crc);
    return b;
}

Bytes open_reply(uint16_t result, uint32_t handle, uint16_t operation) {
    Bytes b = reply_header(operation, 6);
    put16(b, result);
    put32(b, handle);
    return b;
}

Bytes close_reply(uint16_t result, uint16_t operation) {
    Bytes b = reply_header(operation, 2);
    put16(b, result);
    return b;
}

Bytes transfer_reply(uint16_t operation, const Bytes& payload) {
    return concat({reply_header(operation, static_cast<uint32_t>(payload.size())), payload});
}

Bytes hex(const std::string& text) {
    Bytes b;
    std::string digits;
    for (char c : text)
        if (!isspace(static_cast<unsigned char>(c)) && c != ',') digits += c;
    for (size_t i = 0; i + 1 < digits.size(); i += 2)
        b.push_back(static_cast<uint8_t>(std::strtoul(digits.substr(i, 2).c_str(), nullptr, 16)));
    return b;
}

std::string to_hex(const Bytes& b) {
    std::string s;
    char t[4];
    for (size_t i = 0; i < b.size(); ++i) {
        std::snprintf(t, sizeof t, "%02X", b[i]);
        if (i) s += ' ';
        s += t;
    }
    return s;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

}  // namespace testpeer
