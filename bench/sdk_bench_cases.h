// The cases of qv-sdk-bench: the library as a host loads it and the raw baselines, each a
// Client that opens its disk and moves one request at a time; the baseline server; one timed
// run over the disk and the resident-memory run.
#ifndef ZEV_BENCH_SDK_BENCH_CASES_H
#define ZEV_BENCH_SDK_BENCH_CASES_H

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "Quillonvarde_sdk.h"
#include "host_levels.h"
#include "hxa_client.h"

namespace sdk_bench {

constexpr uint64_t kKiB = 1024, kMiB = 1024 * 1024;
constexpr const char* kToken = "bench-token";
constexpr const char* kLanDisk = "/bench/lan0";
constexpr const char* kSanDisk = "/bench/san0";
constexpr const char* kWwns[2] = {"6000c29a1b2c3d4e5f60718293a4b5c6",
                                  "6000c29a1b2c3d4e5f60718293a4b5c7"};

// Prints "qv-sdk-bench: " and the message, stops every server and ends with status 1.
[[noreturn]] void die(const char* format, ...) __attribute__((format(printf, 1, 2)));

enum class Mode { kTcp, kTls, kSan };
enum class Op { kRead, kWrite };
const char* mode_name(Mode m);
// The name of LUN `i` under /dev/disk/by-id.
std::string lun_name(int i);

// The library's log function and level object as a host hands them to InitialSDK: the log
// function discards every message.
void discard_log(int level, const char* format, ...);
using BenchLevels = zev_common::HostLevels;

// The baseline server: this program started again with --raw-server IMAGE [--tls]. Serves
// one connection at a time with one open disk, the image file; never returns.
[[noreturn]] void raw_server(const std::string& image, bool tls);

// One side of a measurement: opens its disk and moves one request at a time.
class Client {
  public:
    virtual ~Client() = default;
    virtual bool open() = 0;
    virtual bool transfer(Op op, uint64_t offset, uint64_t size, char* buf) = 0;
    virtual void close() = 0;
    virtual pid_t server() const = 0;
};

// The library against the simulator.
class LibraryClient : public Client {
  public:
    LibraryClient(Mode mode, uint16_t port, pid_t server)
        : mode_(mode), port_(port), pid_(server) {}
    ~LibraryClient() override { close(); }
    bool open() override;
    bool transfer(Op op, uint64_t offset, uint64_t size, char* buf) override;
    void close() override;
    pid_t server() const override { return pid_; }

  private:
    Mode mode_;
    uint16_t port_;
    pid_t pid_;
    CQuillonvardeSDK* sdk_ = nullptr;
    unsigned handle_ = 0;
};

// The raw baseline: the protocol client of the common kit against the baseline server (LAN),
// or against the simulator for the address maps with pread/pwrite on the LUN files (SAN).
class RawClient : public Client {
  public:
    RawClient(Mode mode, uint16_t port, pid_t server, std::vector<std::string> lun_files);
    ~RawClient() override { close(); }
    bool open() override;
    bool transfer(Op op, uint64_t offset, uint64_t size, char* buf) override;
    void close() override;
    pid_t server() const override { return pid_; }

  private:
    bool san_transfer(Op op, uint64_t offset, uint64_t size, char* buf);

    Mode mode_;
    uint16_t port_;
    pid_t pid_;
    std::vector<std::string> lun_files_;
    std::vector<int> lun_fds_;
    zev_common::HxaClient conn_;
    uint32_t handle_ = 0;
    std::vector<vhd_Rec> map_;
    unsigned char wwns_[2][16] = {};
};

// The figures of one run.
struct Sample {
    double seconds = 0, host_cpu = 0, server_cpu = 0;
    uint64_t requests = 0;
};

// What a disk holds: the pattern of the last write over the bytes it covered.
struct Disk {
    uint64_t seed = 0;     // pattern of the last write
    uint64_t written = 0;  // bytes from the start that the last write covered
};

// One run: open, up to `count` requests over the region in order (fewer when the time
// budget ends it), close. A write fills `src` with a fresh pattern (seed `++next_seed`);
// reads check the last request against the data that the last write covered, every request
// with `check_all`.
bool run_once(Client& c, Op op, uint64_t size, uint64_t count, double budget, Disk& disk,
              std::vector<char>& src, std::vector<char>& buf, bool check_all, Sample& s,
              uint64_t& next_seed);

// `calls` requests of 64 KiB, write and read in turn, over the first `region` bytes of `src`:
// the host's resident memory (KiB) after the last call, `early` after `sample_at` calls and
// `server_late` the server's at the end. -1 when a call fails.
long rss_after_calls(Client& c, int calls, int sample_at, long& early, long& server_late,
                     std::vector<char>& src, uint64_t region);

}  // namespace sdk_bench

#endif
