// Unit tests of the diagnostic log: timestamp prefix, line structure, hex dump layout, the text
// preview rule, the file variants and the fall-back to standard error.
#include "logging.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <sys/time.h>
#include <unistd.h>

#include <regex>
#include <string>

#include "tool_test_support.h"

namespace {

using testcommon::read_file;
using testcommon::TempDir;

const std::regex kPrefix(R"(^\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3}\] )");

// Everything written to the stream by `write`, read back from a temporary file.
template <typename F>
std::string capture_stream(F write) {
    FILE* stream = tmpfile();
    EXPECT_NE(stream, nullptr);
    write(stream);
    fflush(stream);
    rewind(stream);
    std::string s;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, stream)) > 0) s.append(buffer, n);
    fclose(stream);
    return s;
}

// Standard error redirected to a file while `write` runs.
template <typename F>
std::string capture_stderr(F write) {
    fflush(stderr);
    FILE* sink = tmpfile();
    const int saved = dup(2);
    dup2(fileno(sink), 2);
    write();
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    rewind(sink);
    std::string s;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, sink)) > 0) s.append(buffer, n);
    fclose(sink);
    return s;
}

std::string strip_prefix(const std::string& line) {
    std::smatch m;
    EXPECT_TRUE(std::regex_search(line, m, kPrefix)) << line;
    return m.empty() ? line : line.substr(m.length(0));
}

void vlog_helper(FILE* stream, const char* format, ...) __attribute__((format(printf, 2, 3)));
void vlog_helper(FILE* stream, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vlog_message(stream, format, args);
    va_end(args);
}

TEST(LogMessage, PrefixMessageAndLineBreak) {
    const std::string s =
        capture_stream([](FILE* f) { log_message(f, "value %d and %s", 42, "text"); });
    EXPECT_TRUE(std::regex_search(s, kPrefix)) << s;
    EXPECT_EQ(strip_prefix(s), "value 42 and text\n");
    // The prefix is exactly 26 characters: "[YYYY-MM-DD HH:MM:SS.mmm] ".
    EXPECT_EQ(s.size(), 26 + strlen("value 42 and text\n"));
}

TEST(LogMessage, PrefixShowsTheCurrentLocalTime) {
    // The log reads the clock with gettimeofday; time() may use a coarser clock that lags it
    // by a few milliseconds across a second boundary, so the bounds come from the same clock.
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    const time_t before = tv.tv_sec;
    const std::string s = capture_stream([](FILE* f) { log_message(f, "x"); });
    gettimeofday(&tv, nullptr);
    const time_t after = tv.tv_sec;
    struct tm tm_before, tm_after;
    localtime_r(&before, &tm_before);
    localtime_r(&after, &tm_after);
    char a[64], b[64];
    strftime(a, sizeof a, "[%Y-%m-%d %H:%M:%S.", &tm_before);
    strftime(b, sizeof b, "[%Y-%m-%d %H:%M:%S.", &tm_after);
    const std::string stamp = s.substr(0, strlen(a));
    EXPECT_TRUE(stamp == a || stamp == b) << s;
}

TEST(LogMessage, EmbeddedAndTrailingLineBreaks) {
    const std::string s = capture_stream([](FILE* f) {
        log_message(f, "Processing block %zu of %zu blocks\n", static_cast<size_t>(0),
                    static_cast<size_t>(3));
        log_message(f, "Compressed bytes: %lu\n (block size: %lu)", 10ul, 20ul);
    });
    const size_t first_end = s.find('\n');
    EXPECT_EQ(strip_prefix(s.substr(0, first_end + 1)), "Processing block 0 of 3 blocks\n");
    EXPECT_EQ(s.substr(first_end + 1, 1), "\n");  // the empty line
    const std::string second = s.substr(first_end + 2);
    EXPECT_EQ(strip_prefix(second), "Compressed bytes: 10\n (block size: 20)\n");
}

TEST(LogMessage, VaListFormMatches) {
    const std::string s = capture_stream([](FILE* f) { vlog_helper(f, "%s-%d", "a", 7); });
    EXPECT_EQ(strip_prefix(s), "a-7\n");
}

