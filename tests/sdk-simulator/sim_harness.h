// Test harness around the real hxa-simulator program: files of LUNs and images, starting and
// stopping the simulator as a child process, and the kit's raw protocol client (plain or TLS)
// that speaks the wire format directly, independent of the library.
#ifndef TESTS_SDK_SIMULATOR_SIM_HARNESS_H
#define TESTS_SDK_SIMULATOR_SIM_HARNESS_H

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "child_process.h"
#include "hxa_client.h"
#include "hxa_protocol.h"
#include "test_common.h"

namespace simtest {

using Bytes = std::vector<unsigned char>;
using testcommon::TempDir;

// Creates (or truncates) a file of `size` bytes filled with `data` repeated, or sparse
// (all zeros) when data is empty.
void make_file(const std::string& path, uint64_t size, const Bytes& data = {});
Bytes read_file(const std::string& path, uint64_t offset, uint64_t size);
void write_file(const std::string& path, uint64_t offset, const Bytes& data);

// Deterministic pseudo-random bytes.
inline Bytes pattern(size_t size, uint64_t seed) { return testcommon::pattern<Bytes>(size, seed); }

// The 32 lower-case hex digits of the LUN identifier made from `seed`.
inline std::string wwn_hex(unsigned seed) { return testcommon::wwn_hex(testcommon::wwn(seed)); }

// The simulator as a child process (the kit's launcher; killed and reaped when the object
// goes away). Standard error goes to a log file in `dir`.
class Simulator {
  public:
    explicit Simulator(const std::string& dir) : dir_(dir) {}
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Starts the program with `args` and waits for its "listening on ADDR:PORT" line.
    // Returns "" on success, otherwise what went wrong (with the log).
    std::string start(const std::vector<std::string>& args);
    uint16_t port() const { return port_; }
    // The SHA-256 fingerprint of the TLS certificate ("XX:XX:...", upper case) that the
    // simulator printed because --print-fingerprint was among the start arguments; empty
    // otherwise.
    const std::string& fingerprint() const { return fingerprint_; }
    pid_t pid() const { return child_.pid(); }
    // Sends `signal` and waits for the exit. Returns the exit status, or 128 + the signal
    // number when the process was killed by a signal.
    int stop(int signal = 15);
    // Everything the simulator wrote to standard error so far.
    std::string log() const;
    bool running() const { return child_.running(); }

  private:
    std::string dir_;
    std::string log_path_;
    zev_common::ChildProcess child_;
    uint16_t port_ = 0;
    std::string fingerprint_;
};

// Runs the simulator with `args` to completion (for command-line errors); returns the exit
// status and puts standard error into `err`.
int run_simulator(const std::vector<std::string>& args, std::string& err);

// Writes a self-signed certificate and key (PEM) for TLS tests; "" or the reason.
std::string write_certificate(const std::string& cert_path, const std::string& key_path);

// The raw protocol client (plain or TLS) of the kit.
using RawClient = zev_common::HxaClient;
using zev_common::kExchangeFailed;

// Reads a LUN-backed range by carrying out an address map on local LUN files the way the
// library does (holes read as zeros), and writes one. `lun_files` maps WWN hex to file.
struct LunFile {
    std::string wwn_hex;
    std::string path;
};
bool apply_read_map(const std::vector<vhd_Rec>& records, const std::vector<LunFile>& luns,
                    Bytes& out);
bool apply_write_map(const std::vector<vhd_Rec>& records, const std::vector<LunFile>& luns,
                     const Bytes& data);

// The command line of a simulator with a read-write and a read-only token that serves the
// image file `flat` as "/vm/flat" and the LUN-backed disk `san_disk` ("PATH=SIZE") on `luns`.
std::vector<std::string> simulator_args(const std::string& token, const std::string& reader,
                                        const std::string& flat, const std::vector<LunFile>& luns,
                                        const std::string& san_disk);

}  // namespace simtest

#endif  // TESTS_SDK_SIMULATOR_SIM_HARNESS_H
