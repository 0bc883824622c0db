// What the library logs and how: every message goes through log_at to the host's log
// function, and every operation logs its enter and leave lines through an OpScope. Internal
// to the library.
#ifndef QUILLONVARDE_SDK_LOG_SCOPE_H
#define QUILLONVARDE_SDK_LOG_SCOPE_H

#include <cstdio>
#include <exception>
#include <type_traits>

#include "Quillonvarde_sdk_impl.h"

namespace qvsdk {

// The getter of the host's level object whose value a message is logged with.
using LevelGetter = int (CQuillonvardeDebugLevel::*)();
constexpr LevelGetter kTraceLevel = &CQuillonvardeDebugLevel::GetTraceLevel;
constexpr LevelGetter kInfoLevel = &CQuillonvardeDebugLevel::GetInfoLevel;
constexpr LevelGetter kDetailLevel = &CQuillonvardeDebugLevel::GetDetailLevel;
constexpr LevelGetter kErrorLevel = &CQuillonvardeDebugLevel::GetErrorLevel;

// Whether InitialSDK has installed both hooks. Before that nothing is logged (and nothing
// crashes).
inline bool log_hooks_installed() {
    return CQuillonvardeSDKImpl::m_pLog != nullptr &&
           CQuillonvardeSDKImpl::m_pDebugLevel != nullptr;
}

// Hands the printf-style `format` and its values to the host's log function, with the level
// that `getter` of the host's level object returns at that moment. A fixed text is handed on
// as the format itself. A null format logs nothing.
template <typename... Values>
inline void log_at(LevelGetter getter, const char* format, Values... values) {
    if (format == nullptr || !log_hooks_installed()) return;
    CQuillonvardeSDKImpl::m_pLog((CQuillonvardeSDKImpl::m_pDebugLevel->*getter)(), format,
                                 values...);
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
        log_at(kTraceLevel, enter);
    }
    ~OpScope() {
        if (!done_ && std::uncaught_exceptions() == exceptions_) log_at(kTraceLevel, leaveNok_);
    }
    OpScope(const OpScope&) = delete;
    OpScope& operator=(const OpScope&) = delete;

    Result ok() { return leave(leaveOk_, kTraceLevel, kOk); }
    Result nok() { return leave(leaveNok_, kTraceLevel, kNok); }
    Result nok_at_error() { return leave(leaveNok_, kErrorLevel, kNok); }
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
        log_at(getter, text);
        return result;
    }

    const char* leaveOk_;
    const char* leaveNok_;
    int exceptions_;
    bool done_ = false;
};

}  // namespace qvsdk

// Logs a message at the level of the named getter (see log_at). The values are only worked
// out once the hooks are installed (some, such as OpenSSL's error text, take what they
// report off a queue). The dead printf call lets the compiler check every format against its
// values.
#define SDK_LOG(level, ...)                           \
    do {                                              \
        if (qvsdk::log_hooks_installed()) {           \
            if (false) std::printf(__VA_ARGS__);      \
            qvsdk::log_at(qvsdk::level, __VA_ARGS__); \
        }                                             \
    } while (0)
#define LOG_TRACE(...) SDK_LOG(kTraceLevel, __VA_ARGS__)
#define LOG_INFO(...) SDK_LOG(kInfoLevel, __VA_ARGS__)
#define LOG_DETAIL(...) SDK_LOG(kDetailLevel, __VA_ARGS__)
#define LOG_ERROR(...) SDK_LOG(kErrorLevel, __VA_ARGS__)

#endif  // QUILLONVARDE_SDK_LOG_SCOPE_H
