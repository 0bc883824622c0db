// Helpers of the child-process and LUN-check tests: exact comparison of the captured log,
// the check that logged line numbers point at the reporting statements, small file
// helpers, and running a check in a forked copy of the test process.
#ifndef TESTS_SDK_PROCESS_PROCESS_TEST_UTIL_H
#define TESTS_SDK_PROCESS_PROCESS_TEST_UTIL_H

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace proctest {

// Expected log entries: level and text, with "(line N)" written as "(line #)".
using ExpectedLog = std::vector<std::pair<int, std::string>>;

// The captured log equals `expected`, entry by entry (levels and normalized texts).
::testing::AssertionResult log_is(const ExpectedLog& expected);

// Every captured message with "(line N)" has the text in front of its first number (or of
// "(line") at line N, or one or two lines above it, of one of the library's source files.
::testing::AssertionResult line_numbers_point_at_source();

// A new directory under /tmp; removed by the caller with remove_tree.
std::string make_temp_dir(const std::string& prefix);
void remove_tree(const std::string& path);

void write_file(const std::string& path, const std::string& content, unsigned mode = 0644);
std::string read_file(const std::string& path);
bool exists(const std::string& path);

// Runs `body` in a forked child of this process (which must be single-threaded) and returns
// what the body returned: "" when its checks passed, "SKIP: <reason>" when it could not
// run, otherwise a description of what failed. The child ends with _exit.
std::string in_subprocess(const std::function<std::string()>& body);

// Makes every later call of the given system calls in this process (and its children) fail
// with `error`. "" on success, otherwise why the filter could not be installed.
std::string fail_syscalls(const std::vector<int>& numbers, int error);

}  // namespace proctest

#endif  // TESTS_SDK_PROCESS_PROCESS_TEST_UTIL_H
