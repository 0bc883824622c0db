// Implementation of libquillonvarde_sdk: the class's own functions, in the order a host meets
// them: the process-wide set-up and the object lifecycle, then the six operations. Each
// operation takes its checks and its log lines here and hands the rest to the file of its
// concern:
//   log_scope.h        what is logged and how, the enter and leave lines of an operation
//   connect.cpp        the socket, the TLS session and the certificate pins
//   transport.cpp      the plain and TLS byte streams of a connection
//   exchange.cpp       the header checksum, send_msg/recv_msg and the request/reply exchange
//   messages.cpp       what each operation says at each step and for each result code
//   disk_session.cpp   the transport of a disk session, chosen when the disk is opened
//   lan_session.cpp    the LAN transport: the data inside the protocol
//   san_session.cpp    the SAN transport: address maps carried out on local LUN devices
//   lun_rescan.cpp     the LUN attachment check, its SCSI rescan and the child processes
#include "Quillonvarde_sdk_impl.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <list>
#include <string>
#include <utility>
#include <vector>

#include "connect.h"
#include "disk_session.h"
#include "exchange.h"
#include "log_scope.h"
#include "messages.h"

using qvsdk::DiskSession;
using qvsdk::OpScope;
using qvsdk::Request;

void (*CQuillonvardeSDKImpl::m_pLog)(int level, const char* format, ...) = nullptr;
CQuillonvardeDebugLevel* CQuillonvardeSDKImpl::m_pDebugLevel = nullptr;
uint32_t CQuillonvardeSDKImpl::crc_table[256] = {};

// =======================================================================================
// Set-up and lifecycle

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
        std::vector<qvsdk::Fingerprint> pins;
        for (const std::string& entry : sha256Fingerprints) {
            qvsdk::Fingerprint fingerprint;
            if (!qvsdk::parse_fingerprint(entry, fingerprint)) {
                LOG_ERROR(
                    "PinServerCertificates: \"%s\" is not a SHA-256 fingerprint (32 bytes "
                    "in hexadecimal)  (line %d)",
                    entry.c_str(), __LINE__);
                return scope.nok();
            }
            pins.push_back(fingerprint);
        }
        qvsdk::set_pins(self, std::move(pins));
        LOG_INFO("PinServerCertificates: %zu certificate fingerprint(s) pinned",
                 sha256Fingerprints.size());
        return scope.ok();
    } catch (const std::exception& e) {
        LOG_ERROR("PinServerCertificates: %s  (line %d)", e.what(), __LINE__);
        return scope.nok();
    }
}

