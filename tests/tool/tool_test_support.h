// Helpers of the end-to-end tests: running the real tool as a child process, scratch
// directories, files, and an independent reader of the JSON-lines stream.
#ifndef ZEV_TESTS_TOOL_TEST_SUPPORT_H
#define ZEV_TESTS_TOOL_TEST_SUPPORT_H

#include <stdint.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace zev_test {

struct RunResult {
    std::string out;
    std::string err;
    int exit_code = -1;  // -1 when the child did not exit normally
    int signal = 0;
};

struct RunOptions {
    std::string cwd;             // empty: the test's working directory
    uint64_t address_space = 0;  // RLIMIT_AS for the child; 0: unchanged
    int stdin_fd = -1;           // -1: /dev/null
};

// Runs `program` with `args` (argv[0] is `program`) and collects everything it writes.
RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const RunOptions& options = RunOptions());

// Runs the tool built in this tree.
RunResult run_tool(const std::vector<std::string>& args, const RunOptions& options = RunOptions());
std::string tool_path();

// A fresh directory under /tmp, removed with everything in it at destruction.
class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

void write_file(const std::string& path, const std::string& content);
std::string read_file(const std::string& path);

// Deterministic pseudo-random bytes (xorshift), so failures can be reproduced.
std::string random_bytes(size_t n, uint64_t seed);

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

}  // namespace zev_test

#endif
