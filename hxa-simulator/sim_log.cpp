#include "sim_log.h"

#include <sys/time.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>

namespace hxasim {
namespace {

std::atomic<Verbosity> g_verbosity{Verbosity::kNormal};
std::mutex g_log_mutex;

void emit(const char* kind, const char* format, va_list args) {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm tm_now;
    localtime_r(&tv.tv_sec, &tm_now);
    char stamp[32];
    strftime(stamp, sizeof stamp, "%H:%M:%S", &tm_now);
    std::lock_guard<std::mutex> lock(g_log_mutex);
    std::fprintf(stderr, "%s.%03ld hxa-simulator %s", stamp, static_cast<long>(tv.tv_usec / 1000),
                 kind);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

}  // namespace

void set_verbosity(Verbosity v) { g_verbosity = v; }

void log_info(const char* format, ...) {
    if (g_verbosity == Verbosity::kQuiet) return;
    va_list args;
    va_start(args, format);
    emit("", format, args);
    va_end(args);
}

void log_error(const char* format, ...) {
    va_list args;
    va_start(args, format);
    emit("ERROR: ", format, args);
    va_end(args);
}

void log_debug(const char* format, ...) {
    if (g_verbosity != Verbosity::kVerbose) return;
    va_list args;
    va_start(args, format);
    emit("", format, args);
    va_end(args);
}

}  // namespace hxasim
