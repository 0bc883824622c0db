// The connection to the HXA service: the socket and its limits, the TLS session and its
// handshake, and the certificate pins the service's certificate is checked against.
#include "connect.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>

#include "log_scope.h"
#include "transport.h"

namespace qvsdk {
namespace {

// Certificate pins: the SHA-256 fingerprints of the service certificates an object accepts
// on its TLS connections. They are kept in a table of the process indexed by the object's
// address, so that the object's fields stay as hosts know them. The pins are set rarely (before
// connecting) and read once per TLS connect, so one mutex guards the table.
struct PinTable {
    std::mutex mutex;
    std::map<const CQuillonvardeSDKImpl*, std::vector<Fingerprint>> pins;
};

// Whether any object ever had pins: until then the destructor need not look at the table.
std::atomic<bool> g_pinsUsed{false};

// Made on first use and never destroyed, so that objects destroyed while the process exits
// still find it.
PinTable& pin_table() {
    static PinTable* const table = new PinTable();
    return *table;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The form OpenSSL prints: upper-case byte pairs separated by colons, in `text` (no
// allocation).
using FingerprintText = char[kFingerprintSize * 3];
void fingerprint_text(const Fingerprint& fingerprint, FingerprintText& text) {
    static const char kDigits[] = "0123456789ABCDEF";
    for (size_t i = 0; i < fingerprint.size(); ++i) {
        text[3 * i] = kDigits[fingerprint[i] >> 4];
        text[3 * i + 1] = kDigits[fingerprint[i] & 0xF];
        text[3 * i + 2] = i + 1 < fingerprint.size() ? ':' : '\0';
    }
}

// Whether the object has pins.
bool has_pins(const CQuillonvardeSDKImpl* self) {
    if (!g_pinsUsed.load(std::memory_order_acquire)) return false;
    PinTable& table = pin_table();
    std::lock_guard<std::mutex> lock(table.mutex);
    return table.pins.count(self) != 0;
}

// Whether `fingerprint` is one of the object's pins (looked up in place, without a copy).
bool is_pinned(const CQuillonvardeSDKImpl* self, const Fingerprint& fingerprint) {
    PinTable& table = pin_table();
    std::lock_guard<std::mutex> lock(table.mutex);
    auto found = table.pins.find(self);
    return found != table.pins.end() && std::find(found->second.begin(), found->second.end(),
                                                  fingerprint) != found->second.end();
}

// The SHA-256 fingerprint of the certificate the service presented on the session. False
// when it presented none (`present` false) or the digest failed (the reason is left for the
// caller to log).
bool digest_peer_certificate(SSL* ssl, Fingerprint& received, bool& present) {
    X509* certificate = SSL_get1_peer_certificate(ssl);
    present = certificate != nullptr;
    if (!present) return false;
    unsigned int size = 0;
    const bool digested = X509_digest(certificate, EVP_sha256(), received.data(), &size) == 1 &&
                          size == kFingerprintSize;
    X509_free(certificate);
    return digested;
}

// Whether the certificate the service presented on the session is one the object pinned; true
// when the object pinned none. Tells the reason of a refusal.
bool peer_certificate_pinned(const CQuillonvardeSDKImpl* self) {
    if (!has_pins(self)) return true;
    Fingerprint received{};
    bool present = false;
    if (!digest_peer_certificate(self->m_pSSL, received, present)) {
        if (!present)
            LOG_ERROR(
                "ConnectHXA: the service presented no certificate, which is not pinned  (line "
                "%d)",
                __LINE__);
        else
            LOG_ERROR(
                "ConnectHXA: the fingerprint of the service's certificate cannot be computed: "
                "%s  (line %d)",
                ssl_reason(), __LINE__);
        return false;
    }
    FingerprintText text;
    fingerprint_text(received, text);
    if (!is_pinned(self, received)) {
        LOG_ERROR(
            "ConnectHXA: the service's certificate has SHA-256 fingerprint %s, which is not "
            "pinned  (line %d)",
            text, __LINE__);
        return false;
    }
    LOG_INFO("ConnectHXA: the service's certificate has the pinned SHA-256 fingerprint %s", text);
    return true;
}

// The handshake, continued after interruptions within one 30-second limit. Returns
// SSL_connect's last result.
int tls_handshake(CQuillonvardeSDKImpl& self) {
    ERR_clear_error();
    int ret;
    const Deadline deadline;
    for (;;) {
        errno = 0;
        ret = SSL_connect(self.m_pSSL);
        short events = 0;
        if (ret > 0 || !tls_interrupted(self.m_pSSL, ret, errno, &events)) break;
        if (wait_ready(self.m_iSocket, events, deadline, EAGAIN) != 0) break;
        ERR_clear_error();
    }
    return ret;
}

}  // namespace

bool parse_fingerprint(const std::string& text, Fingerprint& out) {
    size_t pos = 0;
    for (size_t i = 0; i < kFingerprintSize; ++i) {
        if (i > 0 && pos < text.size() && text[pos] == ':') ++pos;
        if (text.size() - pos < 2) return false;
        const int high = hex_digit(text[pos]);
        const int low = hex_digit(text[pos + 1]);
        if (high < 0 || low < 0) return false;
        out[i] = static_cast<unsigned char>(high << 4 | low);
        pos += 2;
    }
    return pos == text.size();
}

bool peer_fingerprint(const CQuillonvardeSDKImpl* self, std::string& text) {
    if (self->m_pSSL == nullptr) {
        LOG_ERROR("ServerCertificateFingerprint: the object has no TLS connection  (line %d)",
                  __LINE__);
        return false;
    }
    Fingerprint received{};
    bool present = false;
    if (!digest_peer_certificate(self->m_pSSL, received, present)) {
        if (!present)
            LOG_ERROR(
                "ServerCertificateFingerprint: the service presented no certificate  (line "
                "%d)",
                __LINE__);
        else
            LOG_ERROR(
                "ServerCertificateFingerprint: the fingerprint of the service's certificate "
                "cannot be computed: %s  (line %d)",
                ssl_reason(), __LINE__);
        return false;
    }
    FingerprintText printed;
    fingerprint_text(received, printed);
    text = printed;
    return true;
}

void set_pins(const CQuillonvardeSDKImpl* self, std::vector<Fingerprint> pins) {
    PinTable& table = pin_table();
    {
        std::lock_guard<std::mutex> lock(table.mutex);
        if (pins.empty())
            table.pins.erase(self);
        else
            table.pins[self] = std::move(pins);
    }
    g_pinsUsed.store(true, std::memory_order_release);
}

void forget_pins(const CQuillonvardeSDKImpl* self) noexcept {
    if (!g_pinsUsed.load(std::memory_order_acquire)) return;
    PinTable& table = pin_table();
    std::lock_guard<std::mutex> lock(table.mutex);
    table.pins.erase(self);
}

bool connect_socket(CQuillonvardeSDKImpl& self, const std::string& serverIp, unsigned short port) {
    self.m_iSocket = socket(AF_INET, SOCK_STREAM, 0);
    if (self.m_iSocket == -1) {
        LOG_ERROR("ConnectHXA: %s  (line %d)", std::strerror(errno), __LINE__);
        return false;
    }

    struct timeval timeout;
    timeout.tv_sec = kSocketTimeoutSeconds;
    timeout.tv_usec = 0;
    if (setsockopt(self.m_iSocket, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout) != 0) {
        int err = errno;
        LOG_INFO("ConnectHXA: set send timeout fail!");
        LOG_ERROR("ConnectHXA: %s  (line %d)", std::strerror(err), __LINE__);
        return false;
    }
    if (setsockopt(self.m_iSocket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0) {
        int err = errno;
        LOG_INFO("ConnectHXA: set recv timeout fail!");
        LOG_ERROR("ConnectHXA: %s  (line %d)", std::strerror(err), __LINE__);
        return false;
    }

    // A request and its data block, and under TLS every record, leave in separate writes. With
    // Nagle's algorithm a small segment would wait for the peer's acknowledgement of the one
    // before (up to the delayed-ACK time); every write here is a whole message part, so it
    // goes out at once. Only the timing of segments changes: failing to set it is harmless.
    const int noDelay = 1;
    (void)setsockopt(self.m_iSocket, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);

    struct sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = inet_addr(serverIp.c_str());
    LOG_INFO("ConnectHXA: address created");

    const Deadline connectDeadline;
    if (connect(self.m_iSocket, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0) {
        int err = errno;
        if (err == EINTR) err = finish_interrupted_connect(self.m_iSocket, connectDeadline);
        if (err != 0) {
            LOG_ERROR("ConnectHXA: %s  (line %d)", std::strerror(err), __LINE__);
            return false;
        }
    }
    LOG_INFO("ConnectHXA: server connected");
    return true;
}

bool start_tls(CQuillonvardeSDKImpl& self) {
    SSL_library_init();
    OPENSSL_add_all_algorithms_noconf();
    SSL_load_error_strings();

    self.m_pSSLCtx = SSL_CTX_new(SSLv23_client_method());
    if (self.m_pSSLCtx == nullptr) {
        LOG_ERROR("ConnectHXA: %s  (line %d)", ssl_reason(), __LINE__);
        return false;
    }
    self.m_pSSL = SSL_new(self.m_pSSLCtx);
    if (self.m_pSSL == nullptr) {
        // Without a session there is nothing to hand the socket to.
        LOG_ERROR("ConnectHXA: SSL_new failed: %s  (line %d)", ssl_reason(), __LINE__);
        return false;
    }
    if (!attach_socket(self.m_pSSL, self.m_iSocket)) {
        LOG_ERROR("ConnectHXA: attaching the socket to the TLS session failed: %s  (line %d)",
                  ssl_reason(), __LINE__);
        return false;
    }
    // Read ahead: OpenSSL fills a larger buffer with whatever has arrived instead of
    // reading each record's header and body in two calls. SSL_read still hands out one
    // record at a time; only the number of socket reads changes.
    SSL_set_read_ahead(self.m_pSSL, 1);
    SSL_set_default_read_buffer_len(self.m_pSSL, kTlsReadBuffer);
    const int ret = tls_handshake(self);
    LOG_ERROR("ConnectHXA SSL return:[%d] ", ret);
    if (ret <= 0) {
        LOG_ERROR("ConnectHXA err,return:[%d] err info:[%s]  (line %d)", ret, ssl_reason(),
                  __LINE__);
        return false;
    }
    LOG_INFO("ConnectHXA: connected with %s encryption",
             SSL_CIPHER_get_name(SSL_get_current_cipher(self.m_pSSL)));
    if (!peer_certificate_pinned(&self)) {
        // Nothing more goes to a service that is not the pinned one: the TLS session is
        // closed (a later SSL_write is refused) and so is the socket in both directions,
        // so that an OpenDisk on this connection cannot send the token. The session, the
        // context and the descriptor stay for DisConnectHXA to release.
        SSL_shutdown(self.m_pSSL);
        shutdown(self.m_iSocket, SHUT_RDWR);
        ERR_clear_error();
        return false;
    }
    return true;
}

}  // namespace qvsdk
