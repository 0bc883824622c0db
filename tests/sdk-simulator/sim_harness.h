// Test harness around the real hxa-simulator program: files of LUNs and images, starting and
// stopping the simulator as a child process, and a raw protocol client (plain or TLS) that
// speaks the wire format directly, independent of the library.
#ifndef TESTS_SDK_SIMULATOR_SIM_HARNESS_H
#define TESTS_SDK_SIMULATOR_SIM_HARNESS_H

#include <openssl/ssl.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

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

// The simulator as a child process. Standard error goes to a log file in `dir`.
class Simulator {
  public:
    explicit Simulator(const std::string& dir) : dir_(dir) {}
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Starts the program with `args` and waits for its "listening on ADDR:PORT" line.
    // Returns "" on success, otherwise what went wrong (with the log).
    std::string start(const std::vector<std::string>& args);
    uint16_t port() const { return port_; }
    pid_t pid() const { return pid_; }
    // Sends `signal` and waits for the exit. Returns the exit status, or 128 + the signal
    // number when the process was killed by a signal.
    int stop(int signal = 15);
    // Everything the simulator wrote to standard error so far.
    std::string log() const;
    bool running() const { return pid_ > 0; }

  private:
    std::string dir_;
    std::string log_path_;
    pid_t pid_ = -1;
    uint16_t port_ = 0;
};

// Runs the simulator with `args` to completion (for command-line errors); returns the exit
// status and puts standard error into `err`.
int run_simulator(const std::vector<std::string>& args, std::string& err);

// Writes a self-signed certificate and key (PEM) for TLS tests; "" or the reason.
std::string write_certificate(const std::string& cert_path, const std::string& key_path);

// Raw protocol client.
class RawClient {
  public:
    RawClient() = default;
    ~RawClient();
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    // Connects to 127.0.0.1:port, with a TLS handshake when `tls`. "" or the reason.
    std::string connect(uint16_t port, bool tls = false);
    void close();

    bool send_bytes(const void* data, size_t size);
    bool recv_bytes(void* data, size_t size);
    // True when the peer has closed the connection (the next read yields end of stream).
    bool peer_closed();

    // A request header for `op` with `length` payload bytes, the next sequence number and a
    // correct checksum, followed by the payload.
    Bytes request(uint16_t op, const void* payload, uint32_t length);
    // Reads one reply: header and payload (refusing more than 64 MiB of payload).
    bool reply(hxa::MsgHeader& header, Bytes& payload);

    // One request and its reply; the reply must carry `op`. Results are protocol codes,
    // or 0xFFFF when the exchange itself failed.
    uint16_t open_lan(const std::string& path, const std::string& token, uint16_t mode,
                      uint32_t& handle);
    uint16_t open_san(const std::string& path, const std::string& token, uint32_t& handle);
    uint16_t close_disk(uint16_t op, uint32_t handle);
    uint16_t lan_read(uint32_t handle, uint64_t offset, uint32_t length, Bytes& data);
    uint16_t lan_write(uint32_t handle, uint64_t offset, const Bytes& data);
    uint16_t lan_zero(uint32_t handle, uint64_t offset, uint32_t length);
    uint16_t san_map(uint32_t handle, uint64_t offset, uint64_t length,
                     std::vector<vhd_Rec>& records);

    uint32_t next_seq = 0;

  private:
    // Sends an open request and reads its reply; stores the handle on success.
    uint16_t open_exchange(uint16_t op, const void* req, uint32_t size, uint32_t& handle);
    uint16_t transfer_reply(uint16_t op, uint32_t& count, Bytes* rest);

    int fd_ = -1;
    SSL_CTX* ctx_ = nullptr;
    SSL* ssl_ = nullptr;
};

constexpr uint16_t kExchangeFailed = 0xFFFF;

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
