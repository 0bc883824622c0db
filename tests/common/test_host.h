// A test host for libquillonvarde_sdk: a printf-style log function that records every call
// with its level and formatted text, and a level object whose getters return distinct values.
#ifndef TESTS_COMMON_TEST_HOST_H
#define TESTS_COMMON_TEST_HOST_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Quillonvarde_sdk.h"
#include "host_levels.h"

namespace testhost {

// Levels returned by TestLevels; distinct so that every message's kind can be checked.
constexpr int kTrace = zev_common::kTraceLevel;
constexpr int kInfo = zev_common::kInfoLevel;
constexpr int kDetail = zev_common::kDetailLevel;
constexpr int kError = zev_common::kErrorLevel;

struct LogEntry {
    int level;
    std::string text;  // formatted message
};

using TestLevels = zev_common::HostLevels;

// The log function handed to InitialSDK: formats and records the message (thread-safe).
void capture_log(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Installs capture_log and a process-wide TestLevels object with InitialSDK; returns its result.
int install();

// Everything logged since the last clear(), in order.
std::vector<LogEntry> entries();
void clear();

// The messages in order with every "(line N)" replaced by "(line #)", for exact comparisons.
std::vector<LogEntry> normalized_entries();
std::string normalize(const std::string& text);

// True when some entry's normalized text equals `text` at `level`.
bool logged(int level, const std::string& text);

// All entries rendered one per line as "<level> <normalized text>", for failure output.
std::string dump();

// The operations' messages: normalized_entries() without the per-call lines of send_msg and
// recv_msg and the String2Hex lines (they are checked in tests of their own).
std::vector<LogEntry> operation_log();

// Which captured messages log_is compares: all of them, or those of operation_log().
enum class LogLines { kAll, kOperations };

// The exact log comparison of every suite: the captured log (normalized) equals `expected`
// entry by entry, levels and texts. On a mismatch the message lists both, marking the
// entries that differ.
::testing::AssertionResult log_is(const std::vector<LogEntry>& expected,
                                  LogLines lines = LogLines::kAll);

// The same comparison of two given logs.
::testing::AssertionResult same_log(const std::vector<LogEntry>& expected,
                                    const std::vector<LogEntry>& got);

// Every captured message with "(line N)" points at the statement that logged it: the text in
// front of its first field stands in a string literal at line N, or up to three lines above it
// (a statement may span lines), of one of the library's source files; or, for a text of one of
// the library's message tables, the statement there hands its own line on and names the
// text's row or table. Fails when no captured message carries a line number at all.
::testing::AssertionResult line_numbers_point_at_source();

}  // namespace testhost

#endif  // TESTS_COMMON_TEST_HOST_H
