// qv-disk-bench: what retries, dropped connections and the rate cap cost qv-disk, against
// hxa-simulator on loopback, each figure a ratio to a baseline measured in the same run:
//  - the good path: read and write with retries on (the default) against --retries 0, on a
//    simulator without faults;
//  - goodput: read and write on a simulator that cuts every connection after 64 MiB, against
//    the same transfer without faults, retrying at once (--retry-delay 0);
//  - the rate cap: the average rate of a read with --rate against the cap.
// Runs alternate within each repetition (backwards every other one), each after a sync(); the
// figures are medians. Timed reads go to /dev/null; a read through the drops into a file and the
// disk after the writes are compared with what they must hold.
//
//   qv-disk-bench --dir DIR [--size-mib 1024] [--reps 3] [--request-mib 4] [--connections 1]
//                 [--rate-mib 200] [--drop-mib 64] [--qv-disk PATH] [--simulator PATH] [--keep]
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "bench_support.h"

using namespace zev_bench;

namespace {

const char kToken[] = "bench-token";
const char kDisk[] = "/bench/disk";

// A deterministic image: every 8-byte word a function of the seed and its position.
bool make_pattern(const std::string& path, uint64_t size, uint64_t seed) {
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    std::vector<uint64_t> block(1 << 17);
    for (uint64_t at = 0; at < size; at += block.size() * 8) {
        for (size_t i = 0; i < block.size(); ++i) {
            uint64_t z = seed * 0x9E3779B97F4A7C15ull + at / 8 + i + 1;
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
            block[i] = z ^ (z >> 27);
        }
        size_t n = static_cast<size_t>(std::min<uint64_t>(block.size() * 8, size - at));
        if (fwrite(block.data(), 1, n, f) != n) {
            fclose(f);
            return false;
        }
    }
    return fclose(f) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    BenchOptions o;
    o.reps = 3;
    std::string qv = QV_BENCH_QV_DISK, simulator = QV_BENCH_SIMULATOR, request_mib = "4",
                connections = "1", rate_mib = "200", drop_mib = "64";
    CLI::App app{
        "What retries, dropped connections and the rate cap cost qv-disk, against "
        "hxa-simulator on loopback",
        "qv-disk-bench"};
    add_bench_options(app, o, false);
    app.add_option("--request-mib", request_mib, "qv-disk's request size in MiB")
        ->capture_default_str();
    app.add_option("--connections", connections, "qv-disk's connections")->capture_default_str();
    app.add_option("--rate-mib", rate_mib, "the rate cap in MiB/s")->capture_default_str();
    app.add_option("--drop-mib", drop_mib, "the faulty simulator cuts a connection after this")
        ->capture_default_str();
    app.add_option("--qv-disk", qv, "the qv-disk to measure")->capture_default_str();
    app.add_option("--simulator", simulator, "the hxa-simulator to run")->capture_default_str();
    const int status = parse_command_line(app, argc, argv, 2);
    if (status >= 0) return status;
    const uint64_t size = o.size_mib * kMiB;
    mkdir(o.dir.c_str(), 0755);
    const std::string disk = o.dir + "/disk.img", input = o.dir + "/input.img",
                      out = o.dir + "/out.img";
    fprintf(stderr, "making %zu MiB images in %s...\n", o.size_mib, o.dir.c_str());
    if (!make_pattern(disk, size, 1) || !make_pattern(input, size, 2)) {
        fprintf(stderr, "qv-disk-bench: cannot write the images in %s\n", o.dir.c_str());
        return 1;
    }
    print_machine();

    std::string error;
    const std::vector<std::string> sim = {simulator, "--quiet", "--token",
                                          kToken,    "--disk",  std::string(kDisk) + "=" + disk};
    std::vector<std::string> faulty_args = sim;
    faulty_args.insert(faulty_args.end(), {"--drop-after", drop_mib + "M"});
    Server clean = start_server(sim, error);
    Server faulty = clean.pid > 0 ? start_server(faulty_args, error) : Server();
    if (clean.pid < 0 || faulty.pid < 0) {
        fprintf(stderr, "qv-disk-bench: %s\n", error.c_str());
        stop_all_servers();
        return 1;
    }
    setenv("QV_TOKEN", kToken, 1);

    struct Case {
        const char* name;
        bool read;
        const Server* server;
        std::vector<std::string> extra;
    };
    const std::vector<Case> cases = {
        {"write, retries on", false, &clean, {}},
        {"write, --retries 0", false, &clean, {"--retries", "0"}},
        {"write, drops", false, &faulty, {"--retry-delay", "0"}},
        {"read, retries on", true, &clean, {}},
        {"read, --retries 0", true, &clean, {"--retries", "0"}},
        {"read, drops", true, &faulty, {"--retry-delay", "0"}},
        {"read, --rate", true, &clean, {"--rate", rate_mib + "M"}},
    };
    std::map<std::string, std::vector<double>> seconds;
    int failures = 0;
    for (int rep = 0; rep < o.reps; ++rep) {
        // Every other repetition runs the cases backwards, so that no case always follows
        // the same one (the first read after the writes runs a little slower).
        for (size_t k = 0; k < cases.size(); ++k) {
            const Case& c = cases[rep % 2 == 0 ? k : cases.size() - 1 - k];
            std::vector<std::string> args = {qv,
                                             c.read ? "read" : "write",
                                             "--server",
                                             "127.0.0.1:" + std::to_string(c.server->port),
                                             "--disk",
                                             kDisk,
                                             "--request-size",
                                             request_mib + "M",
                                             "--connections",
                                             connections,
                                             "--progress",
                                             "none"};
            // Timed reads go to /dev/null, written in place: a local file's write-back and the
            // release of the copy it replaces vary by seconds from run to run on a virtual
            // disk and would hide what is measured here.
            if (c.read)
                args.insert(args.end(), {"--size", std::to_string(size), "-o", "/dev/null"});
            else
                args.insert(args.end(), {"-i", input});
            args.insert(args.end(), c.extra.begin(), c.extra.end());
            // Each run starts with nothing dirty in the page cache, so that none pays for the
            // write-back of the one before.
            sync();
            ChildRun r = run_child(args, true);
            if (r.status != 0) {
                fprintf(stderr, "qv-disk-bench: %s failed (status %d)\n", c.name, r.status);
                ++failures;
                continue;
            }
            seconds[c.name].push_back(r.seconds);
            fprintf(stderr, "%s: %.3f s\n", c.name, r.seconds);
        }
    }
    // Untimed: a read through the drops into a file holds what the disk holds.
    ChildRun check = run_child(
        {qv, "read", "--server", "127.0.0.1:" + std::to_string(faulty.port), "--disk", kDisk,
         "--size", std::to_string(size), "--request-size", request_mib + "M", "--connections",
         connections, "--progress", "none", "--retry-delay", "0", "-o", out},
        true);
    if (check.status != 0 || !same_files(out, input)) {
        fprintf(stderr, "qv-disk-bench: a read through the drops differs from the disk\n");
        ++failures;
    }
    if (!same_files(disk, input)) {
        fprintf(stderr, "qv-disk-bench: the disk differs from what was written\n");
        ++failures;
    }
    stop_server(clean);
    stop_server(faulty);
    print_load("load average at the end");

    auto mibs = [&](const char* name) {
        double s = median(seconds[name]);
        return s > 0 ? o.size_mib / s : 0.0;
    };
    printf("\n%zu MiB, requests of %s MiB, %s connection(s), median of %d runs\n\n", o.size_mib,
           request_mib.c_str(), connections.c_str(), o.reps);
    printf("| case | MiB/s | against | ratio |\n|---|---|---|---|\n");
    const char* rows[][2] = {{"read, retries on", "read, --retries 0"},
                             {"write, retries on", "write, --retries 0"},
                             {"read, drops", "read, retries on"},
                             {"write, drops", "write, retries on"}};
    for (const auto& row : rows)
        printf("| %s | %.0f | %s (%.0f MiB/s) | %.3f |\n", row[0], mibs(row[0]), row[1],
               mibs(row[1]), mibs(row[1]) > 0 ? mibs(row[0]) / mibs(row[1]) : 0.0);
    const double cap = atof(rate_mib.c_str());
    printf("| read, --rate %s M | %.1f | the cap (%.0f MiB/s) | %.3f |\n", rate_mib.c_str(),
           mibs("read, --rate"), cap, cap > 0 ? mibs("read, --rate") / cap : 0.0);
    if (!o.keep) {
        unlink(disk.c_str());
        unlink(input.c_str());
        unlink(out.c_str());
        rmdir(o.dir.c_str());
    }
    if (failures != 0) {
        printf("\n%d check(s) failed\n", failures);
        return 1;
    }
    printf("\nevery transfer succeeded; every output and the disk hold what they must\n");
    return 0;
}