TEST(LogMessage, NullStreamDoesNothing) {
    const std::string err = capture_stderr([] {
        log_message(nullptr, "nothing %d", 1);
        vlog_helper(nullptr, "nothing %d", 2);
        log_buffer(nullptr, "label", reinterpret_cast<const unsigned char*>("abc"), 3);
        log_buffer_with_preview(nullptr, "label", reinterpret_cast<const unsigned char*>("abc"), 3,
                                3);
        log_message_into_file(nullptr, "nothing");
        log_buffer_into_file(nullptr, "l", reinterpret_cast<const unsigned char*>("a"), 1);
        log_buffer_with_preview_into_file(nullptr, "l", reinterpret_cast<const unsigned char*>("a"),
                                          1, 1);
        close_log_file(nullptr);
    });
    EXPECT_EQ(err, "");
    EXPECT_EQ(open_log_file(nullptr), nullptr);
}

std::string dump(const std::string& label, const std::string& data, size_t limit, bool preview) {
    return capture_stream([&](FILE* f) {
        const unsigned char* p = reinterpret_cast<const unsigned char*>(data.data());
        if (preview) {
            log_buffer_with_preview(f, label.c_str(), p, data.size(), limit);
        } else {
            log_buffer(f, label.c_str(), p, data.size());
        }
    });
}

std::string bytes_0_to(int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += static_cast<char>(i);
    return s;
}

TEST(HexDump, TwentyBytesGiveOneFullAndOneShortLine) {
    EXPECT_EQ(dump("Data", bytes_0_to(20), 0, false),
              "Data (20 bytes):\n"
              "00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f \n"
              "10 11 12 13 \n");
}

TEST(HexDump, ThirtyTwoBytesGiveExactlyTwoLines) {
    std::string data = bytes_0_to(16) + std::string(16, '\xAB');
    EXPECT_EQ(dump("Data", data, 0, false),
              "Data (32 bytes):\n"
              "00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f \n"
              "ab ab ab ab ab ab ab ab ab ab ab ab ab ab ab ab \n");
}

TEST(HexDump, EmptyBufferWritesOnlyTheHeader) {
    EXPECT_EQ(dump("Empty", "", 0, false), "Empty (0 bytes):\n");
    EXPECT_EQ(dump("Empty", "", 10, true), "Empty (0 bytes):\n");
}

TEST(HexDump, LabelEndingInLineBreakPutsTheCountOnItsOwnLine) {
    EXPECT_EQ(dump("Blocks are different\n", "\xff", 0, false),
              "Blocks are different\n (1 bytes):\nff \n");
}

TEST(HexDump, NullDataWritesNothing) {
    EXPECT_EQ(capture_stream([](FILE* f) { log_buffer(f, "x", nullptr, 5); }), "");
    EXPECT_EQ(capture_stream([](FILE* f) { log_buffer_with_preview(f, "x", nullptr, 5, 5); }), "");
}

std::string hex_lines(const std::string& data) {
    std::string s;
    char b[4];
    for (size_t i = 0; i < data.size(); ++i) {
        snprintf(b, sizeof b, "%02x ", static_cast<unsigned char>(data[i]));
        s += b;
        if (i % 16 == 15) s += '\n';
    }
    if (data.size() % 16 != 0) s += '\n';
    return s;
}

TEST(TextPreview, NinetyPerCentTextGetsAPreviewOfAllBytes) {
    std::string data = std::string(90, 'a') + std::string(10, '\x01');
    EXPECT_EQ(dump("L", data, 100, true), "L (100 bytes):\n" + hex_lines(data) +
                                              "L (text preview, first 100 bytes):\n" + data + "\n");
}

TEST(TextPreview, EightyNinePerCentTextGetsNone) {
    std::string data = std::string(89, 'a') + std::string(11, '\x01');
    EXPECT_EQ(dump("L", data, 100, true), "L (100 bytes):\n" + hex_lines(data));
}

TEST(TextPreview, TabLineFeedAndCarriageReturnCountAsText) {
    std::string data = std::string(25, '\t') + std::string(25, '\n') + std::string(25, '\r') +
                       std::string(15, '~') + std::string(10, '\x7f');
    EXPECT_NE(dump("L", data, 100, true).find("L (text preview, first 100 bytes):\n"),
              std::string::npos);
    data[0] = '\x80';  // now 89 text bytes
    EXPECT_EQ(dump("L", data, 100, true).find("text preview"), std::string::npos);
}

TEST(TextPreview, ZeroByteInsideTheScannedBytesStopsThePreview) {
    std::string data = "printable text" + std::string(1, '\0') + "more text";
    EXPECT_EQ(dump("L", data, data.size(), true), "L (24 bytes):\n" + hex_lines(data));
    // A zero byte beyond the preview limit does not matter.
    EXPECT_EQ(dump("L", data, 14, true), "L (24 bytes):\n" + hex_lines(data) +
                                             "L (text preview, first 14 bytes):\nprintable text\n");
}