int CQuillonvardeSDK::ServerCertificateFingerprint(CQuillonvardeSDK* pInstance,
                                                   std::string& sha256Fingerprint) {
    OpScope<int> scope("enter CQuillonvardeSDKImpl::ServerCertificateFingerprint...",
                       "leave CQuillonvardeSDKImpl::ServerCertificateFingerprint: OK",
                       "leave CQuillonvardeSDKImpl::ServerCertificateFingerprint: NOK");
    if (pInstance == nullptr) {
        LOG_ERROR("ServerCertificateFingerprint: no object given  (line %d)", __LINE__);
        return scope.nok();
    }
    const CQuillonvardeSDKImpl* self = dynamic_cast<CQuillonvardeSDKImpl*>(pInstance);
    if (self == nullptr) {
        LOG_ERROR(
            "ServerCertificateFingerprint: the object was not made by CreateInstance  (line %d)",
            __LINE__);
        return scope.nok();
    }
    try {
        std::string text;
        if (!qvsdk::peer_fingerprint(self, text)) return scope.nok();
        sha256Fingerprint = text;
        return scope.ok();
    } catch (const std::exception& e) {
        LOG_ERROR("ServerCertificateFingerprint: %s  (line %d)", e.what(), __LINE__);
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
CQuillonvardeSDKImpl::~CQuillonvardeSDKImpl() { qvsdk::forget_pins(this); }

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

bool CQuillonvardeSDK::verifyLUNAttached(const std::list<std::string>& LunWWNList) {
    return CQuillonvardeSDKImpl::verify(LunWWNList);
}

// =======================================================================================
// The operations

int CQuillonvardeSDKImpl::ConnectHXA(const std::string& serverIp, unsigned short port,
                                     const std::string& token, unsigned int useSSL) {
    OpScope<int> scope("enter CQuillonvardeSDKImpl::ConnectHXA...",
                       "leave CQuillonvardeSDKImpl::ConnectHXA: OK",
                       "leave CQuillonvardeSDKImpl::ConnectHXA: NOK");
    if (!qvsdk::connect_socket(*this, serverIp, port)) return scope.nok();
    m_uiUseSSL = useSSL;
    if (useSSL != 0 && !qvsdk::start_tls(*this)) return scope.nok();
    // The transport is chosen here, once: every later send and receive of the connection
    // goes through it.
    transport();
    m_strToken = token;
    return scope.ok();
}

int CQuillonvardeSDKImpl::OpenDisk(const std::list<std::string>& LunWWNList,
                                   const std::string& diskPath, OPENMODE openMode,
                                   unsigned int& diskHandle, TRANSMODE transMode) {
    OpScope<int> scope("enter CQuillonvardeSDKImpl::OpenDisk...",
                       "leave CQuillonvardeSDKImpl::OpenDisk: OK",
                       "leave CQuillonvardeSDKImpl::OpenDisk: NOK");
    m_uiOpenMode = openMode;
    m_uiTransMode = transMode;
    // The session's transport is chosen here, once, and recorded in the mode: the operations
    // on the disk take the session of the recorded mode.
    const DiskSession& session = qvsdk::disk_session(transMode);
    try {
        // The limits of the fields are checked before any LUN device is opened and before a
        // sequence number is taken.
        if (!session.fields_fit(diskPath, m_strToken)) return scope.nok();
        if (!session.open_devices(*this, LunWWNList)) return scope.nok();
        Request request(this, qvsdk::kOpen, session.open_operation());
        request.replyLength = sizeof(hxa::OpenReply);
        session.build_open(request, diskPath, m_strToken, openMode);
        if (!request.exchange()) return scope.nok();

        const hxa::OpenReply reply = request.reply_as<hxa::OpenReply>();
        qvsdk::say_result(qvsdk::kOpen, reply.result, __LINE__);
        if (reply.result != hxa::RES_OK) return scope.nok();
        diskHandle = reply.handle;
        return scope.ok();
    } catch (const std::exception& e) {
        LOG_ERROR("OpenDisk: %s  (line %d)", e.what(), __LINE__);
        return scope.nok();
    }
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
    const DiskSession& session = qvsdk::disk_session(m_uiTransMode);
    if (!session.read_length_fits(VMLength)) return scope.nok();
    try {
        return session.read(*this, scope, {diskHandle, offset, VMLength}, buf, bufSize);
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
    const DiskSession& session = qvsdk::disk_session(m_uiTransMode);
    const bool noData = buf == nullptr && session.writes_without_data();

    if (VMLength == 0 || (buf == nullptr && !noData) || (buf != nullptr && bufLength <= 0)) {
        LOG_ERROR("WriteDisk: invalid parameters!");
        return scope.nok();
    }
    if (buf != nullptr && static_cast<unsigned long long>(bufLength) < VMLength) {
        LOG_ERROR("WriteDisk: buf size not Enough,buf length[%d],VMLength[%d]",
                  static_cast<int>(bufLength), static_cast<int>(VMLength));
        return scope.nok();
    }
    if (!session.write_length_fits(VMLength)) return scope.nok();
    try {
        return session.write(*this, scope, {diskHandle, offset, VMLength}, buf, bufLength);
    } catch (const std::exception& e) {
        LOG_ERROR("WriteDisk: %s  (line %d)", e.what(), __LINE__);
        return scope.nok();
    }
}

int CQuillonvardeSDKImpl::CloseDisk(unsigned int diskHandle) {
    OpScope<int> scope("enter CQuillonvardeSDKImpl::CloseDisk...",
                       "leave CQuillonvardeSDKImpl::CloseDisk: OK",
                       "leave CQuillonvardeSDKImpl::CloseDisk: NOK");
    const DiskSession& session = qvsdk::disk_session(m_uiTransMode);
    // The devices are closed first, whatever the service answers later.
    session.close_devices(*this);

    const uint16_t operation = session.close_operation();
    Request request(this, qvsdk::kClose, operation);
    request.replyLength = sizeof(hxa::CloseReply);
    request.anyOperation = operation == 0;
    request.build(hxa::CloseRequest{diskHandle});
    if (!request.exchange()) return scope.nok();

    const hxa::CloseReply reply = request.reply_as<hxa::CloseReply>();
    qvsdk::say_result(qvsdk::kClose, reply.result, __LINE__);
    return reply.result == hxa::RES_OK ? scope.ok() : scope.nok();
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
