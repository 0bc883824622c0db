#include "console.h"

#include <unistd.h>

#include <cstdio>
#include <mutex>

namespace qvdisk {
namespace {

std::mutex g_lock;
bool g_progress_shown = false;
std::string g_last_error;
bool g_data_on_stdout = false;

// Called with g_lock held.
void erase_progress_line() {
    if (g_progress_shown) std::fputs("\r\033[K", stderr);
    g_progress_shown = false;
}

// Called with g_lock held.
void write_line(const std::string& text) {
    erase_progress_line();
    std::string line = "qv-disk: " + text + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

}  // namespace

void message(const std::string& text) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_last_error = text;
    write_line(text);
}

void note(const std::string& text) {
    std::lock_guard<std::mutex> guard(g_lock);
    write_line(text);
}

std::string last_error() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_last_error;
}

void data_on_standard_output() {
    std::lock_guard<std::mutex> guard(g_lock);
    g_data_on_stdout = true;
}

void summary(const std::string& text) {
    std::lock_guard<std::mutex> guard(g_lock);
    std::string line = text + "\n";
    if (g_data_on_stdout) {
        erase_progress_line();
        std::fwrite(line.data(), 1, line.size(), stderr);
        std::fflush(stderr);
    } else {
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fflush(stdout);
    }
}

void message_raw(const std::string& text) {
    std::lock_guard<std::mutex> guard(g_lock);
    erase_progress_line();
    std::string line = text + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

bool progress_wanted() { return isatty(STDERR_FILENO) == 1; }

void show_progress(const std::string& text) {
    std::lock_guard<std::mutex> guard(g_lock);
    std::string line = "\r" + text + "\033[K";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
    g_progress_shown = true;
}

void clear_progress() {
    std::lock_guard<std::mutex> guard(g_lock);
    erase_progress_line();
    std::fflush(stderr);
}

}  // namespace qvdisk
