#include "progress.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "console.h"
#include "progress_line.h"

namespace qvdisk {
namespace {

using Clock = std::chrono::steady_clock;

sigset_t stop_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

// Bytes per second of this run, and the seconds left at that rate (negative: unknown).
void rates(const ProgressFigures& p, double& rate, double& left) {
    rate = p.seconds > 0 ? p.moved / p.seconds : 0;
    left = rate > 0 ? (p.total - p.done) / rate : (p.done >= p.total ? 0 : -1);
}

void add_counts(ProgressFigures& p, const BlockCounts* counts) {
    if (counts == nullptr) return;
    p.blocks = true;
    p.blocks_compared = counts->compared.load();
    p.blocks_written = counts->written.load();
    p.differed = counts->differed;
}

void draw_line(const ProgressFigures& p) {
    double rate, left;
    rates(p, rate, left);
    std::string text = zevcli::ProgressLine::text("", p.done, p.total, rate);
    if (p.blocks)
        text += "  " + std::to_string(p.blocks_written) + " of " +
                std::to_string(p.blocks_compared) + " blocks " + p.differed;
    show_progress(text);
}

}  // namespace

namespace {

// The report's state. The signal handler reads only what is async-signal-safe to read: the
// flags, and a final "interrupted" object made beforehand in one of two buffers (the other
// is being made while the handler may run).
ProgressMode g_mode = ProgressMode::kNone;
volatile sig_atomic_t g_started = 0;
volatile sig_atomic_t g_final_said = 0;
char g_interrupted[2][512];
volatile sig_atomic_t g_interrupted_length[2] = {0, 0};
volatile sig_atomic_t g_interrupted_slot = 0;
std::atomic<const char*> g_remove{nullptr};
std::string g_remove_names[2];
ProgressFigures g_known;  // what the report knows of the copy so far

// Makes the "interrupted" object of the figures known so far, for a signal that ends the
// process before the outcome is said.
void prepare_interrupted() {
    if (g_mode != ProgressMode::kJson) return;
    ProgressFigures p = g_known;
    p.state = "interrupted";
    const std::string line = progress_json(p) + "\n";
    const int slot = 1 - g_interrupted_slot;
    const size_t n = std::min(line.size(), sizeof g_interrupted[slot]);
    std::memcpy(g_interrupted[slot], line.data(), n);
    g_interrupted_length[slot] = static_cast<sig_atomic_t>(n);
    g_interrupted_slot = slot;
}

// Async-signal-safe: the last object, the file to remove, and the signal's own end.
[[noreturn]] void die(int sig) {
    if (g_final_said == 0 && g_started != 0 && g_mode == ProgressMode::kJson) {
        g_final_said = 1;
        const int slot = g_interrupted_slot;
        ssize_t ignored = write(STDERR_FILENO, g_interrupted[slot],
                                static_cast<size_t>(g_interrupted_length[slot]));
        (void)ignored;
    }
    if (const char* name = g_remove.load()) unlink(name);
    signal(sig, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    raise(sig);
    _exit(128 + sig);
}

void on_stop_signal(int sig) { die(sig); }

}  // namespace

void report_end(const std::vector<std::string>& failures, int stopped_by, uint64_t done) {
    if (!failures.empty()) {
        std::string more = failures.size() > 1 ? " (and " + std::to_string(failures.size() - 1) +
                                                     " more failure(s) on other connections)"
                                               : "";
        message(failures.front() + more);
    }
    if (stopped_by != 0) note("interrupted after " + std::to_string(done) + " bytes");
}

ProgressFigures final_figures(const CopyLoop& loop, uint64_t total, bool complete, int stopped_by,
                              const BlockCounts* counts) {
    ProgressFigures figures;
    add_counts(figures, counts);
    figures.done = loop.done_bytes();
    figures.total = total;
    figures.moved = loop.moved_bytes();
    figures.retries = loop.retries();
    figures.connections = loop.workers();
    figures.seconds = loop.seconds();
    figures.state = complete ? "done" : stopped_by != 0 ? "interrupted" : "failed";
    return figures;
}

std::string json_string(const std::string& text) {
    std::string out = "\"";
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    for (size_t i = 0; i < n;) {
        const unsigned char c = p[i];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        if (c < 0x20 || c == 0x7f) {
            const char* named = c == '\n' ? "\\n" : c == '\t' ? "\\t" : c == '\r' ? "\\r" : nullptr;
            char code[8];
            std::snprintf(code, sizeof code, "\\u%04x", c);
            out += named != nullptr ? named : code;
            ++i;
            continue;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        // A UTF-8 sequence is kept whole when it is one: the lead byte's length, continuation
        // bytes after it, no overlong form, no surrogate, nothing past U+10FFFF.
        const size_t len = c >= 0xc2 && c <= 0xdf   ? 2
                           : c >= 0xe0 && c <= 0xef ? 3
                           : c >= 0xf0 && c <= 0xf4 ? 4
                                                    : 0;
        bool valid = len != 0 && i + len <= n;
        for (size_t k = 1; valid && k < len; ++k) valid = (p[i + k] & 0xc0) == 0x80;
        if (valid && len >= 3) {
            const unsigned char second = p[i + 1];
            valid = !(c == 0xe0 && second < 0xa0) && !(c == 0xed && second >= 0xa0) &&
                    !(c == 0xf0 && second < 0x90) && !(c == 0xf4 && second >= 0x90);
        }
        if (valid) {
            out.append(text, i, len);
            i += len;
        } else {
            out += "\\ufffd";
            ++i;
        }
    }
    return out + "\"";
}

std::string progress_json(const ProgressFigures& p) {
    double rate, left;
    rates(p, rate, left);
    char line[400];
    char left_text[32] = "null";
    if (left >= 0) std::snprintf(left_text, sizeof left_text, "%.1f", left);
    char blocks[80] = "";
    if (p.blocks)
        std::snprintf(blocks, sizeof blocks, ",\"blocks_compared\":%llu,\"blocks_%s\":%llu",
                      static_cast<unsigned long long>(p.blocks_compared), p.differed,
                      static_cast<unsigned long long>(p.blocks_written));
    std::snprintf(line, sizeof line,
                  "{\"state\":\"%s\",\"bytes_done\":%llu,\"bytes_total\":%llu,"
                  "\"bytes_per_second\":%.0f,\"seconds_left\":%s,\"elapsed_seconds\":%.1f,"
                  "\"retries\":%llu,\"connections\":%u%s",
                  p.state, static_cast<unsigned long long>(p.done),
                  static_cast<unsigned long long>(p.total), rate, left_text, p.seconds,
                  static_cast<unsigned long long>(p.retries), p.connections, blocks);
    std::string object = line;
    if (std::strcmp(p.state, "failed") == 0)
        object += ",\"error\":" + json_string(p.error.empty() ? "the run failed" : p.error);
    return object + "}";
}

namespace {

void block_stop_signals() {
    sigset_t set = stop_signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void unblock_stop_signals() {
    sigset_t set = stop_signals();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

int supervise(CopyLoop& loop, ProgressMode mode, uint64_t total, const BlockCounts* counts) {
    sigset_t set = stop_signals();
    int signals = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    const bool line = mode == ProgressMode::kAuto && progress_wanted();
    const Clock::time_point start = Clock::now();
    Clock::time_point next_json = start + std::chrono::seconds(1);
    int stopped_by = 0;
    auto figures = [&] {
        ProgressFigures p;
        p.done = loop.done_bytes();
        p.total = total;
        p.moved = loop.moved_bytes();
        p.seconds = std::chrono::duration<double>(Clock::now() - start).count();
        p.retries = loop.retries();
        p.connections = loop.workers();
        add_counts(p, counts);
        return p;
    };
    while (loop.running()) {
        pollfd fds[2] = {{loop.wake_fd(), POLLIN, 0}, {signals, POLLIN, 0}};
        poll(fds, 2, 250);
        signalfd_siginfo info;
        int sig = 0;
        if (signals >= 0 && read(signals, &info, sizeof info) == sizeof info)
            sig = static_cast<int>(info.ssi_signo);
        if (sig != 0 && stopped_by != 0) {
            note("second signal: exiting at once");
            g_known = figures();
            prepare_interrupted();
            end_by_signal(sig);
        }
        if (sig != 0) {
            stopped_by = sig;
            loop.stop();
            note(std::string("stopping on ") + (sig == SIGINT ? "SIGINT" : "SIGTERM") +
                 ": finishing the requests in flight, then closing the disk and the "
                 "connection");
        }
        if (!loop.running()) break;
        if (line) draw_line(figures());
        if (mode == ProgressMode::kJson && Clock::now() >= next_json) {
            message_raw(progress_json(figures()));
            next_json += std::chrono::seconds(1);
        }
    }
    if (signals >= 0) close(signals);
    if (line) clear_progress();
    return stopped_by;
}

}  // namespace

void start_report(ProgressMode mode) {
    g_mode = mode;
    prepare_interrupted();
    g_started = 1;
    struct sigaction action = {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    sigaddset(&action.sa_mask, SIGINT);
    sigaddset(&action.sa_mask, SIGTERM);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

void report_total(uint64_t total, const char* differed) {
    g_known.total = total;
    g_known.blocks = differed != nullptr;
    if (differed != nullptr) g_known.differed = differed;
    prepare_interrupted();
}

void remove_on_signal(const std::string& path) {
    // The name the handler may be reading stays as it is; the other one is set.
    const char* current = g_remove.load();
    std::string& slot =
        current == g_remove_names[0].c_str() ? g_remove_names[1] : g_remove_names[0];
    slot = path;
    g_remove.store(path.empty() ? nullptr : slot.c_str());
}

void final_progress(ProgressFigures p) {
    g_known = p;
    if (g_final_said != 0) return;
    if (std::strcmp(p.state, "failed") == 0) p.error = last_error();
    g_final_said = 1;
    if (g_mode == ProgressMode::kJson) message_raw(progress_json(p));
}

int end_report(int status) {
    if (g_started == 0 || g_final_said != 0 || status == 2) return status;
    ProgressFigures p = g_known;
    p.state = status == 0 ? "done" : "failed";
    final_progress(p);
    return status;
}

void end_by_signal(int sig) { die(sig); }

int run_supervised(CopyLoop& loop, ProgressMode mode, uint64_t total, const BlockCounts* counts) {
    block_stop_signals();
    loop.start();
    const int stopped_by = supervise(loop, mode, total, counts);
    loop.join();
    g_known = final_figures(loop, total, false, stopped_by, counts);
    prepare_interrupted();
    unblock_stop_signals();
    return stopped_by;
}

}  // namespace qvdisk
