#include "sdk_session.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "console.h"
#include "library_texts.h"

namespace qvdisk {
namespace {

// Levels handed to the library; the log function alone decides what to show.
enum Level { kTrace = 1, kInfo_ = 2, kDetail = 3, kWarn = 4, kError = 5 };
int g_show_from = kError + 1;  // quiet: nothing live

class Levels : public CQuillonvardeDebugLevel {
  public:
    int GetDebugLevel() override { return g_show_from; }
    void SetDebugLevel(int level) override { g_show_from = level; }
    int GetTraceLevel() override { return kTrace; }
    int GetInfoLevel() override { return kInfo_; }
    int GetDetailLevel() override { return kDetail; }
    int GetWarnLevel() override { return kWarn; }
    int GetErrorLevel() override { return kError; }
};

// The library logs on the calling thread, and every transfer thread drives an object of its
// own, so the last error of an operation is kept per thread.
thread_local std::string t_last_error;

// Whether a connection of this run has reached the service. Until one has, a connection that
// fails (refused, unreachable, no handshake) is not retried: the address is most likely wrong,
// and waiting would only hide that.
std::atomic<bool> g_service_reached{false};

std::string format_message(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    char small[512];
    int n = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0) return format;
    if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
    std::vector<char> big(static_cast<size_t>(n) + 1);
    std::vsnprintf(big.data(), big.size(), format, args);
    return std::string(big.data(), static_cast<size_t>(n));
}

void library_log(int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = format_message(format, args);
    va_end(args);
    bool handshake = text == kHandshakeDone;
    // Exit lines ("leave ...: NOK") follow the message that says why; keep the reason.
    if (level >= kError && !handshake && text.compare(0, 6, "leave ") != 0) t_last_error = text;
    if (level < g_show_from) return;
    static const char* names[] = {"?", "trace", "info", "detail", "warn", "error"};
    const char* name = level >= kTrace && level <= kError ? names[level] : names[0];
    if (handshake) text += " (TLS handshake succeeded; the library logs it at the error level)";
    note(std::string("[sdk ") + name + "] " + text);
}

}  // namespace

bool start_library(int verbosity) {
    g_show_from = verbosity >= kAll ? kTrace : verbosity == kInfo ? kInfo_ : kError + 1;
    static Levels levels;
    return CQuillonvardeSDK::InitialSDK(library_log, &levels, "", "", "") == 0;
}

Session::Session() : sdk_(CQuillonvardeSDK::CreateInstance()) {}

Session::~Session() {
    end();
    CQuillonvardeSDK::DestroyInstance(sdk_);
}

bool may_pass(const std::string& error) {
    for (const char* text : kNeverPassTexts)
        if (error.find(text) != std::string::npos) return false;
    return true;
}

bool Session::fail(const std::string& operation) {
    failure_ = operation + " failed: " +
               (t_last_error.empty() ? std::string("(the library logged no error)") : t_last_error);
    may_pass_ = may_pass(t_last_error);
    return false;
}

bool Session::open(const Endpoint& where, OPENMODE mode) {
    t_last_error.clear();
    if (!where.pins.empty() && CQuillonvardeSDK::PinServerCertificates(sdk_, where.pins) != 0)
        return fail("pinning the service's certificate");
    if (sdk_->ConnectHXA(where.address, where.port, where.token, where.tls ? 1 : 0) != 0) {
        sdk_->DisConnectHXA();  // releases whatever the failed attempt left
        const std::string address = where.address + ":" + std::to_string(where.port);
        fail("ConnectHXA to " + address);
        if (may_pass_ && !g_service_reached.load()) {
            failure_ = "cannot reach the HXA service at " + address + ": " +
                       (t_last_error.empty() ? std::string("ConnectHXA failed") : t_last_error) +
                       "; not retried, since no connection of this run has reached the service";
            may_pass_ = false;
        }
        return false;
    }
    g_service_reached.store(true);
    connected_ = true;
    if (sdk_->OpenDisk(where.luns, where.disk, mode, handle_, where.transport) != 0) {
        fail("OpenDisk of " + where.disk);
        // LUN devices opened before the refusal stay with the object until a CloseDisk in
        // the SAN transport, the library's only way to release them.
        if (where.transport == TRANS_SAN) sdk_->CloseDisk(handle_);
        return false;
    }
    disk_open_ = true;
    transport_ = where.transport;
    return true;
}

bool Session::certificate_fingerprint(std::string& text) {
    t_last_error.clear();
    if (CQuillonvardeSDK::ServerCertificateFingerprint(sdk_, text) != 0)
        return fail("ServerCertificateFingerprint");
    return true;
}

bool Session::read(uint64_t offset, uint64_t length, char* buf) {
    t_last_error.clear();
    unsigned long long got = length;
    if (sdk_->ReadDisk(handle_, offset, length, buf, got) != 0 || got != length) {
        return fail("ReadDisk of " + std::to_string(length) + " bytes at offset " +
                    std::to_string(offset));
    }
    return true;
}

bool Session::write(uint64_t offset, uint64_t length, const char* buf) {
    t_last_error.clear();
    long long done = static_cast<long long>(length);
    if (sdk_->WriteDisk(handle_, offset, length, buf, done) != 0 ||
        done != static_cast<long long>(length)) {
        return fail("WriteDisk of " + std::to_string(length) + " bytes at offset " +
                    std::to_string(offset));
    }
    return true;
}

bool Session::end() {
    bool ok = true;
    if (disk_open_) {
        disk_open_ = false;
        t_last_error.clear();
        if (sdk_->CloseDisk(handle_) != 0) ok = fail("CloseDisk");
    }
    if (connected_) {
        connected_ = false;
        sdk_->DisConnectHXA();
    }
    return ok;
}

void Session::abandon() {
    if (connected_) {
        connected_ = false;
        sdk_->DisConnectHXA();
    }
    if (disk_open_) {
        disk_open_ = false;
        if (transport_ == TRANS_SAN) sdk_->CloseDisk(handle_);
    }
}

bool verify_luns(const std::list<std::string>& names, std::string& failure) {
    t_last_error.clear();
    if (CQuillonvardeSDK::verifyLUNAttached(names)) return true;
    failure = "verifyLUNAttached failed: " +
              (t_last_error.empty() ? std::string("(the library logged no error)") : t_last_error);
    return false;
}

}  // namespace qvdisk
