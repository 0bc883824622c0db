#include "progress.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "console.h"

namespace qvdisk {
namespace {

using Clock = std::chrono::steady_clock;
constexpr double kMiB = 1024.0 * 1024.0;

sigset_t stop_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

std::string mib(uint64_t bytes) {
    char b[32];
    std::snprintf(b, sizeof b, "%.1f MiB", bytes / kMiB);
    return b;
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
}

void draw_line(const ProgressFigures& p) {
    double rate, left;
    rates(p, rate, left);
    char line[200];
    if (rate > 0) {
        long s = static_cast<long>(left + 0.5);
        std::snprintf(line, sizeof line, "%s of %s  %3.0f%%  %.1f MiB/s  %ld:%02ld left",
                      mib(p.done).c_str(), mib(p.total).c_str(), 100.0 * p.done / p.total,
                      rate / kMiB, s / 60, s % 60);
    } else {
        std::snprintf(line, sizeof line, "%s of %s", mib(p.done).c_str(), mib(p.total).c_str());
    }
    show_progress(line);
}

}  // namespace

void report_end(const std::vector<std::string>& failures, int stopped_by, uint64_t done) {
    if (!failures.empty()) {
        std::string more = failures.size() > 1 ? " (and " + std::to_string(failures.size() - 1) +
                                                     " more failure(s) on other connections)"
                                               : "";
        message(failures.front() + more);
    }
    if (stopped_by != 0) message("interrupted after " + std::to_string(done) + " bytes");
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

std::string progress_json(const ProgressFigures& p) {
    double rate, left;
    rates(p, rate, left);
    char line[400];
    char left_text[32] = "null";
    if (left >= 0) std::snprintf(left_text, sizeof left_text, "%.1f", left);
    char blocks[80] = "";
    if (p.blocks)
        std::snprintf(blocks, sizeof blocks, ",\"blocks_compared\":%llu,\"blocks_written\":%llu",
                      static_cast<unsigned long long>(p.blocks_compared),
                      static_cast<unsigned long long>(p.blocks_written));
    std::snprintf(line, sizeof line,
                  "{\"state\":\"%s\",\"bytes_done\":%llu,\"bytes_total\":%llu,"
                  "\"bytes_per_second\":%.0f,\"seconds_left\":%s,\"elapsed_seconds\":%.1f,"
                  "\"retries\":%llu,\"connections\":%u%s}",
                  p.state, static_cast<unsigned long long>(p.done),
                  static_cast<unsigned long long>(p.total), rate, left_text, p.seconds,
                  static_cast<unsigned long long>(p.retries), p.connections, blocks);
    return line;
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
            message("second signal: exiting at once");
            signal(sig, SIG_DFL);
            unblock_stop_signals();
            raise(sig);
        }
        if (sig != 0) {
            stopped_by = sig;
            loop.stop();
            message(std::string("stopping on ") + (sig == SIGINT ? "SIGINT" : "SIGTERM") +
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

int run_supervised(CopyLoop& loop, ProgressMode mode, uint64_t total, const BlockCounts* counts) {
    block_stop_signals();
    loop.start();
    const int stopped_by = supervise(loop, mode, total, counts);
    loop.join();
    unblock_stop_signals();
    return stopped_by;
}

void final_progress(ProgressMode mode, const ProgressFigures& p) {
    if (mode == ProgressMode::kJson) message_raw(progress_json(p));
}

}  // namespace qvdisk
