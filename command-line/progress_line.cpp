#include "progress_line.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace zevcli {
namespace {

constexpr double kMiB = 1024.0 * 1024.0;
constexpr auto kFirstDraw = std::chrono::seconds(1);
constexpr auto kRedraw = std::chrono::milliseconds(250);

// Moves to the start of the line and erases it, as qv-disk's console does.
const char kErase[] = "\r\033[K";

// Writes all of `text` to standard error; a failed write loses the line, nothing else.
void write_stderr(const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(STDERR_FILENO, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

std::string mib(uint64_t bytes) {
    char b[32];
    std::snprintf(b, sizeof b, "%.1f MiB", bytes / kMiB);
    return b;
}

}  // namespace

ProgressLine::ProgressLine() : terminal_(isatty(STDERR_FILENO) == 1), created_(Clock::now()) {}

ProgressLine::~ProgressLine() { finish(); }

std::string ProgressLine::text(const std::string& label, uint64_t done, uint64_t total,
                               double rate) {
    std::string line = label.empty() ? "" : label + ": ";
    line += mib(done) + " of " + mib(total);
    char figures[96];
    if (total > 0) {
        std::snprintf(figures, sizeof figures, "  %3.0f%%", 100.0 * done / total);
        line += figures;
    }
    if (rate > 0) {
        const uint64_t left_bytes = total > done ? total - done : 0;
        const long left = static_cast<long>(left_bytes / rate + 0.5);
        std::snprintf(figures, sizeof figures, "  %.1f MiB/s  %ld:%02ld left", rate / kMiB,
                      left / 60, left % 60);
        line += figures;
    }
    return line;
}

void ProgressLine::start(const std::string& label, uint64_t total) {
    finish();
    if (!terminal_) return;
    label_ = label;
    total_ = total;
    done_ = 0;
    stage_start_ = Clock::now();
    stop_ = false;
    drawer_ = std::thread([this] { redraw_until_finished(); });
}

void ProgressLine::finish() {
    if (!drawer_.joinable()) return;
    {
        std::lock_guard<std::mutex> hold(lock_);
        stop_ = true;
    }
    wake_.notify_all();
    drawer_.join();
    if (shown_) write_stderr(kErase);
    shown_ = false;
}

void ProgressLine::redraw_until_finished() {
    std::unique_lock<std::mutex> hold(lock_);
    Clock::time_point next = std::max(created_ + kFirstDraw, stage_start_ + kRedraw);
    while (!wake_.wait_until(hold, next, [this] { return stop_; })) {
        const double seconds = std::chrono::duration<double>(Clock::now() - stage_start_).count();
        const uint64_t done = done_.load(std::memory_order_relaxed);
        write_stderr("\r" + text(label_, done, total_, seconds > 0 ? done / seconds : 0) +
                     "\033[K");
        shown_ = true;
        next += kRedraw;
    }
}

}  // namespace zevcli
