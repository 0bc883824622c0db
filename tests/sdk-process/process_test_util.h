// Helpers of the child-process and LUN-check tests: expected logs, running a check in a
// forked copy of the test process, and failing system calls.
#ifndef TESTS_SDK_PROCESS_PROCESS_TEST_UTIL_H
#define TESTS_SDK_PROCESS_PROCESS_TEST_UTIL_H

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "test_host.h"

namespace proctest {

// Expected log entries: level and text, with "(line N)" written as "(line #)".
using ExpectedLog = std::vector<testhost::LogEntry>;

// Runs `body` in a forked child of this process (which must be single-threaded; started and
// waited for by the kit's launcher) and returns what the body returned: "" when its checks
// passed, "SKIP: <reason>" when it could not run, otherwise a description of what failed.
// The child ends with _exit.
std::string in_subprocess(const std::function<std::string()>& body);

// Makes every later call of the given system calls in this process (and its children) fail
// with `error`. "" on success, otherwise why the filter could not be installed.
std::string fail_syscalls(const std::vector<int>& numbers, int error);

}  // namespace proctest

#endif  // TESTS_SDK_PROCESS_PROCESS_TEST_UTIL_H
