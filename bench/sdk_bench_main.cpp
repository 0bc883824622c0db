// qv-sdk-bench: libquillonvarde_sdk against hxa-simulator on loopback, side by side with raw
// baselines of its own, in one run.
//
// The library is loaded as a host loads it (a log function that discards, a level object).
// The raw baselines speak the same protocol with the least possible work:
//  - LAN (plain TCP and TLS): the common kit's protocol client and a minimal server (this
//    program, started again with --raw-server) in the same request/reply pattern: 18-byte
//    header and payload, the read reply followed by its data, the write request followed by
//    its data, over the same kind of socket and, under TLS, the same cipher;
//  - SAN: the same address-map round trip to the simulator, then pread/pwrite over the
//    same extents on the LUN files.
// The programs alternate; every figure is the median of the runs with their spread.
//
//   qv-sdk-bench [--quick] [--dir DIR] [--run-mib N] [--reps N] [--calls N] [--run-seconds S]
//
// As root, the run happens in a private mount namespace: the work directory becomes a tmpfs
// and /dev/disk/by-id gets the LUN names the library opens in the SAN transport. Elsewhere
// the SAN cases are skipped with the reason.
//
// This file holds the command line, the set-up and the order of the runs; the cases are in
// sdk_bench_cases.cpp, the tables in sdk_bench_report.cpp.
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "Quillonvarde_sdk.h"
#include "bench_support.h"
#include "private_mounts.h"
#include "sdk_bench_cases.h"
#include "sdk_bench_report.h"

namespace sdk_bench {

void die(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::fputs("qv-sdk-bench: ", stderr);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
    zev_bench::stop_all_servers();
    std::exit(1);
}

}  // namespace sdk_bench

using namespace sdk_bench;

namespace {

struct Settings {
    bool quick = false;
    uint64_t region = 256 * kMiB;  // bytes one run moves (and the size of every disk)
    int reps = 5;
    int calls = 10000;
    uint64_t small_requests = 10000;   // cap for 4 KiB runs
    double run_seconds = 3;            // a run stops after this long (0: never)
    std::vector<std::string> profile;  // PROGRAM MODE OP BYTES: run that case once, alone
    std::vector<std::string> only;     // --mode: the modes to measure (empty: all)
    std::string dir;
    std::string simulator = QV_BENCH_SIMULATOR;
};

int g_failures = 0;

void fail(const std::string& what) {
    std::fprintf(stderr, "FAILED: %s\n", what.c_str());
    ++g_failures;
}

// A server that prints "listening on 127.0.0.1:PORT" when ready.
using Child = zev_bench::Server;

Child spawn(const std::vector<std::string>& args) {
    std::string error;
    Child c = zev_bench::start_server(args, error);
    if (c.pid < 0) die("%s", error.c_str());
    return c;
}

void make_file(const std::string& path, uint64_t size) {
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || ftruncate(fd, static_cast<off_t>(size)) != 0)
        die("%s: %s", path.c_str(), std::strerror(errno));
    close(fd);
}

