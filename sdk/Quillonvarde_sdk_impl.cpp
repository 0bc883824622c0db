// Implementation of libquillonvarde_sdk: the object lifecycle, the connection to the HXA
// service, the disk-service requests and the local LUN device access of the SAN transport.
//
// Sections, in the order data flows: logging and the object lifecycle, wire layout,
// transport, requests, disk sessions, LUN I/O, child processes. The file-local helpers of
// each section stand at its head.
#include "Quillonvarde_sdk_impl.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "transport.h"

// =======================================================================================
// Logging and object lifecycle

// Every message goes to the host's log function with the level that the named getter of the
// host's level object returns at that moment. Before InitialSDK has installed both hooks
// nothing is logged (and nothing crashes). The dead printf call lets the compiler check
// every format against its arguments.
#define SDK_LOG(getter, ...)                                                            \
    do {                                                                                \
        if (CQuillonvardeSDKImpl::m_pLog != nullptr &&                                  \
            CQuillonvardeSDKImpl::m_pDebugLevel != nullptr) {                           \
            if (false) std::printf(__VA_ARGS__);                                        \
            CQuillonvardeSDKImpl::m_pLog(CQuillonvardeSDKImpl::m_pDebugLevel->getter(), \
                                         __VA_ARGS__);                                  \
        }                                                                               \
    } while (0)
#define LOG_TRACE(...) SDK_LOG(GetTraceLevel, __VA_ARGS__)
#define LOG_INFO(...) SDK_LOG(GetInfoLevel, __VA_ARGS__)
#define LOG_DETAIL(...) SDK_LOG(GetDetailLevel, __VA_ARGS__)
#define LOG_ERROR(...) SDK_LOG(GetErrorLevel, __VA_ARGS__)

void (*CQuillonvardeSDKImpl::m_pLog)(int level, const char* format, ...) = nullptr;
CQuillonvardeDebugLevel* CQuillonvardeSDKImpl::m_pDebugLevel = nullptr;
uint32_t CQuillonvardeSDKImpl::crc_table[256] = {};

namespace {

using LevelGetter = int (CQuillonvardeDebugLevel::*)();

// Logs a fixed text (no conversions) at the level of `getter`; the text is handed to the
// host as the format itself, as a literal in SDK_LOG would be.
void log_text(LevelGetter getter, const char* text) {
    if (text == nullptr || CQuillonvardeSDKImpl::m_pLog == nullptr ||
        CQuillonvardeSDKImpl::m_pDebugLevel == nullptr)
        return;
    CQuillonvardeSDKImpl::m_pLog((CQuillonvardeSDKImpl::m_pDebugLevel->*getter)(), text);
}

// The enter and leave lines of one operation. The enter line is logged when the scope
// starts; every exit returns through ok(), nok(), nok_at_error() or finish(), which log the
// matching leave line at the trace level (nok_at_error: at the error level, as some failure
// paths of ReadDisk report it) and give the operation's result. A return that names none of
// them still logs the leave-NOK line; an exception passing through logs nothing here (the
// operation that catches it reports it). A null leave-NOK text means that the operation's
// failures log no leave line.
template <typename Result>
class OpScope {
  public:
    OpScope(const char* enter, const char* leaveOk, const char* leaveNok)
        : leaveOk_(leaveOk), leaveNok_(leaveNok), exceptions_(std::uncaught_exceptions()) {
        log_text(&CQuillonvardeDebugLevel::GetTraceLevel, enter);
    }
    ~OpScope() {
        if (!done_ && std::uncaught_exceptions() == exceptions_)
            log_text(&CQuillonvardeDebugLevel::GetTraceLevel, leaveNok_);
    }
    OpScope(const OpScope&) = delete;
    OpScope& operator=(const OpScope&) = delete;

    Result ok() { return leave(leaveOk_, &CQuillonvardeDebugLevel::GetTraceLevel, kOk); }
    Result nok() { return leave(leaveNok_, &CQuillonvardeDebugLevel::GetTraceLevel, kNok); }
    Result nok_at_error() {
        return leave(leaveNok_, &CQuillonvardeDebugLevel::GetErrorLevel, kNok);
    }
    // Leaves with `result` as it is: OK for the success value, NOK for any other.
    Result finish(Result result) {
        if (result == kOk) return ok();
        nok();
        return result;
    }

  private:
    static constexpr Result kOk = std::is_same<Result, bool>::value ? Result(true) : Result(0);
    static constexpr Result kNok = std::is_same<Result, bool>::value ? Result(false) : Result(1);

    Result leave(const char* text, LevelGetter getter, Result result) {
        done_ = true;
        log_text(getter, text);
        return result;
    }

    const char* leaveOk_;
    const char* leaveNok_;
    int exceptions_;
    bool done_ = false;
};

// Certificate pins: the SHA-256 fingerprints of the service certificates an object accepts
// on its TLS connections. They are kept in a table of the process indexed by the object's
// address, so that the object's fields stay as hosts know them. The pins are set rarely (before
// connecting) and read once per TLS connect, so one mutex guards the table.
constexpr size_t kFingerprintSize = 32;
using Fingerprint = std::array<unsigned char, kFingerprintSize>;

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

// Reads a fingerprint as 32 bytes of two hexadecimal digits each, in either case, with or
// without a colon between two bytes; nothing else may stand in the text.
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

// Drops the pins of an object that goes away (another object may later get its address).
void forget_pins(const CQuillonvardeSDKImpl* self) noexcept {
    if (!g_pinsUsed.load(std::memory_order_acquire)) return;
    PinTable& table = pin_table();
    std::lock_guard<std::mutex> lock(table.mutex);
    table.pins.erase(self);
}

}  // namespace

HFILE::HFILE() : devPath(), fd(-1) {}

HFILE::HFILE(const HFILE& other) : devPath(other.devPath), fd(other.fd) {}

HFILE::~HFILE() {}

CQuillonvardeSDK* CQuillonvardeSDK::CreateInstance() { return CQuillonvardeSDKImpl::Instance(); }

void CQuillonvardeSDK::DestroyInstance(CQuillonvardeSDK* pInstance) {
    if (pInstance == nullptr) return;
    CQuillonvardeSDKImpl::ReleaseInstance(dynamic_cast<CQuillonvardeSDKImpl*>(pInstance));
}

int CQuillonvardeSDK::InitialSDK(void (*pLogFun)(int, const char*, ...),
                                 CQuillonvardeDebugLevel* debugLevel, const std::string& reserved1,
                                 const std::string& reserved2, const std::string& reserved3) {
    return CQuillonvardeSDKImpl::Initial(pLogFun, debugLevel, reserved1, reserved2, reserved3);
}

int CQuillonvardeSDK::PinServerCertificates(CQuillonvardeSDK* pInstance,
                                            const std::list<std::string>& sha256Fingerprints) {
    OpScope<int> scope("enter CQuillonvardeSDKImpl::PinServerCertificates...",
                       "leave CQuillonvardeSDKImpl::PinServerCertificates: OK",
                       "leave CQuillonvardeSDKImpl::PinServerCertificates: NOK");
    if (pInstance == nullptr) {
        LOG_ERROR("PinServerCertificates: no object given  (line %d)", __LINE__);
        return scope.nok();
    }
    const CQuillonvardeSDKImpl* self = dynamic_cast<CQuillonvardeSDKImpl*>(pInstance);
    if (self == nullptr) {
        LOG_ERROR("PinServerCertificates: the object was not made by CreateInstance  (line %d)",
                  __LINE__);
        return scope.nok();
    }
    try {
        // Every entry is checked before anything changes: a bad list leaves the pins as
        // they were.
        std::vector<Fingerprint> pins;
        for (const std::string& entry : sha256Fingerprints) {
            Fingerprint fingerprint;
            if (!parse_fingerprint(entry, fingerprint)) {
                LOG_ERROR(
                    "PinServerCertificates: \"%s\" is not a SHA-256 fingerprint (32 bytes "
                    "in hexadecimal)  (line %d)",
                    entry.c_str(), __LINE__);
                return scope.nok();
            }
            pins.push_back(fingerprint);
        }
        PinTable& table = pin_table();
        {
            std::lock_guard<std::mutex> lock(table.mutex);
            if (pins.empty())
                table.pins.erase(self);
            else
                table.pins[self] = std::move(pins);
        }
        g_pinsUsed.store(true, std::memory_order_release);
        LOG_INFO("PinServerCertificates: %zu certificate fingerprint(s) pinned",
                 sha256Fingerprints.size());
        return scope.ok();
    } catch (const std::exception& e) {
        LOG_ERROR("PinServerCertificates: %s  (line %d)", e.what(), __LINE__);
        return scope.nok();
    }
}

CQuillonvardeSDKImpl::CQuillonvardeSDKImpl()
    : m_uiSeqNo(0),
      m_iSocket(-1),
      m_uiUseSSL(0),
      m_pSSL(nullptr),
      m_pSSLCtx(nullptr),
      m_strToken(),
      m_uiOpenMode(OPEN_READONLY),
      m_uiTransMode(TRANS_SAN),
      m_lunFileList() {}

// Closes nothing: the host ends the disk session and the connection first. The object's
// certificate pins go with it.
CQuillonvardeSDKImpl::~CQuillonvardeSDKImpl() { forget_pins(this); }

CQuillonvardeSDKImpl* CQuillonvardeSDKImpl::Instance() { return new CQuillonvardeSDKImpl(); }

void CQuillonvardeSDKImpl::ReleaseInstance(CQuillonvardeSDKImpl* pInstance) {
    if (pInstance == nullptr) return;
    delete pInstance;
}

int CQuillonvardeSDKImpl::Initial(void (*pLogFun)(int, const char*, ...),
                                  CQuillonvardeDebugLevel* debugLevel, const std::string&,
                                  const std::string&, const std::string&) {
    if (pLogFun == nullptr) {
        std::puts("CQuillonvardeSDKImpl::Initial: pLogFun is NULL!");
        return 1;
    }
    m_pLog = pLogFun;
    if (debugLevel == nullptr) {
        std::puts("CQuillonvardeSDKImpl::Initial: debugLevel is NULL!");
        return 1;
    }
    m_pDebugLevel = debugLevel;
    init_crc_table();
    OpScope<int> scope("enter CQuillonvardeSDKImpl::Initial...",
                       "leave CQuillonvardeSDKImpl::Initial: OK", nullptr);
    return scope.ok();
}

