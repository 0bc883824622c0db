// Helpers every test suite shares, independent of the programs under test: scratch
// directories and files, deterministic data, LUN identifiers, the header checksum computed
// on its own, child programs (through the kit's launcher) with their output collected, and
// loop devices over files.
#ifndef TESTS_COMMON_TEST_COMMON_H
#define TESTS_COMMON_TEST_COMMON_H

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "child_process.h"

namespace testcommon {

// A fresh directory under /tmp, removed with everything in it on destruction.
class TempDir {
  public:
    explicit TempDir(const std::string& prefix = "qv-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// Whole-file helpers; write_file fails the test when the file cannot be written.
void write_file(const std::string& path, const std::string& content, unsigned mode = 0644);
std::string read_file(const std::string& path);
bool exists(const std::string& path);  // also true for a dangling symbolic link
// Names of the entries of `dir` that start with `prefix` (what a run left beside its output).
std::vector<std::string> names_with(const std::string& dir, const std::string& prefix);

// Deterministic pseudo-random bytes (xorshift), so failures can be reproduced.
void fill_pattern(void* out, size_t n, uint64_t seed);
template <class Container>
Container pattern(size_t n, uint64_t seed) {
    Container c(n, 0);
    fill_pattern(&c[0], n, seed);
    return c;
}

// A LUN identifier whose bytes are derived from a seed, and its 32 lower-case hex digits.
using Wwn = std::array<uint8_t, 16>;
Wwn wwn(unsigned seed);
std::string wwn_hex(const uint8_t* id);  // 16 bytes
inline std::string wwn_hex(const Wwn& id) { return wwn_hex(id.data()); }

// The checksum a message header carries: CRC-32 with the reflected polynomial 0xED58F323,
// initial value 0xFFFFFFFF and no final inversion, computed bit by bit.
uint32_t reference_crc(const void* data, size_t n);

// A child program run to completion.
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

// Waits for a child started with the kit's launcher: "exit N" or "signal N", so a failed
// check names what happened ("not waited" when there was no child to wait for).
std::string wait_status(zev_common::ChildProcess& child);

// A loop device attached over a file (root only), detached again on destruction.
class LoopDevice {
  public:
    explicit LoopDevice(const std::string& backing);
    ~LoopDevice();
    LoopDevice(const LoopDevice&) = delete;
    LoopDevice& operator=(const LoopDevice&) = delete;
    // The device path, or "" when none could be attached (error() says why).
    const std::string& device() const { return device_; }
    const std::string& error() const { return error_; }

    static const char* const kLosetup;

  private:
    std::string device_;
    std::string error_;
};

}  // namespace testcommon

#endif  // TESTS_COMMON_TEST_COMMON_H