// Reads the command line into `st`: -1 to go on, otherwise the status to end with. Started
// again as the baseline server (--raw-server IMAGE [--tls]), it serves and never returns.
int parse_settings(int argc, char** argv, Settings& st) {
    std::string served_image;
    bool served_tls = false;
    uint64_t run_mib = st.region / kMiB;
    CLI::App app{"libquillonvarde_sdk against hxa-simulator on loopback, beside raw baselines",
                 "qv-sdk-bench"};
    app.add_flag("--quick", st.quick,
                 "tiny data, one run per figure, every request checked, nothing timed");
    app.add_option("--dir", st.dir, "where the work directory goes (default /tmp)");
    CLI::Option* run_mib_option =
        app.add_option("--run-mib", run_mib, "MiB one run moves, and the size of every disk")
            ->capture_default_str();
    CLI::Option* reps_option =
        app.add_option("--reps", st.reps, "runs per figure")->capture_default_str();
    CLI::Option* calls_option =
        app.add_option("--calls", st.calls, "calls of the resident memory runs")
            ->capture_default_str();
    CLI::Option* seconds_option =
        app.add_option("--run-seconds", st.run_seconds, "a run stops after this long (0: never)")
            ->capture_default_str();
    app.add_option("--simulator", st.simulator, "the hxa-simulator to run")->capture_default_str();
    app.add_option("--mode", st.only, "measure only this mode (repeatable)")
        ->check(CLI::IsMember({"TCP", "TLS", "SAN"}));
    app.add_option("--profile", st.profile,
                   "one case alone: library|baseline TCP|TLS|SAN read|write BYTES")
        ->expected(4);
    // The baseline server: this program started again (hidden options).
    app.add_option("--raw-server", served_image)->group("");
    app.add_flag("--tls", served_tls)->group("");
    const int status = zev_bench::parse_command_line(app, argc, argv, 1);
    if (status >= 0) return status;
    if (!served_image.empty()) raw_server(served_image, served_tls);
    st.region = run_mib * kMiB;
    st.reps = std::max(1, st.reps);
    st.calls = std::max(2, st.calls);
    if (st.quick) {
        // Tiny data, one run each; options given beside --quick still count.
        if (run_mib_option->count() == 0) st.region = 8 * kMiB;
        if (reps_option->count() == 0) st.reps = 1;
        if (calls_option->count() == 0) st.calls = 200;
        if (seconds_option->count() == 0) st.run_seconds = 0;
        st.small_requests = 64;
    }
    if (st.region < 8 * kMiB) st.region = 8 * kMiB;
    return -1;
}

// The work directory with the disks, and the servers: the simulator in plain TCP (with the
// SAN disk when the SAN cases run) and in TLS, the baseline server in both.
struct Rig {
    std::string work;
    std::string san_skip;  // why the SAN cases are skipped, "" when they run
    std::vector<std::string> lun_files;
    Child sim_tcp, sim_tls, raw_tcp, raw_tls;

    // The library against the simulator; the baseline against its own server (SAN: the
    // same simulator, the LUN files directly).
    LibraryClient library(Mode mode) const {
        const Child& server = mode == Mode::kTls ? sim_tls : sim_tcp;
        return LibraryClient(mode, server.port, server.pid);
    }
    RawClient baseline(Mode mode) const {
        const Child& server = mode == Mode::kSan ? sim_tcp : mode == Mode::kTls ? raw_tls : raw_tcp;
        return RawClient(mode, server.port, server.pid, lun_files);
    }
};

// Work directory; as root a tmpfs of its own in a private mount namespace (`mounts`), with
// the LUN names under /dev/disk/by-id. Then the servers.
void set_up(const Settings& st, const std::string& self, zev_common::PrivateMounts& mounts,
            Rig& rig) {
    std::string base = st.dir.empty() ? "/tmp" : st.dir;
    rig.work = base + "/qv-sdk-bench-XXXXXX";
    if (mkdtemp(rig.work.data()) == nullptr)
        die("mkdtemp in %s: %s", base.c_str(), std::strerror(errno));
    std::string& san_skip = rig.san_skip;
    san_skip = mounts.empty_disk_by_id();
    if (san_skip.empty() && mount("tmpfs", rig.work.c_str(), "tmpfs", 0, "mode=0700") != 0)
        san_skip = std::string("tmpfs on the work directory: ") + std::strerror(errno);
    const std::string lan_image = rig.work + "/lan.img", raw_image = rig.work + "/raw.img";
    make_file(lan_image, st.region);
    make_file(raw_image, st.region);
    rig.lun_files = {rig.work + "/lun0.img", rig.work + "/lun1.img"};
    const uint64_t lun_size = 2 * kMiB + st.region / 2 + 2 * kMiB;
    if (san_skip.empty())
        for (int i = 0; i < 2; ++i)
            if (symlink(rig.lun_files[static_cast<size_t>(i)].c_str(),
                        ("/dev/disk/by-id/" + lun_name(i)).c_str()) != 0)
                san_skip = "symlink in /dev/disk/by-id: " + std::string(std::strerror(errno));

    std::vector<std::string> sim = {st.simulator, "--quiet",
                                    "--token",    kToken,
                                    "--disk",     std::string(kLanDisk) + "=" + lan_image};
    std::vector<std::string> sim_tcp_args = sim;
    if (san_skip.empty()) {
        for (int i = 0; i < 2; ++i) {
            sim_tcp_args.push_back("--lun");
            sim_tcp_args.push_back(std::string(kWwns[i]) + "=" +
                                   rig.lun_files[static_cast<size_t>(i)] + ":" +
                                   std::to_string(lun_size));
        }
        sim_tcp_args.push_back("--san-disk");
        sim_tcp_args.push_back(std::string(kSanDisk) + "=" + std::to_string(st.region) + ":" +
                               kWwns[0] + "," + kWwns[1]);
    }
    std::vector<std::string> sim_tls_args = sim;
    sim_tls_args.push_back("--tls");
    rig.sim_tcp = spawn(sim_tcp_args);
    rig.sim_tls = spawn(sim_tls_args);
    rig.raw_tcp = spawn({self, "--raw-server", raw_image});
    rig.raw_tls = spawn({self, "--raw-server", raw_image, "--tls"});
}

