// Command line of the HXA service simulator.
#ifndef HXA_SIMULATOR_OPTIONS_H
#define HXA_SIMULATOR_OPTIONS_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim_log.h"

namespace hxasim {

struct TokenSpec {
    std::string token;
    bool writable = true;
};

// A disk served from one flat image file (LAN transport only).
struct FlatDiskSpec {
    std::string path;          // the disk path as clients name it
    std::string image;         // local image file
    uint64_t create_size = 0;  // nonzero: create or extend the file (sparse) to this size
};

// A LUN: 16-byte identifier (32 hex digits) and the local file or device that holds it.
struct LunSpec {
    std::string wwn_hex;       // 32 lower-case hexadecimal digits
    std::string file;          // backing file or block device
    uint64_t create_size = 0;  // nonzero: create or extend the file (sparse) to this size
};

// A sparse disk whose storage is allocated in chunks on one or more LUNs (both transports).
struct LunDiskSpec {
    std::string path;
    uint64_t size = 0;
    std::vector<std::string> wwns;  // lower-case, in allocation (round-robin) order
};

// How a connection that reached its --drop-after limit ends: kClose shuts it down (the peer
// sees the end of the stream), kReset aborts it (the peer sees a reset).
enum class DropMode { kClose, kReset };

// Faults injected on demand. Everything a connection does wrong follows from the seed and
// the connection's number, never from timing.
struct FaultSettings {
    uint64_t seed = 1;
    uint64_t drop_after = 0;  // bytes a connection moves before it is cut; 0: never cut
    uint64_t drop_jitter = 0;
    DropMode drop_mode = DropMode::kClose;
    double io_error_rate = 0;  // share of transfers answered with an I/O failure
    double reply_delay_ms = 0;
    std::optional<uint64_t> stall_after;  // requests answered before a connection stalls
    uint64_t fault_limit = 0;             // most faults over all connections; 0: no limit
};

struct Options {
    std::string address = "127.0.0.1";
    uint16_t port = 0;
    bool tls = false;
    std::string cert_file;
    std::string key_file;
    bool print_fingerprint = false;  // print the certificate's SHA-256 fingerprint at start
    std::vector<TokenSpec> tokens;
    std::vector<FlatDiskSpec> flat_disks;
    std::vector<LunSpec> luns;
    std::vector<LunDiskSpec> lun_disks;
    uint64_t chunk_size = 1 << 20;
    uint32_t max_extents = 65536;
    unsigned max_connections = 64;
    Verbosity verbosity = Verbosity::kNormal;
    bool strict_headers = true;
    FaultSettings faults;
    bool help = false;
    bool version = false;
};

// Parses argv; on failure returns false with the reason in `error`. --help sets `help`,
// --version `version`.
bool parse_options(int argc, char** argv, Options& out, std::string& error);

// Why the simulator cannot start with these options because a flat image or a LUN file that
// is not to be created (no SIZE given) does not exist; "" when every one does.
std::string missing_files(const Options& o);

// True for exactly 32 hexadecimal digits; stores them in lower case.
bool parse_wwn(const std::string& text, std::string& lower_hex);

// The help text of --help, and the line of --version.
std::string usage_text();
std::string version_text();

}  // namespace hxasim

#endif  // HXA_SIMULATOR_OPTIONS_H
