#include "test_host.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <regex>
#include <sstream>

#ifndef QV_SDK_SOURCE_DIR
#error "QV_SDK_SOURCE_DIR must name the library's source directory"
#endif

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

namespace {

bool is_transport_line(const std::string& t) {
    return t.rfind("send message to server success", 0) == 0 ||
           t.rfind("recv message from server success", 0) == 0 ||
           t.rfind("String2Hex: dev = ", 0) == 0 ||
           t == "enter CQuillonvardeSDKImpl::String2Hex:..." ||
           t == "leave CQuillonvardeSDKImpl::String2Hex: OK";
}

}  // namespace

std::vector<LogEntry> operation_log() {
    std::vector<LogEntry> out;
    for (auto& e : normalized_entries())
        if (!is_transport_line(e.text)) out.push_back(e);
    return out;
}

::testing::AssertionResult log_is(const std::vector<LogEntry>& expected, LogLines lines) {
    return same_log(expected, lines == LogLines::kAll ? normalized_entries() : operation_log());
}

::testing::AssertionResult same_log(const std::vector<LogEntry>& expected,
                                    const std::vector<LogEntry>& got) {
    auto render = [](const std::vector<LogEntry>& log, size_t i) {
        return i < log.size() ? std::to_string(log[i].level) + " " + log[i].text : "(none)";
    };
    std::ostringstream diff;
    bool same = got.size() == expected.size();
    for (size_t i = 0; i < std::max(got.size(), expected.size()); ++i) {
        std::string g = render(got, i), e = render(expected, i);
        if (g != e) same = false;
        diff << (g == e ? "   " : " ! ") << "#" << i << " got      [" << g << "]\n";
        if (g != e) diff << "      expected [" << e << "]\n";
    }
    if (same) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "log differs:\n" << diff.str();
}

namespace {

std::vector<std::vector<std::string>> library_sources() {
    std::vector<std::vector<std::string>> files;
    for (const auto& entry : std::filesystem::directory_iterator(QV_SDK_SOURCE_DIR)) {
        if (entry.path().extension() != ".cpp") continue;
        std::ifstream in(entry.path());
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        files.push_back(std::move(lines));
    }
    return files;
}

// The start of a message up to its first field or number, at most 20 characters: the part
// that stands as it is in the format string.
std::string literal_head(const std::string& text) {
    std::string head = text.substr(0, text.find_first_of("[%:(0123456789"));
    while (!head.empty() && head.back() == ' ') head.pop_back();
    if (head.size() > 20) head.resize(20);
    return head;
}

// Whether lines [line - 3, line] of `lines` (one of the library's `sources`) hold a statement
// logging the text that starts with `head`: the literal itself, or, for a text of a message table,
// a statement that hands its own line (__LINE__) on and names the text's row (its key) or its table
// ("result" for kResultTexts).
bool logs_at(const std::vector<std::vector<std::string>>& sources,
             const std::vector<std::string>& lines, size_t line, const std::string& head) {
    static const std::regex row_key(R"(^\s*\{\s*(?:[A-Za-z_]\w*::)*([A-Za-z_]\w*)\s*,)");
    static const std::regex table_name(R"(\bk([A-Z]\w*)Texts\[\])");
    const size_t first = line > 3 ? line - 3 : 1;
    std::string statement;
    for (size_t l = first; l <= line && l <= lines.size(); ++l) {
        if (lines[l - 1].find("\"" + head) != std::string::npos) return true;
        statement += lines[l - 1];
    }
    if (statement.find("__LINE__") == std::string::npos) return false;
    for (const auto& source : sources)
        for (size_t l = 0; l < source.size(); ++l) {
            if (source[l].find("\"" + head) == std::string::npos) continue;
            std::smatch m;
            std::string key, table;
            for (size_t up = l + 1; up-- > 0 && (key.empty() || table.empty());) {
                if (key.empty() && l - up < 8 && std::regex_search(source[up], m, row_key))
                    key = m[1].str();
                if (table.empty() && std::regex_search(source[up], m, table_name)) {
                    table = m[1].str();
                    table[0] = static_cast<char>(std::tolower(table[0]));
                }
            }
            if ((!key.empty() && statement.find(key) != std::string::npos) ||
                (!table.empty() && statement.find(table) != std::string::npos))
                return true;
        }
    return false;
}

}  // namespace

::testing::AssertionResult line_numbers_point_at_source() {
    static const std::regex line_ref(R"(\(line ([0-9]+)\))");
    const std::vector<std::vector<std::string>> files = library_sources();
    if (files.empty()) return ::testing::AssertionFailure() << "no sources in " QV_SDK_SOURCE_DIR;
    size_t checked = 0;
    for (const auto& entry : entries()) {
        std::smatch m;
        if (!std::regex_search(entry.text, m, line_ref)) continue;
        ++checked;
        const size_t line = std::stoul(m[1].str());
        const std::string head = literal_head(entry.text);
        if (head.empty())
            return ::testing::AssertionFailure() << "\"" << entry.text << "\" starts with a field";
        bool found = false;
        for (const auto& lines : files) found = found || logs_at(files, lines, line, head);
        if (!found)
            return ::testing::AssertionFailure()
                   << "\"" << entry.text << "\": no statement logging \"" << head << "\" at line "
                   << line;
    }
    if (checked == 0) return ::testing::AssertionFailure() << "no message carries a line number";
    return ::testing::AssertionSuccess() << checked << " line numbers checked";
}

}  // namespace testhost