// One case alone, for system-call counts and instruction profiles of either side.
void run_profile(const Settings& st, const Rig& rig) {
    const auto& p = st.profile;
    Mode mode = p[1] == "TLS" ? Mode::kTls : p[1] == "SAN" ? Mode::kSan : Mode::kTcp;
    Op op = p[2] == "write" ? Op::kWrite : Op::kRead;
    uint64_t size = std::stoull(p[3]);
    if (size == 0 || size > 4 * kMiB || size % 8 || (mode == Mode::kSan && !rig.san_skip.empty()))
        die("--profile: bad case (request size 8 B to 4 MiB, SAN needs root)");
    LibraryClient lib = rig.library(mode);
    RawClient raw = rig.baseline(mode);
    Client& c = p[0] == "library" ? static_cast<Client&>(lib) : raw;
    std::vector<char> src(st.region), buf(size);
    Disk disk;
    uint64_t next_seed = 0;
    Sample s;
    bool ok = run_once(c, op, size, std::min(st.region / size, st.small_requests), 0, disk, src,
                       buf, false, s, next_seed);
    print_profile(p[0], mode, op, size, s, c.server());
    if (!ok) fail("the profiled case");
}

// The speed table: every request size, write then read, the library and the baseline in
// turn, `st.reps` rounds.
void run_speed(const Settings& st, const Rig& rig, const std::vector<Mode>& modes,
               std::vector<char>& src, std::vector<char>& buf) {
    const std::vector<uint64_t> sizes = {4 * kKiB, 64 * kKiB, kMiB, 4 * kMiB};
    Disk lib_lan, raw_lan, san;
    uint64_t next_seed = 0;
    print_speed_head();
    for (Mode mode : modes) {
        LibraryClient lib = rig.library(mode);
        RawClient raw = rig.baseline(mode);
        Disk& lib_disk = mode == Mode::kSan ? san : lib_lan;
        Disk& raw_disk = mode == Mode::kSan ? san : raw_lan;
        for (uint64_t size : sizes) {
            uint64_t count = st.region / size;
            if (size == 4 * kKiB) count = std::min(count, st.small_requests);
            std::vector<Sample> runs[2][2];  // [op][0 library, 1 baseline]
            for (int rep = 0; rep < st.reps; ++rep) {
                for (Op op : {Op::kWrite, Op::kRead}) {
                    for (int k = 0; k < 2; ++k) {
                        int who = (k + rep) % 2;  // alternate which program goes first
                        Client& c = who == 0 ? static_cast<Client&>(lib) : raw;
                        Sample s;
                        if (!run_once(c, op, size, count, st.run_seconds,
                                      who == 0 ? lib_disk : raw_disk, src, buf, st.quick, s,
                                      next_seed))
                            fail(std::string(who == 0 ? "library " : "baseline ") +
                                 mode_name(mode) + (op == Op::kRead ? " read " : " write ") +
                                 size_text(size) + ": a request failed or read wrong data");
                        else
                            runs[op == Op::kRead][who].push_back(s);
                    }
                }
            }
            for (Op op : {Op::kRead, Op::kWrite})
                if (!print_speed_row(mode, op, size, runs[op == Op::kRead][0],
                                     runs[op == Op::kRead][1]))
                    fail(std::string("no figure for ") + mode_name(mode) + " " + size_text(size));
        }
    }
}

