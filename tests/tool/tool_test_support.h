// Helpers of the tool's tests: running the real tool as a child process, disk-like content,
// and an independent reader of the JSON-lines stream.
#ifndef ZEV_TESTS_TOOL_TEST_SUPPORT_H
#define ZEV_TESTS_TOOL_TEST_SUPPORT_H

#include <stdint.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "test_common.h"

namespace zev_test {

// Runs the tool built in this tree.
testcommon::RunResult run_tool(const std::vector<std::string>& args,
                               const testcommon::RunOptions& options = testcommon::RunOptions());
std::string tool_path();

// `text` with every duration of a summary line (" in 0.4 s") written " in T s", so that a
// line can be compared whole whatever the run took.
std::string mask_seconds(const std::string& text);

// Content that looks like a disk image: runs of zeros, English-like text and random bytes.
std::string mixed_content(size_t n, uint64_t seed);

// One parsed line of the stream.
struct Record {
    enum Kind { kChange, kHeartbeat, kFinal } kind = kChange;
    uint64_t offset = 0;
    uint64_t length = 0;
    std::string data;  // Base64 text of a change record
};

// Splits the stream into lines and parses each strictly (exact key order, no blanks, decimal
// numbers without leading zeros). Adds a gtest failure for every line that does not parse.
std::vector<Record> parse_stream(const std::string& out);

// Base64 decoding written independently of the tool's codec; fails the test on bad text.
std::string reference_base64_decode(const std::string& text);

// Base64 text -> LZ4 block -> bytes, using liblz4's safe decompressor. Fails the test when the
// data does not decompress to exactly `length` bytes.
std::string decode_change_data(const std::string& text, uint64_t length);

// `text` with "PROGRAM: " at the start of every line, as the programs write their messages.
std::string said(const std::string& program, const std::string& text);

}  // namespace zev_test

#endif