// =======================================================================================
// Wire layout: little-endian fields of packed structures and the header checksum, a
// table-driven CRC-32 with the reflected polynomial 0xED58F323 and no final inversion.

void CQuillonvardeSDKImpl::init_crc_table() {
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xED58F323u : (c >> 1);
        crc_table[i] = c;
    }
}

unsigned int CQuillonvardeSDKImpl::bsb_crc32(char* data, unsigned int size) {
    uint32_t c = 0xFFFFFFFFu;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(data);
    for (unsigned int i = 0; i < size; ++i) c = (c >> 8) ^ crc_table[(p[i] ^ c) & 0xFF];
    return c;
}

// =======================================================================================
// Transport: the TCP connection, optionally wrapped in TLS, and the exact-count transfers
// of send_msg and recv_msg.

namespace {

using qvsdk::CallTransport;
using qvsdk::Deadline;
using qvsdk::Piece;
using qvsdk::ssl_reason;

constexpr int kZeroReadAllowance = 100;

// Whether the certificate the service presented on the session is one the object pinned; true
// when the object pinned none. Tells the reason of a refusal.
bool peer_certificate_pinned(const CQuillonvardeSDKImpl* self) {
    if (!has_pins(self)) return true;
    X509* certificate = SSL_get1_peer_certificate(self->m_pSSL);
    if (certificate == nullptr) {
        LOG_ERROR(
            "ConnectHXA: the service presented no certificate, which is not pinned  (line %d)",
            __LINE__);
        return false;
    }
    Fingerprint received{};
    unsigned int size = 0;
    const bool digested = X509_digest(certificate, EVP_sha256(), received.data(), &size) == 1 &&
                          size == kFingerprintSize;
    X509_free(certificate);
    if (!digested) {
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

}  // namespace

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

int CQuillonvardeSDKImpl::ConnectHXA(const std::string& serverIp, unsigned short port,
                                     const std::string& token, unsigned int useSSL) {
    OpScope<int> scope("enter CQuillonvardeSDKImpl::ConnectHXA...",
                       "leave CQuillonvardeSDKImpl::ConnectHXA: OK",
                       "leave CQuillonvardeSDKImpl::ConnectHXA: NOK");

    m_iSocket = socket(AF_INET, SOCK_STREAM, 0);
    if (m_iSocket == -1) {
        LOG_ERROR("ConnectHXA: %s  (line %d)", std::strerror(errno), __LINE__);
        return scope.nok();
    }

    struct timeval timeout;
    timeout.tv_sec = qvsdk::kSocketTimeoutSeconds;
    timeout.tv_usec = 0;
    if (setsockopt(m_iSocket, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout) != 0) {
        int err = errno;
        LOG_INFO("ConnectHXA: set send timeout fail!");
        LOG_ERROR("ConnectHXA: %s  (line %d)", std::strerror(err), __LINE__);
        return scope.nok();
    }
    if (setsockopt(m_iSocket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0) {
        int err = errno;
        LOG_INFO("ConnectHXA: set recv timeout fail!");
        LOG_ERROR("ConnectHXA: %s  (line %d)", std::strerror(err), __LINE__);
        return scope.nok();
    }

    // A request and its data block, and under TLS every record, leave in separate writes. With
    // Nagle's algorithm a small segment would wait for the peer's acknowledgement of the one
    // before (up to the delayed-ACK time); every write here is a whole message part, so it
    // goes out at once. Only the timing of segments changes: failing to set it is harmless.
    const int noDelay = 1;
    (void)setsockopt(m_iSocket, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);

    struct sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = inet_addr(serverIp.c_str());
    LOG_INFO("ConnectHXA: address created");

    const Deadline connectDeadline;
    if (connect(m_iSocket, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0) {
        int err = errno;
        if (err == EINTR) err = qvsdk::finish_interrupted_connect(m_iSocket, connectDeadline);
        if (err != 0) {
            LOG_ERROR("ConnectHXA: %s  (line %d)", std::strerror(err), __LINE__);
            return scope.nok();
        }
    }
    LOG_INFO("ConnectHXA: server connected");

    m_uiUseSSL = useSSL;
    if (useSSL != 0) {
        SSL_library_init();
        OPENSSL_add_all_algorithms_noconf();
        SSL_load_error_strings();

        m_pSSLCtx = SSL_CTX_new(SSLv23_client_method());
        if (m_pSSLCtx == nullptr) {
            LOG_ERROR("ConnectHXA: %s  (line %d)", ssl_reason(), __LINE__);
            return scope.nok();
        }
        m_pSSL = SSL_new(m_pSSLCtx);
        if (m_pSSL == nullptr) {
            // Without a session there is nothing to hand the socket to.
            LOG_ERROR("ConnectHXA: SSL_new failed: %s  (line %d)", ssl_reason(), __LINE__);
            return scope.nok();
        }
        if (!qvsdk::attach_socket(m_pSSL, m_iSocket)) {
            LOG_ERROR("ConnectHXA: attaching the socket to the TLS session failed: %s  (line %d)",
                      ssl_reason(), __LINE__);
            return scope.nok();
        }
        // Read ahead: OpenSSL fills a larger buffer with whatever has arrived instead of
        // reading each record's header and body in two calls. SSL_read still hands out one
        // record at a time; only the number of socket reads changes.
        SSL_set_read_ahead(m_pSSL, 1);
        SSL_set_default_read_buffer_len(m_pSSL, qvsdk::kTlsReadBuffer);
        ERR_clear_error();
        int ret;
        {
            // The handshake is continued after interruptions, within one 30-second limit.
            const Deadline deadline;
            for (;;) {
                errno = 0;
                ret = SSL_connect(m_pSSL);
                short events = 0;
                if (ret > 0 || !qvsdk::tls_interrupted(m_pSSL, ret, errno, &events)) break;
                if (qvsdk::wait_ready(m_iSocket, events, deadline, EAGAIN) != 0) break;
                ERR_clear_error();
            }
        }
        LOG_ERROR("ConnectHXA SSL return:[%d] ", ret);
        if (ret <= 0) {
            LOG_ERROR("ConnectHXA err,return:[%d] err info:[%s]  (line %d)", ret, ssl_reason(),
                      __LINE__);
            return scope.nok();
        }
        LOG_INFO("ConnectHXA: connected with %s encryption",
                 SSL_CIPHER_get_name(SSL_get_current_cipher(m_pSSL)));
        if (!peer_certificate_pinned(this)) {
            // Nothing more goes to a service that is not the pinned one: the TLS session is
            // closed (a later SSL_write is refused) and so is the socket in both directions,
            // so that an OpenDisk on this connection cannot send the token. The session, the
            // context and the descriptor stay for DisConnectHXA to release.
            SSL_shutdown(m_pSSL);
            shutdown(m_iSocket, SHUT_RDWR);
            ERR_clear_error();
            return scope.nok();
        }
    }

    // The transport is chosen here, once: every later send and receive of the connection
    // goes through it.
    transport();
    m_strToken = token;
    return scope.ok();
}

void CQuillonvardeSDKImpl::DisConnectHXA() {
    OpScope<int> scope("enter CQuillonvardeSDKImpl::DisConnectHXA:...",
                       "leave CQuillonvardeSDKImpl::DisConnectHXA: OK", nullptr);
    // The transport ends with the connection, and with it what it read ahead.
    end_transport();
    // Whatever TLS objects exist are released, also when a later plain connect replaced the
    // flag; objects that were never created are skipped.
    if (m_pSSL != nullptr) {
        SSL_shutdown(m_pSSL);
        SSL_free(m_pSSL);
        m_pSSL = nullptr;
    }
    if (m_pSSLCtx != nullptr) {
        SSL_CTX_free(m_pSSLCtx);
        m_pSSLCtx = nullptr;
    }
    ERR_clear_error();
    // The descriptor is marked closed so that a second call closes nothing it does not own.
    if (m_iSocket >= 0) {
        close(m_iSocket);
        m_iSocket = -1;
    }
    scope.ok();
}

namespace {

// How one send call's outcome is logged, the same for a block sent by itself and for the
// parts of a gathered send: the bytes one call moved of a block of `size`.
void log_piece_sent(long ret, unsigned long long size) {
    LOG_INFO("send message to server success,%d bytes datas sended,total data:[%d]!",
             static_cast<int>(ret), static_cast<int>(size));
}

enum class SendFailure { kNone, kRequest, kData };

// Sends the `requestSize` bytes of `request` and then the `dataSize` bytes of `data`, gathered
// into as few calls as the transport allows: on a plain connection the request does not leave
// as a small segment of its own, and the data goes out of the caller's buffer without a copy.
// The bytes on the wire are the same as with two sends, and so is the log: the bytes a call
// moved are counted to the request first and then to the data, each part logged as a block
// by itself, and `requestOut` runs once all of the request is out. A part that a call does not
// accept at all fails the send instead of being offered again without end.
template <typename RequestOut>
SendFailure send_parts(CQuillonvardeSDKImpl* self, const char* request, size_t requestSize,
                       const char* data, size_t dataSize, RequestOut requestOut) {
    if (requestSize == 0) {
        LOG_ERROR("send_msg: send_msg len is zero! (line %d)", __LINE__);
        return SendFailure::kRequest;
    }
    CallTransport transport(self);
    const size_t total = requestSize + dataSize;
    for (size_t done = 0; done < total;) {
        // One call moves at most INT_MAX bytes (the TLS calls take an int count).
        size_t room = INT_MAX;
        struct iovec parts[2];
        int count = 0;
        // The parts are only read from; iovec has no const form.
        if (done < requestSize) {
            const size_t left = std::min(requestSize - done, room);
            parts[count++] = {const_cast<char*>(request) + done, left};
            room -= left;
        }
        const size_t dataDone = done < requestSize ? 0 : done - requestSize;
        if (dataSize > dataDone && room > 0)
            parts[count++] = {const_cast<char*>(data) + dataDone,
                              std::min(dataSize - dataDone, room)};
        const Piece piece = transport->send(parts, count);
        const SendFailure failed = done < requestSize ? SendFailure::kRequest : SendFailure::kData;
        if (piece.ret < 0) {
            LOG_ERROR("send_msg: [%s] return:[%d] errno:[%d] (line %d)", piece.reason,
                      static_cast<int>(piece.ret), piece.err, __LINE__);
            return failed;
        }
        if (piece.ret == 0) {
            LOG_ERROR("send_msg: connection accepts no data, return:[0] errno:[%d] (line %d)",
                      piece.err, __LINE__);
            return failed;
        }
        size_t moved = static_cast<size_t>(piece.ret);
        if (done < requestSize) {
            const size_t head = std::min(moved, requestSize - done);
            log_piece_sent(static_cast<long>(head), requestSize);
            done += head;
            moved -= head;
            if (done == requestSize) {
                LOG_DETAIL("send message to server success!");
                requestOut();
            }
        }
        if (moved > 0) {
            log_piece_sent(static_cast<long>(moved), dataSize);
            done += moved;
        }
    }
    if (dataSize > 0) LOG_DETAIL("send message to server success!");
    return SendFailure::kNone;
}

}  // namespace

int CQuillonvardeSDKImpl::send_msg(char* data, unsigned long long size) {
    return send_parts(this, data, static_cast<size_t>(size), nullptr, 0, [] {}) ==
                   SendFailure::kNone
               ? 0
               : -1;
}

int CQuillonvardeSDKImpl::recv_msg(char* data, long long size) {
    CallTransport transport(this);
    long long remaining = size;
    int allowance = kZeroReadAllowance;
    char* pos = data;
    while (remaining > 0) {
        int chunk =
            remaining > static_cast<long long>(INT_MAX) ? INT_MAX : static_cast<int>(remaining);
        const Piece piece = transport->receive(pos, chunk);
        const long ret = piece.ret;
        if (ret < 0) {
            LOG_ERROR("recv_msg:[%s] return:[%d] errno:[%d]  (line %d)", piece.reason,
                      static_cast<int>(ret), piece.err, __LINE__);
            return -1;
        }
        LOG_INFO("recv message from server success,%d bytes datas recved,total data:[%d]",
                 static_cast<int>(ret), static_cast<int>(size));
        if (ret == 0) {
            if (allowance <= 0) {
                LOG_ERROR("recv_msg: read 100 zero buf! recv_msg fail!  (line %d)", __LINE__);
                return -1;
            }
            --allowance;
            LOG_INFO("recv_msg: read %d zero buf!", kZeroReadAllowance - allowance);
        }
        pos += ret;
        remaining -= ret;
    }
    LOG_INFO("recv message from server success!");
    return 0;
}

// =======================================================================================
// Requests: the one request/reply exchange of the four disk operations, and what each
// operation says at each of its steps and for each result code.

namespace {

// Transfers on the wire carry 32 bits of length in the LAN transport.
constexpr unsigned long long kLanLengthLimit = 0x100000000ULL;
// Chunk used to take unwanted reply bytes off the connection (on the stack, so that a drain
// needs no allocation).
constexpr size_t kDrainChunk = 64 * 1024;

// The largest reply payload the library accepts. The biggest legitimate reply is an address
// map: 6 bytes of result and count plus 64 bytes per extent. 1,048,576 extents cover a 4 GiB
// range in 4 KiB extents (or 2 TiB in 2 MiB blocks), far beyond any single transfer a host
// makes; a header announcing more is treated as broken instead of allocating what it asks.
constexpr uint64_t kMaxMapRecords = 1ULL << 20;
constexpr uint32_t kMaxReplyPayload =
    static_cast<uint32_t>(sizeof(hxa::TransferReplyHead) + kMaxMapRecords * sizeof(vhd_Rec));

// The disk operations: the columns of the message tables.
enum DiskOp : size_t { kOpen, kClose, kRead, kWrite, kDiskOps };

// The steps of an exchange that an operation reports, in the order they happen.
enum Step {
    kRequestNotSent,
    kRequestSent,
    kDataNotSent,
    kHeadNotReceived,
    kWrongHead,
    kHeadReceived,
    kReplyTooLong,
    kNoMemoryForReply,
    kReplyNotReceived,
};

// A message table: per row its key, its level and what each operation says (null: nothing).
// A text takes, in this order, the row's value, the limit, and the line of the failing
// statement where it ends in "(line %d)".
template <typename Key>
struct MessageRow {
    Key key;
    LevelGetter level;
    const char* text[kDiskOps];
};

constexpr LevelGetter kInfoLevel = &CQuillonvardeDebugLevel::GetInfoLevel;
constexpr LevelGetter kErrorLevel = &CQuillonvardeDebugLevel::GetErrorLevel;

// What each operation says at each step of its exchange: the value is the reply header's
// operation for kWrongHead and its length from kHeadReceived on.
constexpr MessageRow<Step> kStepTexts[] = {
    {kRequestNotSent,
     kErrorLevel,
     {"OpenDisk:send open disk cmd to server failed!  (line %d)",
      "CloseDisk: send aclose disk cmd to server failed!  (line %d)",
      "ReadDisk: send addr map cmd to server failed! (line %d)",
      "WriteDisk: send addr map cmd to server failed!  (line %d)"}},
    {kRequestSent,
     kInfoLevel,
     {"OpenDisk: send open disk cmd to server success!",
      "CloseDisk: send close disk cmd to server success!",
      "ReadDisk: send addr map cmd to server success! ",
      "WriteDisk: send addr map cmd to server success! "}},
    {kDataNotSent,
     kErrorLevel,
     {nullptr, nullptr, nullptr, "WriteDisk: send data to server failed!  (line %d)"}},
    {kHeadNotReceived,
     kErrorLevel,
     {"OpenDisk: recv req head from server  failed!  (line %d)",
      "CloseDisk: recv req head from server failed!  (line %d)",
      "ReadDisk: recv req head from server  failed!  (line %d)",
      "WriteDisk: recv req head from server  failed!  (line %d)"}},
    {kWrongHead,
     kErrorLevel,
     {"OpenDisk: invalid req head ,operation:%u!  (line %d)",
      "CloseDisk: invalid req head,operation:%u !  (line %d)",
      "ReadDisk:invalid req head,operation:%u (line %d)",
      "WriteDisk: invalid msg head,operation:%u (line %d)"}},
    {kHeadReceived,
     kInfoLevel,
     {"OpenDisk: recv req head from server success! msg length:%d",
      "CloseDisk: recv req head from server success! msg length:%d",
      "ReadDisk: recv req head from server success! msg length :%d",
      "WriteDisk: recv req head from server success! msg length:%d"}},
    {kReplyTooLong,
     kErrorLevel,
     {nullptr, nullptr, "ReadDisk: reply length [%u] exceeds the limit [%u]!  (line %d)",
      "WriteDisk: reply length [%u] exceeds the limit [%u]!  (line %d)"}},
    {kNoMemoryForReply,
     kErrorLevel,
     {"OpenDisk: out of memory for the reply!  (line %d)",
      "CloseDisk: out of memory for the reply!  (line %d)",
      "ReadDisk: out of memory for a reply of [%u] bytes!  (line %d)",
      "WriteDisk: out of memory for a reply of [%u] bytes!  (line %d)"}},
    {kReplyNotReceived,
     kErrorLevel,
     {"OpenDisk: recv open disk result failed!  (line %d)",
      "CloseDisk: recv close disk result failed!  (line %d)",
      "ReadDisk: recv addr map result failed!  (line %d)",
      "WriteDisk: recv addr map result failed!  (line %d)"}},
};

// What each operation says for each result code of a reply; a code without a text is
// reported by the row of kUnknownResult, whose value is the code.
constexpr uint32_t kUnknownResult = 0x10000;
constexpr MessageRow<uint32_t> kResultTexts[] = {
    {hxa::RES_OK, kInfoLevel, {"OpenDisk: success!", "CloseDisk: success!", nullptr, nullptr}},
    {hxa::RES_OPCODE_ERROR,
     kErrorLevel,
     {"OpenDisk: operation code error!  (line %d)", "CloseDisk: operation code error!  (line %d)",
      "ReadDisk: operation code error!  (line %d)", "WriteDisk: operation code error!  (line %d)"}},
    {hxa::RES_FILE_NOT_EXIST,
     kErrorLevel,
     {"OpenDisk: file does not exist!  (line %d)", nullptr,
      "ReadDisk: vhd file not exist!  (line %d)", "WriteDisk: vhd file not exist!  (line %d)"}},
    {hxa::RES_TOKEN_ERROR,
     kErrorLevel,
     {"OpenDisk: token error!  (line %d)", nullptr, "ReadDisk: token error!  (line %d)",
      "WriteDisk: token error!  (line %d)"}},
    {hxa::RES_OPEN_ERROR,
     kErrorLevel,
     {"OpenDisk: file open error!  (line %d)", nullptr,
      "ReadDisk: file open flag error!  (line %d)", "WriteDisk: file open flag error!  (line %d)"}},
    {hxa::RES_HANDLE_NOT_EXIST,
     kErrorLevel,
     {nullptr, "CloseDisk: file handle does not exist!  (line %d)",
      "ReadDisk: file handle does not exist!  (line %d)",
      "WriteDisk: file handle does not exist!  (line %d)"}},
    {hxa::RES_START_BLOCK_OVERFLOW,
     kErrorLevel,
     {nullptr, nullptr, "ReadDisk: start block overflow!  (line %d)",
      "WriteDisk: start block overflow!  (line %d)"}},
    {hxa::RES_DATA_SIZE_OVERFLOW,
     kErrorLevel,
     {nullptr, nullptr, "ReadDisk: data size readed overflow!  (line %d)",
      "WriteDisk: data size readed overflow!  (line %d)"}},
    {hxa::RES_READ_FAILED,
     kErrorLevel,
     {nullptr, nullptr, "ReadDisk: read VHDFile failed!  (line %d)",
      "WriteDisk: read VHDFile failed!  (line %d)"}},
    {hxa::RES_END_BLOCK_OVERFLOW,
     kErrorLevel,
     {nullptr, nullptr, "ReadDisk: end block overflow!  (line %d)",
      "WriteDisk: end block overflow!  (line %d)"}},
    {hxa::RES_WRITE_FAILED,
     kErrorLevel,
     {nullptr, nullptr, "ReadDisk: write vhd file failed!  (line %d)",
      "WriteDisk: write vhd file failed!  (line %d)"}},
    {hxa::RES_CLOSE_FAILED,
     kErrorLevel,
     {nullptr, nullptr, "ReadDisk: close vhd file failed!  (line %d)",
      "WriteDisk: close vhd file failed!  (line %d)"}},
    {hxa::RES_STRUCT_ERROR,
     kErrorLevel,
     {nullptr, nullptr, "ReadDisk: vhd struct error!  (line %d)",
      "WriteDisk: vhd struct error!  (line %d)"}},
    {hxa::RES_ADDR_PARSE_ERROR,
     kErrorLevel,
     {nullptr, nullptr, "ReadDisk: parse vhd addr error!  (line %d)",
      "WriteDisk: parse vhd addr error!  (line %d)"}},
    {kUnknownResult,
     kErrorLevel,
     {"OpenDisk: unknown error!  (line %d)", "CloseDisk: unknown error!  (line %d)",
      "ReadDisk: unknown error, result:[%d] (line %d)", "WriteDisk: unknown error!  (line %d)"}},
};

// Logs `text` at `level` with the values it takes (see MessageRow). The number of its
// conversions tells which: those before a closing "(line %d)" take `value`, then `limit`.
void log_message(LevelGetter level, const char* text, uint32_t value, uint32_t limit, int line) {
    if (text == nullptr || CQuillonvardeSDKImpl::m_pLog == nullptr ||
        CQuillonvardeSDKImpl::m_pDebugLevel == nullptr)
        return;
    const bool hasLine = std::strstr(text, "(line %d)") != nullptr;
    int values = hasLine ? -1 : 0;
    for (const char* p = text; (p = std::strchr(p, '%')) != nullptr; p += 2) {
        if (p[1] == '\0') break;
        if (p[1] != '%') ++values;
    }
    const int lvl = (CQuillonvardeSDKImpl::m_pDebugLevel->*level)();
    auto log = CQuillonvardeSDKImpl::m_pLog;
    if (values <= 0)
        hasLine ? log(lvl, text, line) : log(lvl, text);
    else if (values == 1)
        hasLine ? log(lvl, text, value, line) : log(lvl, text, value);
    else
        log(lvl, text, value, limit, line);
}

template <typename Key, size_t N>
const MessageRow<Key>& row_of(const MessageRow<Key> (&table)[N], Key key) {
    for (const MessageRow<Key>& row : table)
        if (row.key == key) return row;
    return table[N - 1];
}

// Logs what `op` says at `step`.
void say_step(DiskOp op, Step step, uint32_t value, int line) {
    const MessageRow<Step>& row = row_of(kStepTexts, step);
    log_message(row.level, row.text[op], value, kMaxReplyPayload, line);
}

// Logs what `op` says for reply result `result`.
void say_result(DiskOp op, uint16_t result, int line) {
    const MessageRow<uint32_t>* row = &row_of(kResultTexts, static_cast<uint32_t>(result));
    if (row->text[op] == nullptr) row = &row_of(kResultTexts, kUnknownResult);
    log_message(row->level, row->text[op], result, 0, line);
}

// Allocates a block of `size` + 1 bytes; null when memory is short. A reply payload block is
// zero-filled; a data block, whose first `size` bytes are always overwritten (by the data
// received) before any of them is read, only gets its one trailing zero byte.
std::unique_ptr<char[]> alloc_block(uint64_t size, bool zeroFilled = true) {
    if (size >= SIZE_MAX) return nullptr;
    std::unique_ptr<char[]> block(new (std::nothrow) char[static_cast<size_t>(size) + 1]);
    if (!block) return nullptr;
    if (zeroFilled)
        std::memset(block.get(), 0, static_cast<size_t>(size) + 1);
    else
        block[static_cast<size_t>(size)] = 0;
    return block;
}

// Reads and discards `count` bytes of the connection in bounded pieces; false when the
// connection fails first.
bool drain_data(CQuillonvardeSDKImpl* self, uint64_t count) {
    char sink[kDrainChunk];
    for (uint64_t left = count; left > 0;) {
        size_t piece = left < kDrainChunk ? static_cast<size_t>(left) : kDrainChunk;
        if (self->recv_msg(sink, static_cast<long long>(piece)) != 0) return false;
        left -= piece;
    }
    return true;
}

// Copies at most field_size - 1 characters so that the field always ends in a zero byte.
void put_string(char* field, size_t field_size, const std::string& text) {
    size_t n = text.size() < field_size - 1 ? text.size() : field_size - 1;
    std::memcpy(field, text.data(), n);
}

// The caller's buffer of a LAN read, saved while the request is with the service. The data
// is then received straight into the buffer, and a receive that fails part-way puts the saved
// bytes back, so the buffer ends as it began on every failure. Saving costs the one block and
// the one copy that receiving into a block and copying it out would cost, but it is done
// while the service reads the disk instead of after the data has arrived.
class SavedBuffer {
  public:
    SavedBuffer(char* buf, unsigned long long size) : buf_(buf), size_(size) {}
    // Copies the buffer aside; without memory nothing is saved, and covers() says so.
    void save() {
        if (buf_ == nullptr || size_ == 0) return;
        copy_ = alloc_block(size_, false);
        if (copy_) std::memcpy(copy_.get(), buf_, static_cast<size_t>(size_));
    }
    // Whether the first `count` bytes of the buffer are saved.
    bool covers(unsigned long long count) const { return copy_ && count <= size_; }
    void restore(unsigned long long count) const {
        if (covers(count)) std::memcpy(buf_, copy_.get(), static_cast<size_t>(count));
    }

  private:
    char* buf_;
    unsigned long long size_;
    std::unique_ptr<char[]> copy_;
};

// One request of a disk operation, built in the call's fixed message area.
class Request {
  public:
    // `operation` 0 stands for a transport mode that is neither SAN nor LAN.
    Request(CQuillonvardeSDKImpl* self, DiskOp op, uint16_t operation)
        : self_(self), op_(op), operation_(operation) {
        std::memset(area_, 0, sizeof area_);
    }

    // Fills the header (the object's next sequence number, the checksum over the bytes
    // before it) and the payload.
    template <typename Payload>
    void build(const Payload& payload) {
        fill(&payload, sizeof payload);
    }
    // A header of length 0 and nothing to send, which the send refuses: the request of a
    // transport mode that is neither SAN nor LAN.
    void build_empty() { fill(nullptr, 0); }

    // A write's data, sent behind the request; the buffer of a LAN read, saved meanwhile;
    // for open and close, the one payload length their reply may announce, and whether its
    // operation is checked.
    const char* data = nullptr;
    unsigned long long dataSize = 0;
    SavedBuffer* saved = nullptr;
    uint32_t replyLength = 0;
    bool anyOperation = false;

    // The reply, once exchange() has succeeded: its header and payload (length + 1 bytes,
    // zero-filled), and what the send of the data block returned.
    hxa::MsgHeader reply{};
    std::unique_ptr<char[]> payload;
    int dataSent = 0;

    // The reply payload's leading structure; bytes the reply does not hold read as zero.
    template <typename Field>
    Field reply_as() const {
        Field field{};
        std::memcpy(&field, payload.get(), std::min<size_t>(reply.length, sizeof field));
        return field;
    }

    // The exchange: sends the request (and the data), reads and checks the reply header,
    // reads the payload into a block of its own. A payload that cannot be stored is still
    // taken off the connection, so the stream stays on message boundaries. Every step is
    // reported in the operation's words; false after a failed step.
    bool exchange() {
        const SendFailure sent =
            send_parts(self_, area_, size_, data, data != nullptr ? dataSize : 0,
                       [this] { say_step(op_, kRequestSent, 0, 0); });
        if (sent == SendFailure::kRequest) return fail(kRequestNotSent, 0, __LINE__);
        if (sent == SendFailure::kData) {
            dataSent = -1;
            return fail(kDataNotSent, 0, __LINE__);
        }
        if (saved != nullptr) saved->save();

        std::memset(area_, 0, sizeof area_);
        if (self_->recv_msg(area_, sizeof reply) != 0) return fail(kHeadNotReceived, 0, __LINE__);
        std::memcpy(&reply, area_, sizeof reply);
        if ((!anyOperation && reply.operation != operation_) ||
            (replyLength != 0 && reply.length != replyLength))
            return fail(kWrongHead, reply.operation, __LINE__);
        say_step(op_, kHeadReceived, reply.length, 0);
        if (reply.length > kMaxReplyPayload) return fail(kReplyTooLong, reply.length, __LINE__);

        payload = alloc_block(reply.length);
        if (!payload) {
            drain_data(self_, reply.length);
            return fail(kNoMemoryForReply, reply.length, __LINE__);
        }
        if (self_->recv_msg(payload.get(), reply.length) != 0)
            return fail(kReplyNotReceived, 0, __LINE__);
        return true;
    }

  private:
    void fill(const void* payload, uint32_t length) {
        hxa::MsgHeader head{};
        head.magic = hxa::kMagic;
        head.operation = operation_;
        head.seqNo = self_->m_uiSeqNo++;
        head.length = length;
        std::memcpy(area_, &head, sizeof head);
        head.crc = self_->bsb_crc32(area_, offsetof(hxa::MsgHeader, crc));
        std::memcpy(area_, &head, sizeof head);
        if (payload != nullptr) std::memcpy(area_ + sizeof head, payload, length);
        size_ = payload != nullptr ? sizeof head + length : 0;
    }

    bool fail(Step step, uint32_t value, int line) {
        say_step(op_, step, value, line);
        return false;
    }

    CQuillonvardeSDKImpl* self_;
    DiskOp op_;
    uint16_t operation_;
    char area_[hxa::kMessageAreaSize];
    size_t size_ = 0;
};

// Whether a transfer reply of `length` payload bytes holds the `count` map records it
// announces behind its result and count.
bool map_fits(uint32_t length, uint32_t count) {
    return static_cast<uint64_t>(length) >=
           sizeof(hxa::TransferReplyHead) + static_cast<uint64_t>(count) * sizeof(vhd_Rec);
}

const vhd_Rec* map_records(const Request& request) {
    return reinterpret_cast<const vhd_Rec*>(request.payload.get() + sizeof(hxa::TransferReplyHead));
}

// The request payload of a read or write of the range: an address-map request in the SAN
// transport (64-bit length), a LAN transfer otherwise (32-bit length).
void build_transfer(Request& request, bool san, unsigned int diskHandle, unsigned long long offset,
                    unsigned long long length, bool valid) {
    if (!valid) return request.build_empty();
    if (san) return request.build(hxa::SanMapRequest{diskHandle, offset, length});
    request.build(hxa::LanTransferRequest{diskHandle, offset, static_cast<uint32_t>(length)});
}

}  // namespace

// =======================================================================================
// Disk sessions: opening and closing disks, reading and writing their ranges.

int CQuillonvardeSDKImpl::OpenDisk(const std::list<std::string>& LunWWNList,
                                   const std::string& diskPath, OPENMODE openMode,
                                   unsigned int& diskHandle, TRANSMODE transMode) {
    OpScope<int> scope("enter CQuillonvardeSDKImpl::OpenDisk...",
                       "leave CQuillonvardeSDKImpl::OpenDisk: OK",
                       "leave CQuillonvardeSDKImpl::OpenDisk: NOK");
    m_uiOpenMode = openMode;
    m_uiTransMode = transMode;
    try {
        const bool san = transMode == TRANS_SAN;
        const bool lan = transMode == TRANS_LAN;
        // A path or token longer than its field is refused rather than cut: a cut path may
        // name another disk, a cut token another token. The check comes before any LUN
        // device is opened and before a sequence number is taken.
        if (san || lan) {
            const size_t pathLimit = (san ? sizeof(hxa::OpenSanRequest::diskPath)
                                          : sizeof(hxa::OpenLanRequest::diskPath)) -
                                     1;
            const size_t tokenLimit = sizeof(hxa::OpenLanRequest::token) - 1;
            if (diskPath.size() > pathLimit) {
                LOG_ERROR(
                    "OpenDisk: disk path of %zu characters is longer than the %d the "
                    "service's field holds  (line %d)",
                    diskPath.size(), static_cast<int>(pathLimit), __LINE__);
                return scope.nok();
            }
            if (m_strToken.size() > tokenLimit) {
                LOG_ERROR(
                    "OpenDisk: token of %zu characters is longer than the %d the "
                    "service's field holds  (line %d)",
                    m_strToken.size(), static_cast<int>(tokenLimit), __LINE__);
                return scope.nok();
            }
        }
        if (san && OpenLocalLunDevFile(LunWWNList, m_lunFileList) != 0) {
            LOG_ERROR("OpenDisk: open disk fail  (line %d)", __LINE__);
            return scope.nok();
        }
        Request request(this, kOpen, san ? hxa::OP_SAN_OPEN : lan ? hxa::OP_LAN_OPEN : 0);
        request.replyLength = sizeof(hxa::OpenReply);
        if (san) {
            hxa::OpenSanRequest req{};
            put_string(req.diskPath, sizeof req.diskPath, diskPath);
            put_string(req.token, sizeof req.token, m_strToken);
            request.build(req);
        } else if (lan) {
            hxa::OpenLanRequest req{};
            put_string(req.diskPath, sizeof req.diskPath, diskPath);
            put_string(req.token, sizeof req.token, m_strToken);
            req.openMode = static_cast<uint16_t>(static_cast<unsigned int>(openMode) & 0xFFFF);
            request.build(req);
        } else {
            request.build_empty();
        }
        if (!request.exchange()) return scope.nok();

        const hxa::OpenReply reply = request.reply_as<hxa::OpenReply>();
        say_result(kOpen, reply.result, __LINE__);
        if (reply.result != hxa::RES_OK) return scope.nok();
        diskHandle = reply.handle;
        return scope.ok();
    } catch (const std::exception& e) {
        LOG_ERROR("OpenDisk: %s  (line %d)", e.what(), __LINE__);
        return scope.nok();
    }
}

int CQuillonvardeSDKImpl::CloseDisk(unsigned int diskHandle) {
    OpScope<int> scope("enter CQuillonvardeSDKImpl::CloseDisk...",
                       "leave CQuillonvardeSDKImpl::CloseDisk: OK",
                       "leave CQuillonvardeSDKImpl::CloseDisk: NOK");
    // The devices are closed first, whatever the service answers later.
    if (m_uiTransMode == TRANS_SAN) CloseLocalLunDevFile();

    const bool known = m_uiTransMode == TRANS_SAN || m_uiTransMode == TRANS_LAN;
    Request request(this, kClose,
                    !known                       ? 0
                    : m_uiTransMode == TRANS_SAN ? hxa::OP_SAN_CLOSE
                                                 : hxa::OP_LAN_CLOSE);
    request.replyLength = sizeof(hxa::CloseReply);
    request.anyOperation = !known;
    request.build(hxa::CloseRequest{diskHandle});
    if (!request.exchange()) return scope.nok();

    const hxa::CloseReply reply = request.reply_as<hxa::CloseReply>();
    say_result(kClose, reply.result, __LINE__);
    return reply.result == hxa::RES_OK ? scope.ok() : scope.nok();
}

int CQuillonvardeSDKImpl::ReadDisk(unsigned int diskHandle, unsigned long long offset,
                                   unsigned long long VMLength, char* buf,
                                   unsigned long long& bufSize) {
    OpScope<int> scope("enter CQuillonvardeSDKImpl::ReadDisk...",
                       "leave CQuillonvardeSDKImpl::ReadDisk: OK",
                       "leave CQuillonvardeSDKImpl::ReadDisk: NOK");
    if (VMLength == 0 || buf == nullptr || bufSize == 0) {
        LOG_ERROR("ReadDisk: invalid parameters!");
        return scope.nok();
    }
    const bool lan = m_uiTransMode == TRANS_LAN;
    const bool san = m_uiTransMode == TRANS_SAN;
    if (lan && VMLength >= kLanLengthLimit) {
        // The request carries 32 bits of length; a longer read would ask for something else.
        LOG_ERROR(
            "ReadDisk: invalid parameters! LAN read length [%llu] must be below 4 GiB  "
            "(line %d)",
            VMLength, __LINE__);
        return scope.nok();
    }

    try {
        Request request(this, kRead, san ? hxa::OP_SAN_ADDR_MAP : lan ? hxa::OP_LAN_READ : 0);
        build_transfer(request, san, diskHandle, offset, VMLength, san || lan);
        SavedBuffer saved(lan ? buf : nullptr, VMLength < bufSize ? VMLength : bufSize);
        request.saved = &saved;
        if (!request.exchange()) return scope.nok();

        const uint32_t L = request.reply.length;
        if (L < sizeof(hxa::TransferReplyHead)) {
            LOG_ERROR(
                "ReadDisk: reply too short for result and count, msg length:%d!  "
                "(line %d)",
                static_cast<int>(L), __LINE__);
            return scope.nok();
        }
        const hxa::TransferReplyHead reply = request.reply_as<hxa::TransferReplyHead>();
        if (reply.result != hxa::RES_OK || reply.count == 0) {
            // A zero result without data is named as an unknown code; a LAN read also says
            // that no data came.
            say_result(kRead, reply.result, __LINE__);
            if (lan && reply.result == hxa::RES_OK)
                LOG_ERROR("ReadDisk: storage can backup date length is zero");
            return scope.nok();
        }
        const uint32_t count = reply.count;

        if (san) {
            if (!map_fits(L, count)) {
                LOG_ERROR(
                    "ReadDisk: address map of [%u] records does not fit the reply, msg "
                    "length:%d!  (line %d)",
                    count, static_cast<int>(L), __LINE__);
                return scope.nok();
            }
            if (bufSize < VMLength) {
                LOG_TRACE("the space of buf not enough,buf size[%d],VMLength [%d]",
                          static_cast<int>(bufSize), static_cast<int>(VMLength));
                return scope.nok_at_error();
            }
            if (ReadLun(m_lunFileList, map_records(request), count, buf, bufSize) != 0)
                return scope.nok_at_error();
            return scope.ok();
        }

        if (bufSize < count) {
            // The data is taken off the connection in bounded pieces so that the stream
            // stays on message boundaries, without allocating what the peer announces.
            if (!drain_data(this, count)) {
                LOG_ERROR("ReadDisk: recv data from sever failed!  (line %d)", __LINE__);
                return scope.nok();
            }
            LOG_TRACE("the space of buf not enough,buf size[%d],date length[%d]",
                      static_cast<int>(bufSize), static_cast<int>(count));
            return scope.nok_at_error();
        }
        // Straight into buf when its bytes are saved; otherwise (no memory to save them, or
        // more data than was asked for) into a block of its own, copied out on success.
        std::unique_ptr<char[]> data;
        char* target = buf;
        if (!saved.covers(count)) {
            data = alloc_block(count, false);
            target = data.get();
        }
        if (target == nullptr) {
            // The data is still taken off the connection to keep the stream aligned.
            drain_data(this, count);
            LOG_ERROR("ReadDisk: out of memory for [%u] data bytes!  (line %d)", count, __LINE__);
            return scope.nok();
        }
        if (recv_msg(target, count) != 0) {
            saved.restore(count);
            LOG_ERROR("ReadDisk: recv data from sever failed!  (line %d)", __LINE__);
            return scope.nok();
        }
        bufSize = count;
        if (target != buf) std::memcpy(buf, target, count);
        if (count != VMLength)
            LOG_TRACE("read data length is(%d),expected(%d)", static_cast<int>(count),
                      static_cast<int>(VMLength));
        return scope.ok();
    } catch (const std::exception& e) {
        LOG_ERROR("ReadDisk: %s  (line %d)", e.what(), __LINE__);
        return scope.nok();
    }
}

int CQuillonvardeSDKImpl::WriteDisk(unsigned int diskHandle, unsigned long long offset,
                                    unsigned long long VMLength, const char* buf,
                                    long long& bufLength) {
    OpScope<int> scope("enter CQuillonvardeSDKImpl::WriteDisk...",
                       "leave CQuillonvardeSDKImpl::WriteDisk: OK",
                       "leave CQuillonvardeSDKImpl::WriteDisk: NOK");
    const bool lan = m_uiTransMode == TRANS_LAN;
    const bool san = m_uiTransMode == TRANS_SAN;
    const bool noData = lan && buf == nullptr;

    if (VMLength == 0 || (buf == nullptr && !noData) || (buf != nullptr && bufLength <= 0)) {
        LOG_ERROR("WriteDisk: invalid parameters!");
        return scope.nok();
    }
    if (buf != nullptr && static_cast<unsigned long long>(bufLength) < VMLength) {
        LOG_ERROR("WriteDisk: buf size not Enough,buf length[%d],VMLength[%d]",
                  static_cast<int>(bufLength), static_cast<int>(VMLength));
        return scope.nok();
    }
    if (lan && VMLength >= kLanLengthLimit) {
        // Only 32 bits of length travel, while a data block would carry all bytes: refused
        // before anything is sent so that the stream cannot lose its message boundaries.
        LOG_ERROR(
            "WriteDisk: invalid parameters! LAN write length [%llu] must be below 4 GiB  "
            "(line %d)",
            VMLength, __LINE__);
        return scope.nok();
    }

    try {
        // A LAN write holds a data block of the write's size, taken before the request goes
        // out, so that a shortage of memory is reported ("out of memory") without leaving the
        // service waiting for data that never comes. The data itself is sent straight from the
        // caller's buffer, which stays untouched until the call returns: copying it into the
        // block first cost a pass over every byte. The block is kept (untouched, so it costs
        // address space rather than memory) so that a host short of memory still sees the
        // write fail exactly where and how it always did.
        std::unique_ptr<char[]> dataBlock;
        if (lan && !noData) {
            dataBlock = alloc_block(VMLength, false);
            if (!dataBlock) {
                LOG_ERROR("WriteDisk: out of memory for [%llu] data bytes!  (line %d)", VMLength,
                          __LINE__);
                return scope.nok();
            }
        }

        Request request(this, kWrite,
                        san      ? hxa::OP_SAN_ADDR_MAP
                        : !lan   ? 0
                        : noData ? hxa::OP_LAN_WRITE_NODATA
                                 : hxa::OP_LAN_WRITE);
        build_transfer(request, san, diskHandle, offset, VMLength, san || lan);
        request.data = dataBlock ? buf : nullptr;
        request.dataSize = VMLength;
        if (!request.exchange()) {
            if (request.dataSent != 0) bufLength = request.dataSent;
            return scope.nok();
        }

        // The LAN transport reads only the result; the SAN transport also the count.
        const uint32_t L = request.reply.length;
        const uint32_t needed =
            san ? sizeof(hxa::TransferReplyHead) : sizeof(hxa::TransferReplyHead::result);
        if (L < needed) {
            LOG_ERROR("WriteDisk: reply too short for its fields, msg length:%d!  (line %d)",
                      static_cast<int>(L), __LINE__);
            return scope.nok();
        }
        const hxa::TransferReplyHead reply = request.reply_as<hxa::TransferReplyHead>();
        if (reply.result != hxa::RES_OK) {
            say_result(kWrite, reply.result, __LINE__);
            return scope.nok();
        }
        if (!san) {
            bufLength = noData ? 0 : static_cast<long long>(VMLength);
            return scope.ok();
        }

        if (reply.count == 0) {
            LOG_ERROR("WriteDisk: address map holds no extent, nothing written!  (line %d)",
                      __LINE__);
            return scope.nok();
        }
        if (!map_fits(L, reply.count)) {
            LOG_ERROR(
                "WriteDisk: address map of [%u] records does not fit the reply, msg "
                "length:%d!  (line %d)",
                reply.count, static_cast<int>(L), __LINE__);
            return scope.nok();
        }
        return scope.finish(
            WriteLun(m_lunFileList, map_records(request), reply.count, buf, bufLength));
    } catch (const std::exception& e) {
        LOG_ERROR("WriteDisk: %s  (line %d)", e.what(), __LINE__);
        return scope.nok();
    }
}

// =======================================================================================
// LUN I/O: the LUN devices of a SAN session and the address maps carried out on them.

namespace {

constexpr uint64_t kMinPhyOffset = 0x200000;  // the first 2 MiB of a LUN are never touched
constexpr const char* kDevDir = "/dev/disk/by-id/";

// Buffers in which a LUN device path "/dev/disk/by-id/<name>" is formed, one for each of the
// interface's two functions that form it: OpenLocalLunDevFile opens the devices through a
// 128-byte path, isLunAttachedOnBackupNode tests their existence through a 512-byte one. The
// interface gives each function its own buffer, so the limits differ: a name between the two
// passes the attachment check and is then refused when the disk is opened. Neither cuts a
// path that does not fit, since a shortened path may name another device.
constexpr size_t kOpenLocalLunDevFilePathSize = 128;
constexpr size_t kIsLunAttachedOnBackupNodePathSize = 512;

// The first matching device of the list: its path ends in the 32 digits of `key`.
const HFILE* find_lun(const std::list<HFILE>& lunFileList, const std::string& key) {
    for (const HFILE& f : lunFileList) {
        if (f.devPath.size() >= key.size() &&
            f.devPath.compare(f.devPath.size() - key.size(), key.size(), key) == 0)
            return &f;
    }
    return nullptr;
}

// Positions `fd` at an extent's physical offset. Returns 0, or the errno of the failure; an
// offset the file offset type cannot hold fails with EINVAL before the descriptor is touched.
int seek_to_extent(int fd, uint64_t phyOffset) {
    if (phyOffset > static_cast<uint64_t>(LLONG_MAX)) return EINVAL;
    if (lseek(fd, static_cast<off_t>(phyOffset), SEEK_SET) == static_cast<off_t>(-1)) return errno;
    return 0;
}

// Why an extent of an address map could not be carried out.
enum class ExtentFailure {
    kTooMuchData,
    kLunNotFound,
    kBelowMinOffset,
    kSeekFailed,
    kIoFailed,
    kDeviceEnded,
};

// What ReadLun and WriteLun say for each failed extent. A text takes, in this order, the
// error text of a failed seek or device call (kSeekFailed, kIoFailed) or the bytes a device
// did not move (kDeviceEnded), and the line of the failing statement.
constexpr struct {
    ExtentFailure key;
    const char* text[2];  // ReadLun, WriteLun
} kExtentTexts[] = {
    {ExtentFailure::kTooMuchData,
     {"ReadLun: fail! too much data!  (line %d)", "WriteLun: fail! too much data!  (line %d)"}},
    {ExtentFailure::kLunNotFound,
     {"ReadLun: related LUN not found!  (line %d)", "WriteLun: related LUN not found!  (line %d)"}},
    {ExtentFailure::kBelowMinOffset,
     {"ReadLun: fail! The phyOffset is less than 2M bytes!  (line %d)",
      "WriteLun: fail! The phyOffset is less than 2M bytes!  (line %d)"}},
    {ExtentFailure::kSeekFailed,
     {"ReadLun: cannot seek to the extent: %s  (line %d)",
      "WriteLun: cannot seek to the extent: %s  (line %d)"}},
    {ExtentFailure::kIoFailed, {"ReadLun: %s  (line %d)", "WriteLun: %s  (line %d)"}},
    {ExtentFailure::kDeviceEnded,
     {"ReadLun: device ended before the extent was complete, %llu bytes missing!  (line %d)",
      "WriteLun: device accepted no more data, %llu bytes of the extent unwritten!  (line %d)"}},
};

// Logs what ReadLun (`writing` false) or WriteLun says for `failure`.
void say_extent(bool writing, ExtentFailure failure, int err, unsigned long long missing,
                int line) {
    const char* text = nullptr;
    for (const auto& row : kExtentTexts)
        if (row.key == failure) text = row.text[writing ? 1 : 0];
    if (CQuillonvardeSDKImpl::m_pLog == nullptr || CQuillonvardeSDKImpl::m_pDebugLevel == nullptr)
        return;
    const int level = CQuillonvardeSDKImpl::m_pDebugLevel->GetErrorLevel();
    if (failure == ExtentFailure::kSeekFailed || failure == ExtentFailure::kIoFailed)
        CQuillonvardeSDKImpl::m_pLog(level, text, std::strerror(err), line);
    else if (failure == ExtentFailure::kDeviceEnded)
        CQuillonvardeSDKImpl::m_pLog(level, text, missing, line);
    else
        CQuillonvardeSDKImpl::m_pLog(level, text, line);
}

// Carries out the extents of an address map, in record order, on consecutive stretches of a
// buffer of `capacity` bytes. An extent with storage is looked up on its LUN device by the 32
// hex digits of its identifier, checked (not below 2 MiB, not beyond the buffer), positioned
// and moved by `move(fd, at, n)`, one device call for up to n bytes at buffer offset `at`.
// Where `fill_hole(at, n)` is given, a record with physical offset 0 is a hole that it fills;
// pass nullptr to treat such a record as any other (then it fails the 2 MiB test). On
// success `total` holds the bytes carried out; a failure is reported in the words of WriteLun
// when `writing`, of ReadLun otherwise.
template <typename Move, typename Hole>
bool walk_extents(CQuillonvardeSDKImpl* self, const std::list<HFILE>& lunFileList,
                  const vhd_Rec* recs, unsigned int count, uint64_t capacity, Move move,
                  Hole fill_hole, bool writing, uint64_t& total) {
    auto fail = [writing](int line, ExtentFailure failure, int err = 0,
                          unsigned long long missing = 0) {
        say_extent(writing, failure, err, missing, line);
        return false;
    };
    total = 0;
    for (unsigned int i = 0; i < count; ++i) {
        const uint64_t phyOffset = recs[i].phyOffset;
        const uint64_t dataLen = recs[i].dataLen;
        if constexpr (!std::is_same<Hole, std::nullptr_t>::value) {
            if (phyOffset == 0) {
                // A hole: no storage behind the extent.
                if (dataLen > capacity - total) return fail(__LINE__, ExtentFailure::kTooMuchData);
                fill_hole(total, dataLen);
                total += dataLen;
                continue;
            }
        }
        const std::string key = self->String2Hex(recs[i].lunWwn, 32);
        const HFILE* dev = find_lun(lunFileList, key);
        if (dev == nullptr) return fail(__LINE__, ExtentFailure::kLunNotFound);
        if (phyOffset < kMinPhyOffset) return fail(__LINE__, ExtentFailure::kBelowMinOffset);
        // Compared without adding, so that a huge length cannot wrap around the capacity.
        if (dataLen > capacity - total) return fail(__LINE__, ExtentFailure::kTooMuchData);
        if (int err = seek_to_extent(dev->fd, phyOffset))
            return fail(__LINE__, ExtentFailure::kSeekFailed, err);
        for (uint64_t done = 0; done < dataLen;) {
            uint64_t want = dataLen - done;
            if (want > static_cast<uint64_t>(SSIZE_MAX)) want = SSIZE_MAX;
            ssize_t n = move(dev->fd, total + done, static_cast<size_t>(want));
            if (n < 0) return fail(__LINE__, ExtentFailure::kIoFailed, errno);
            // The device ended inside the extent: its bytes cannot be moved.
            if (n == 0) return fail(__LINE__, ExtentFailure::kDeviceEnded, 0, dataLen - done);
            done += static_cast<uint64_t>(n);
        }
        total += dataLen;
    }
    return true;
}

}  // namespace

int CQuillonvardeSDKImpl::OpenLocalLunDevFile(const std::list<std::string>& LunWWNList,
                                              std::list<HFILE>& lunFileList) {
    OpScope<int> scope("enter CQuillonvardeSDKImpl::OpenLocalLunDevFile:...",
                       "leave CQuillonvardeSDKImpl::OpenLocalLunDevFile: OK",
                       "leave CQuillonvardeSDKImpl::OpenLocalLunDevFile: NOK");
    if (LunWWNList.empty()) {
        LOG_ERROR("OpenLocalLunDevFile: LunWWNList is not valid!  (line %d)", __LINE__);
        return scope.nok();
    }
    for (const std::string& name : LunWWNList) {
        char path[kOpenLocalLunDevFilePathSize];
        std::memset(path, 0, sizeof path);
        int n = std::snprintf(path, sizeof path, "%s%s", kDevDir, name.c_str());
        if (n < 0 || static_cast<size_t>(n) >= sizeof path ||
            std::strlen(path) != name.size() + std::strlen(kDevDir)) {
            // A cut path could name another device (and SAN writes would land on it).
            LOG_ERROR(
                "OpenLocalLunDevFile: device path longer than %d characters refused: %s%s"
                "  (line %d)",
                static_cast<int>(kOpenLocalLunDevFilePathSize - 1), kDevDir, name.c_str(),
                __LINE__);
            return scope.nok();
        }
        int fd = open(path, static_cast<int>(m_uiOpenMode));
        if (fd == -1) {
            LOG_ERROR("OpenLocalLunDevFile: %s  (line %d)", std::strerror(errno), __LINE__);
            return scope.nok();
        }
        HFILE file;
        file.devPath = path;
        file.fd = fd;
        try {
            lunFileList.push_back(file);
        } catch (...) {
            close(fd);
            throw;
        }
    }
    return scope.ok();
}

void CQuillonvardeSDKImpl::CloseLocalLunDevFile() {
    OpScope<int> scope("enter CQuillonvardeSDKImpl::CloseLocalLunDevFile:...",
                       "leave CQuillonvardeSDKImpl::CloseLocalLunDevFile: OK", nullptr);
    for (const HFILE& f : m_lunFileList) {
        if (f.fd >= 0) close(f.fd);
    }
    m_lunFileList.clear();
    scope.ok();
}

std::string CQuillonvardeSDKImpl::String2Hex(const unsigned char* data, int) {
    OpScope<int> scope("enter CQuillonvardeSDKImpl::String2Hex:...",
                       "leave CQuillonvardeSDKImpl::String2Hex: OK", nullptr);
    char text[512];
    std::memset(text, 0, sizeof text);
    for (int i = 0; i < 16; ++i) {
        size_t used = std::strlen(text);
        std::snprintf(text + used, sizeof text - used, "%02x", data[i]);
    }
    LOG_INFO("String2Hex: dev = %s", text);
    scope.ok();
    return std::string(text);
}

int CQuillonvardeSDKImpl::ReadLun(std::list<HFILE>& lunFileList, const vhd_Rec* recs,
                                  unsigned int count, char* buf, unsigned long long& bufSize) {
    OpScope<int> scope("enter CQuillonvardeSDKImpl::ReadLun:...",
                       "leave CQuillonvardeSDKImpl::ReadLun: OK",
                       "leave CQuillonvardeSDKImpl::ReadLun: NOK");
    if (lunFileList.empty() || count == 0 || buf == nullptr || bufSize == 0 || recs == nullptr) {
        LOG_ERROR("ReadLun: invalid parameter!  (line %d)", __LINE__);
        return scope.nok();
    }
    auto read_piece = [buf](int fd, uint64_t at, size_t n) { return read(fd, buf + at, n); };
    // A hole has no storage behind it: it reads as zeros.
    auto zero_hole = [buf](uint64_t at, uint64_t n) {
        std::memset(buf + at, 0, static_cast<size_t>(n));
    };
    uint64_t total = 0;
    if (!walk_extents(this, lunFileList, recs, count, bufSize, read_piece, zero_hole, false, total))
        return scope.nok();
    bufSize = total;
    return scope.ok();
}

int CQuillonvardeSDKImpl::WriteLun(std::list<HFILE>& lunFileList, const vhd_Rec* recs,
                                   unsigned int count, const char* buf, long long& bufLength) {
    OpScope<int> scope("enter CQuillonvardeSDKImpl::WriteLun:...",
                       "leave CQuillonvardeSDKImpl::WriteLun: OK",
                       "leave CQuillonvardeSDKImpl::WriteLun: NOK");
    if (lunFileList.empty() || count == 0 || buf == nullptr || bufLength <= 0 || recs == nullptr) {
        LOG_ERROR("WriteLun: invalid parameter!  (line %d)", __LINE__);
        return scope.nok();
    }
    auto write_piece = [buf](int fd, uint64_t at, size_t n) { return write(fd, buf + at, n); };
    // A write map has no holes: every record needs a device and a valid offset.
    uint64_t total = 0;
    if (!walk_extents(this, lunFileList, recs, count, static_cast<uint64_t>(bufLength), write_piece,
                      nullptr, true, total))
        return scope.nok();
    bufLength = static_cast<long long>(total);
    if (bufLength <= 0) {
        LOG_ERROR("WriteLun: fail! The data written is less than zero!  (line %d)", __LINE__);
        return scope.nok();
    }
    return scope.ok();
}

// =======================================================================================
// Child processes: the LUN attachment check with its SCSI rescan, and the execution of a
// command as a child process.
//
// The backup node rescans its SCSI buses by running a system script as a child process
// (first as the calling user, then through sudo) and then checks that every LUN of a list
// has its entry under "/dev/disk/by-id/". The child's standard output is collected through a
// pipe as text lines; success is judged by the child's exit status.

namespace {

// Program and argument vector of the two rescan attempts.
const char kRescanScript[] = "/usr/bin/rescan-scsi-bus.sh";
const char kSudo[] = "/usr/bin/sudo";

// One piece of child output holds at most kLineBufferSize - 1 characters.
constexpr int kLineBufferSize = 1024;

// Exit status of a child that could not start its program ("exit(-1)" seen by the parent).
constexpr int kChildFailureStatus = 255;

// The null-terminated argv array for execvp, pointing into the texts of `args` (which must
// outlive it). Allocated with malloc; null when memory is short. Built by the parent before
// fork, so that the child does not have to allocate.
char** proc_build_argv(const std::vector<std::string>& args) {
    char** argv = static_cast<char**>(std::malloc((args.size() + 1) * sizeof(char*)));
    if (argv == nullptr) return nullptr;
    for (size_t i = 0; i < args.size(); ++i) argv[i] = const_cast<char*>(args[i].c_str());
    argv[args.size()] = nullptr;
    return argv;
}

// Appends the decimal text of `value` to `out` at `*pos` (no allocation, no locale).
void proc_append_decimal(char* out, size_t size, size_t* pos, int value) {
    char digits[16];
    size_t n = 0;
    unsigned int magnitude =
        value < 0 ? 0u - static_cast<unsigned int>(value) : static_cast<unsigned int>(value);
    do {
        digits[n++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0 && n < sizeof(digits));
    if (value < 0 && *pos + 1 < size) out[(*pos)++] = '-';
    while (n > 0 && *pos + 1 < size) out[(*pos)++] = digits[--n];
}

void proc_append_text(char* out, size_t size, size_t* pos, const char* text) {
    while (*text != '\0' && *pos + 1 < size) out[(*pos)++] = *text++;
}

// Reports a failed dup2 in the child, directly on its standard error. The host may run
// other threads while the child is forked; the child is then a copy of the host in which
// only the forking thread exists, and any lock another thread held at the fork (in the
// host's log function, its level object, malloc or stdio) stays locked forever. Calling
// the host's log function from here could therefore hang the child, so the message is
// formatted by hand and written with write(2), which is async-signal-safe. The error text
// comes from strerrordesc_np, a table lookup that neither allocates nor consults the locale.
void proc_report_dup2_failure(int err) {
    char message[256];
    size_t pos = 0;
    proc_append_text(message, sizeof(message), &pos, "dup2 failed,errno=");
    proc_append_decimal(message, sizeof(message), &pos, err);
    proc_append_text(message, sizeof(message), &pos, ",error information is ");
    const char* description = strerrordesc_np(err);
    proc_append_text(message, sizeof(message), &pos,
                     description != nullptr ? description : "Unknown error");
    proc_append_text(message, sizeof(message), &pos, "\n");
    const char* p = message;
    while (pos > 0) {
        ssize_t written = write(STDERR_FILENO, p, pos);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) break;
        p += written;
        pos -= static_cast<size_t>(written);
    }
}

// Replaces the child with the program; only returns to end the child with status 255.
[[noreturn]] void proc_exec_prepared(const char* program, char* const* argv) {
    execvp(program, argv);
    // _exit, not exit: the child must not run the host's atexit handlers or flush stdio
    // buffers that it copied from the host. The parent sees the same status 255.
    _exit(kChildFailureStatus);
}

// The child's side after fork: the write end of the pipe becomes standard output, then the
// program is started. Only async-signal-safe calls (close, dup2, fcntl, write, execvp,
// _exit) are made here, because the host may have had other threads running at the fork
// (see proc_report_dup2_failure). `argv` was prepared by the parent; null means that the
// parent could not allocate it.
[[noreturn]] void proc_run_child(const int* pipeFds, const char* program, char* const* argv) {
    close(pipeFds[0]);
    if (pipeFds[1] == STDOUT_FILENO) {
        // The host had no standard output, so the pipe got descriptor 1 itself. dup2 onto
        // itself would leave the close-on-exec flag set and the program without output.
        if (fcntl(STDOUT_FILENO, F_SETFD, 0) == -1) _exit(kChildFailureStatus);
    } else {
        // dup2 gives the new descriptor 1 no close-on-exec flag: the program keeps it.
        if (dup2(pipeFds[1], STDOUT_FILENO) == -1) {
            int err = errno;
            close(pipeFds[1]);
            proc_report_dup2_failure(err);
            _exit(kChildFailureStatus);
        }
        close(pipeFds[1]);
    }
    if (argv == nullptr) _exit(kChildFailureStatus);
    proc_exec_prepared(program, argv);
}

// Reaps a child whose output is not read (waitpid retried while interrupted).
void proc_reap_quietly(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

// The information text of a failed rescan attempt: each output line preceded by a line feed.
std::string proc_information_text(const std::vector<std::string>& output) {
    std::string text;
    for (const std::string& line : output) {
        text += '\n';
        text += line;
    }
    return text;
}

// Forms "/dev/disk/by-id/<name>" in `devPath` (kIsLunAttachedOnBackupNodePathSize bytes, cleared
// first). False when the existence test of the formed path would not be a test of the named LUN:
// - the path would be cut to kIsLunAttachedOnBackupNodePathSize - 1 characters, or the name holds a
// zero byte
//   (the path would end there): a shortened path may name another device;
// - the name is empty, "." or "..": the path names the directory itself or its parent,
//   which always exist.
bool proc_form_dev_path(const std::string& name, char* devPath) {
    std::memset(devPath, 0, kIsLunAttachedOnBackupNodePathSize);
    if (name.empty() || name == "." || name == "..") return false;
    if (name.find('\0') != std::string::npos) return false;
    int n = std::snprintf(devPath, kIsLunAttachedOnBackupNodePathSize, "/dev/disk/by-id/%s",
                          name.c_str());
    return n > 0 && static_cast<size_t>(n) < kIsLunAttachedOnBackupNodePathSize;
}

}  // namespace

bool CQuillonvardeSDK::verifyLUNAttached(const std::list<std::string>& LunWWNList) {
    return CQuillonvardeSDKImpl::verify(LunWWNList);
}

bool CQuillonvardeSDKImpl::verify(const std::list<std::string>& LunWWNList) {
    OpScope<bool> scope("enter CQuillonvardeSDKImpl::verify...",
                        "leave CQuillonvardeSDKImpl::veryfy: OK",
                        "leave CQuillonvardeSDKImpl::verify: NOK");
    if (!RescanLUNWWNOnBackupNode()) {
        LOG_ERROR("rescan LUNWWN on backup node failed!  (line %d)", __LINE__);
        return scope.nok();
    }
    LOG_INFO("rescan LUNWWN on backup node success!");
    if (isLunAttachedOnBackupNode(LunWWNList)) return scope.ok();
    LOG_ERROR("CQuillonvardeSDKImpl::verify: file not exist! (line %d)", __LINE__);
    return scope.nok();
}

bool CQuillonvardeSDKImpl::isLunAttachedOnBackupNode(const std::list<std::string>& LunWWNList) {
    // A failed test logs no leave line.
    OpScope<bool> scope("enter CQuillonvardeSDKImpl::isLunAttachedOnBackupNode:...",
                        "leave CQuillonvardeSDKImpl::isLunAttachedOnBackupNode: OK", nullptr);
    if (LunWWNList.empty()) {
        LOG_ERROR("isLunAttachedOnBackupNode: LunWWNList is null!  (line %d)", __LINE__);
        return scope.nok();
    }
    char devPath[kIsLunAttachedOnBackupNodePathSize];
    for (const std::string& name : LunWWNList) {
        // The first name without an entry ends the test; the names after it are not looked at.
        if (!proc_form_dev_path(name, devPath)) return scope.nok();
        if (access(devPath, F_OK) != 0) return scope.nok();
    }
    return scope.ok();
}

bool CQuillonvardeSDKImpl::RescanLUNWWNOnBackupNode() {
    OpScope<bool> scope("enter CQuillonvardeSDKImpl::RescanLUNWWNOnBackupNode:...",
                        "leave CQuillonvardeSDKImpl::RescanLUNWWNOnBackupNode:OK",
                        "leave CQuillonvardeSDKImpl::RescanLUNWWNOnBackupNode:NOK");
    std::vector<std::string> args;
    std::vector<std::string> output;

    // First attempt: the script as the calling user.
    args.push_back(kRescanScript);
    if (executeSystemCommand(kRescanScript, args, output)) {
        LOG_INFO("rescan LUNWWN on back up node success! ");
        return scope.ok();
    }
    std::string information = proc_information_text(output);
    LOG_INFO("Normal user rescan failed! The information is %s", information.c_str());
    args.clear();
    output.clear();

    // Second attempt: the same script through sudo.
    args.push_back("sudo");
    args.push_back(kRescanScript);
    if (executeSystemCommand(kSudo, args, output)) {
        LOG_INFO("rescan LUNWWN on back up node success!");
        return scope.ok();
    }
    information = proc_information_text(output);
    LOG_ERROR("rescan LUNWWN on back up node failed! The information is %s", information.c_str());
    return scope.nok();
}

bool CQuillonvardeSDKImpl::executeSystemCommand(const std::string& program,
                                                const std::vector<std::string>& args,
                                                std::vector<std::string>& output) {
    std::string command;
    for (const std::string& arg : args) {
        command += arg;
        command += ' ';
    }
    LOG_INFO("Execute command: %s", command.c_str());

    // Everything the child needs is prepared here, before fork: the child must not allocate
    // (another host thread may hold the allocator's lock at the moment of the fork).
    const char* path = program.c_str();
    char** argv = proc_build_argv(args);

    // Both ends are close-on-exec, so that programs the host starts meanwhile from other
    // threads do not inherit them (an inherited write end would hold back the end of our
    // output until that other program ends). The child's dup2 onto standard output makes
    // a descriptor without the flag, which the program keeps.
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        std::free(argv);
        LOG_ERROR("pipe failed!  (line %d)", __LINE__);
        return false;
    }

    pid_t pid = fork();
    if (pid < 0) {
        close(pipeFds[0]);
        close(pipeFds[1]);
        std::free(argv);
        LOG_ERROR("fork failed!  (line %d)", __LINE__);
        return false;
    }
    if (pid == 0) proc_run_child(pipeFds, path, argv);

    std::free(argv);
    if (getChildProcessOutput(pid, pipeFds, output)) {
        LOG_INFO("execute command sueccess!");
        return true;
    }
    LOG_ERROR("execute command failed!  (line %d)", __LINE__);
    return false;
}

void CQuillonvardeSDKImpl::doExecvp(const std::string& program,
                                    const std::vector<std::string>& args) {
    // For a child of a single-threaded caller: builds the argument array itself.
    // executeSystemCommand builds it before fork instead and goes straight to execvp.
    char** argv = proc_build_argv(args);
    if (argv == nullptr) _exit(kChildFailureStatus);
    execvp(program.c_str(), argv);
    std::free(argv);
    _exit(kChildFailureStatus);
}

bool CQuillonvardeSDKImpl::getChildProcessOutput(int pid, const int* pipeFds,
                                                 std::vector<std::string>& output) {
    // Without the parent's copy of the write end, end of file comes once the child (and
    // whatever inherited its standard output) has closed it.
    close(pipeFds[1]);
    FILE* stream = fdopen(pipeFds[0], "r");
    if (stream == nullptr) {
        // Not silently left behind: the read end is closed (a writing child then ends on
        // the broken pipe) and the child is reaped.
        close(pipeFds[0]);
        proc_reap_quietly(pid);
        return false;
    }

    // Read everything before waiting, so that a child with more output than the pipe holds
    // never stalls. fgets stops at a line feed or after kLineBufferSize - 1 characters.
    char line[kLineBufferSize];
    size_t kept = 0;  // characters of the current piece read before an interrupted read
    for (;;) {
        if (kept == 0) std::memset(line, 0, sizeof(line));
        if (std::fgets(line + kept, static_cast<int>(sizeof(line) - kept), stream) == nullptr) {
            if (std::ferror(stream) && errno == EINTR) {
                // A signal interrupted the read: fgets returned nothing, but the characters
                // it had already taken are in the (cleared) buffer. Read on behind them.
                std::clearerr(stream);
                kept = std::strlen(line);
                continue;
            }
            if (kept == 0) break;  // end of output (or a read error)
            // The output ended right after an interrupted read: keep that last piece.
        }
        kept = 0;
        size_t length = std::strlen(line);
        if (length > 0 && (line[length - 1] == '\n' || line[length - 1] == '\r'))
            line[--length] = '\0';
        output.emplace_back(line, length);
    }
    std::fclose(stream);

    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            LOG_ERROR("waitpid(%d) errno not equal EINTR!  (line %d)", pid, __LINE__);
            return false;
        }
    }
    if (WIFSIGNALED(status)) {
        // A killed program did not finish its work: not a success.
        LOG_ERROR("child process terminated by signal %d!  (line %d)", WTERMSIG(status), __LINE__);
        return false;
    }
    int code = WEXITSTATUS(status);
    if (code != 0) {
        LOG_ERROR("WEXITSTATUS ErrCode = %d!  (line %d)", code, __LINE__);
        return false;
    }
    return true;
}