TEST(TextPreview, LimitSmallerThanSizePreviewsOnlyTheFirstBytes) {
    std::string data = "Hello, preview world";
    EXPECT_EQ(dump("L", data, 5, true),
              "L (20 bytes):\n" + hex_lines(data) + "L (text preview, first 5 bytes):\nHello\n");
    // The rule is judged on the first n bytes only.
    std::string mixed = std::string(10, 'x') + std::string(10, '\x02');
    EXPECT_NE(dump("L", mixed, 10, true).find("first 10 bytes"), std::string::npos);
    EXPECT_EQ(dump("L", mixed, 20, true).find("preview"), std::string::npos);
}

TEST(TextPreview, ZeroLimitGivesNoPreview) {
    EXPECT_EQ(dump("L", "abc", 0, true), "L (3 bytes):\n61 62 63 \n");
}

TEST(LogFile, OpenAppendsAndKeepsEarlierContent) {
    TempDir dir;
    const std::string path = dir.file("run.log");
    testcommon::write_file(path, "earlier line\n");
    FILE* f = open_log_file(path.c_str());
    ASSERT_NE(f, nullptr);
    ASSERT_NE(f, stderr);
    log_message(f, "first");
    close_log_file(f);
    f = open_log_file(path.c_str());
    log_message(f, "second");
    close_log_file(f);
    const std::string s = read_file(path);
    ASSERT_EQ(s.compare(0, 13, "earlier line\n"), 0);
    const size_t second = s.find('\n', 13) + 1;
    EXPECT_EQ(strip_prefix(s.substr(13, second - 13)), "first\n");
    EXPECT_EQ(strip_prefix(s.substr(second)), "second\n");
}

TEST(LogFile, UnopenablePathFallsBackToStandardError) {
    std::string err = capture_stderr([] {
        FILE* f = open_log_file("/nonexistent-zev-dir/run.log");
        EXPECT_EQ(f, stderr);
        log_message(f, "goes to stderr");
        close_log_file(f);  // must not close standard error
    });
    const std::string head = "Failed to open log file: No such file or directory\n";
    ASSERT_EQ(err.compare(0, head.size(), head), 0) << err;
    EXPECT_EQ(strip_prefix(err.substr(head.size())), "goes to stderr\n");
    // Standard error is still usable.
    EXPECT_NE(fcntl(2, F_GETFD), -1) << "stderr was closed";
    EXPECT_GE(fprintf(stderr, "%s", ""), 0);
}

TEST(LogFile, FileVariantsAppendOneEntryEach) {
    TempDir dir;
    const std::string path = dir.file("variants.log");
    const unsigned char text[] = "some printable text";
    log_message_into_file(path.c_str(), "message %d", 1);
    log_buffer_into_file(path.c_str(), "Dump", text, 3);
    log_buffer_with_preview_into_file(path.c_str(), "Text", text, 19, 4);
    log_buffer_into_file(path.c_str(), "Nothing", nullptr, 3);
    const std::string s = read_file(path);
    const size_t first = s.find('\n') + 1;
    EXPECT_EQ(strip_prefix(s.substr(0, first)), "message 1\n");
    EXPECT_EQ(s.substr(first),
              "Dump (3 bytes):\n73 6f 6d \n"
              "Text (19 bytes):\n" +
                  hex_lines("some printable text") + "Text (text preview, first 4 bytes):\nsome\n");
}

TEST(LogFile, FileVariantsFallBackToStandardError) {
    const unsigned char data[] = {0x01, 0x02};
    std::string err = capture_stderr([&] {
        log_message_into_file("/nonexistent-zev-dir/x.log", "lost %s", "line");
        log_buffer_into_file("/nonexistent-zev-dir/x.log", "Dump", data, 2);
        log_buffer_with_preview_into_file("/nonexistent-zev-dir/x.log", "Text",
                                          reinterpret_cast<const unsigned char*>("hi"), 2, 2);
    });
    const std::string failed = "Failed to open log file: No such file or directory\n";
    ASSERT_EQ(err.compare(0, failed.size(), failed), 0) << err;
    size_t pos = failed.size();
    const size_t end = err.find('\n', pos) + 1;
    EXPECT_EQ(strip_prefix(err.substr(pos, end - pos)), "lost line\n");
    EXPECT_EQ(err.substr(end),
              failed + "Dump (2 bytes):\n01 02 \n" + failed +
                  "Text (2 bytes):\n68 69 \nText (text preview, first 2 bytes):\nhi\n");
}

}  // namespace
