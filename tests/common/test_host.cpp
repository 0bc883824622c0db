#include "test_host.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <regex>
#include <sstream>

namespace testhost {
namespace {

std::mutex g_mutex;
std::vector<LogEntry> g_entries;

}  // namespace

void capture_log(int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0) std::vsnprintf(&text[0], text.size() + 1, format, args);
    va_end(args);
    std::lock_guard<std::mutex> lock(g_mutex);
    g_entries.push_back({level, std::move(text)});
}

int install() {
    static TestLevels levels;
    return CQuillonvardeSDK::InitialSDK(capture_log, &levels, "", "", "");
}

std::vector<LogEntry> entries() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_entries;
}

void clear() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_entries.clear();
}

std::string normalize(const std::string& text) {
    static const std::regex line_no(R"(\(line [0-9]+\))");
    return std::regex_replace(text, line_no, "(line #)");
}

std::vector<LogEntry> normalized_entries() {
    std::vector<LogEntry> out = entries();
    for (auto& e : out) e.text = normalize(e.text);
    return out;
}

bool logged(int level, const std::string& text) {
    for (const auto& e : normalized_entries())
        if (e.level == level && e.text == text) return true;
    return false;
}

std::string dump() {
    std::ostringstream os;
    for (const auto& e : normalized_entries()) os << e.level << ' ' << e.text << '\n';
    return os.str();
}

}  // namespace testhost