// The resident-memory table: `st.calls` calls of each side in every mode.
void run_memory(const Settings& st, const Rig& rig, const std::vector<Mode>& modes,
                std::vector<char>& src) {
    print_memory_head(st.calls);
    for (Mode mode : modes) {
        LibraryClient lib = rig.library(mode);
        RawClient raw = rig.baseline(mode);
        for (int who = 0; who < 2; ++who) {
            Client& c = who == 0 ? static_cast<Client&>(lib) : raw;
            long early = -1, server = -1;
            long late = rss_after_calls(c, st.calls, st.calls / 10, early, server, src, st.region);
            if (late < 0 || early < 0) {
                fail(std::string("resident memory run ") + mode_name(mode));
                continue;
            }
            print_memory_row(who == 0, mode, early, late, server);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    // Found before anything changes the working directory, which a relative argv[0] needs.
    const std::string self = zev_bench::own_path(argv[0]);
    if (self.empty()) die("cannot find this program from its name %s", argv[0]);
    Settings st;
    const int status = parse_settings(argc, argv, st);
    if (status >= 0) return status;
    signal(SIGPIPE, SIG_IGN);
    zev_common::PrivateMounts mounts;
    Rig rig;
    set_up(st, self, mounts, rig);

    static BenchLevels levels;
    if (CQuillonvardeSDK::InitialSDK(discard_log, &levels, "", "", "") != 0)
        die("InitialSDK failed");

    char host[256] = {};
    gethostname(host, sizeof host - 1);
    std::printf("# qv-sdk-bench%s: %s, %d runs per figure, %s per run (4 KiB: %llu requests)\n",
                st.quick ? " --quick" : "", host, st.reps, size_text(st.region).c_str(),
                static_cast<unsigned long long>(st.small_requests));
    {
        zev_common::HxaClient probe;
        if (probe.connect(rig.sim_tls.port, true).empty())
            std::printf("# TLS cipher (simulator and baseline server alike): %s\n",
                        probe.cipher().c_str());
        probe.finish_tls();
        probe.close(true);
    }
    if (!rig.san_skip.empty()) std::printf("# SAN cases skipped: %s\n", rig.san_skip.c_str());

    if (!st.profile.empty()) run_profile(st, rig);
    std::vector<Mode> modes = {Mode::kTcp, Mode::kTls};
    if (rig.san_skip.empty()) modes.push_back(Mode::kSan);
    if (!st.profile.empty()) modes.clear();
    if (!st.only.empty())
        modes.erase(std::remove_if(modes.begin(), modes.end(),
                                   [&](Mode m) {
                                       return std::find(st.only.begin(), st.only.end(),
                                                        mode_name(m)) == st.only.end();
                                   }),
                    modes.end());
    // The source of every write and the destination of every read, allocated before the
    // runs: the host's resident memory includes them.
    std::vector<char> src(st.region), buf(4 * kMiB);
    if (!modes.empty()) {
        run_speed(st, rig, modes, src, buf);
        run_memory(st, rig, modes, src);
    }

    zev_bench::stop_all_servers();
    std::error_code ec;
    if (rig.san_skip.empty()) umount2(rig.work.c_str(), MNT_DETACH);
    std::filesystem::remove_all(rig.work, ec);
    if (g_failures) {
        std::printf("\n%d check(s) failed\n", g_failures);
        return 1;
    }
    std::printf("\nevery case produced a figure; all data read back equals the data written\n");
    return 0;
}
