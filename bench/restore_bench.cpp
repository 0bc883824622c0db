// qv-restore-bench: what the restores that write only what differs cost, each figure a ratio to
// a baseline measured in the same run:
//  - rollback: qv-disk write --only-changed of last night's image onto a disk (a flat image
//    served by hxa-simulator on loopback) of which a share of the blocks (2% by default)
//    changed since, against qv-disk read --sha256 -o /dev/null of the same disk over the same
//    connections, and beside them a full qv-disk write of the same image. The bytes each sent
//    are counted at the simulator (every byte it received, requests included) against the
//    bytes of the changed blocks.
//  - chain: zev-block-merge of seven daily streams (each changing a share of the blocks,
//    overlapping with the day before) against zev-block-apply --check of the same seven
//    streams one after another, and against applying them one by one to a copy of the base;
//    the merge's peak memory is reported.
// Runs alternate within each repetition (backwards every other one), each after a sync(); the
// figures are medians. Untimed checks: after every rollback and full write the disk equals the
// image; the merged stream applied once to the base gives the last day's image.
//
//   qv-restore-bench --dir DIR [--size-mib 1024] [--block-size 65536] [--reps 3]
//                    [--changed-pct 2] [--connections 4] [--request-mib 4] [--days 7]
//                    [--qv-disk PATH] [--simulator PATH] [--diff-tool PATH] [--apply PATH]
//                    [--merge PATH] [--keep]
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "bench_support.h"

using namespace zev_bench;

namespace {

const char kToken[] = "bench-token";
const char kDisk[] = "/bench/disk";

// Copies `from` over `to` (the disk's damaged state before each run that restores it).
bool copy_file(const std::string& from, const std::string& to) {
    const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    const int out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = in >= 0 && out >= 0;
    std::vector<char> buf(8 * kMiB);
    for (ssize_t n; ok && (n = read(in, buf.data(), buf.size())) != 0;)
        ok = n > 0 && write(out, buf.data(), static_cast<size_t>(n)) == n;
    if (in >= 0) close(in);
    if (out >= 0 && close(out) != 0) ok = false;
    return ok;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Every byte the simulator received, from the line it logs when it stops; 0 when absent.
uint64_t received_at_simulator(const std::string& log) {
    const size_t at = log.find("bytes on the connections: ");
    unsigned long long in = 0;
    if (at == std::string::npos ||
        sscanf(log.c_str() + at, "bytes on the connections: %llu received", &in) != 1)
        return 0;
    return in;
}

// The blocks each day changes: half of them among the day before's, half anywhere.
std::vector<std::vector<uint64_t>> daily_changes(uint64_t blocks, uint64_t count, int days) {
    std::vector<std::vector<uint64_t>> changes;
    for (int d = 0; d < days; ++d) {
        std::vector<uint64_t> today = pick_blocks(blocks, count, 100 + d);
        if (d > 0) {
            const std::vector<uint64_t>& before = changes.back();
            for (size_t i = 0; i < today.size() && i < before.size(); i += 2) today[i] = before[i];
            std::sort(today.begin(), today.end());
            today.erase(std::unique(today.begin(), today.end()), today.end());
        }
        changes.push_back(today);
    }
    return changes;
}

struct Figures {
    std::map<std::string, std::vector<double>> seconds, cpu;
    std::map<std::string, uint64_t> bytes;
    void add(const std::string& name, const ChildRun& r) {
        seconds[name].push_back(r.seconds);
        cpu[name].push_back(r.cpu);
        fprintf(stderr, "%s: %.3f s (CPU %.3f s)\n", name.c_str(), r.seconds, r.cpu);
    }
    double s(const std::string& name) { return median(seconds[name]); }
    std::string cell(const std::string& name) {
        char text[96];
        snprintf(text, sizeof text, "%.2f s (CPU %.2f s)", s(name), median(cpu[name]));
        return text;
    }
};

}  // namespace

int main(int argc, char** argv) {
    BenchOptions o;
    o.reps = 3;
    std::string qv = QV_BENCH_QV_DISK, simulator = QV_BENCH_SIMULATOR,
                diff_tool = QV_BENCH_DIFF_TOOL, apply = QV_BENCH_APPLY, merge = QV_BENCH_MERGE,
                changed_pct = "2", connections = "4", request_mib = "4";
    int days = 7;
    CLI::App app{
        "What restores that write only what differs cost: a rollback with qv-disk and "
        "a merge of a chain of streams",
        "qv-restore-bench"};
    add_bench_options(app, o);
    add_changed_pct_option(app, changed_pct);
    app.add_option("--connections", connections, "qv-disk's connections")->capture_default_str();
    app.add_option("--request-mib", request_mib, "qv-disk's request size in MiB")
        ->capture_default_str();
    app.add_option("--days", days, "daily streams of the chain")
        ->check(CLI::Range(1, 60))
        ->capture_default_str();
    app.add_option("--qv-disk", qv, "the qv-disk to measure")->capture_default_str();
    app.add_option("--simulator", simulator, "the hxa-simulator to run")->capture_default_str();
    app.add_option("--diff-tool", diff_tool, "the zev-block-diff-tool that makes the streams")
        ->capture_default_str();
    app.add_option("--apply", apply, "the zev-block-apply to compare with")->capture_default_str();
    app.add_option("--merge", merge, "the zev-block-merge to measure")->capture_default_str();
    const int status = parse_command_line(app, argc, argv, 2);
    if (status >= 0) return status;

    const uint64_t size = o.size_mib * kMiB, block = o.block;
    const uint64_t blocks = (size + block - 1) / block;
    const uint64_t count = changed_block_count(blocks, changed_pct);
    mkdir(o.dir.c_str(), 0755);
    const std::string dir = o.dir + "/";
    std::vector<std::string> made;
    auto path = [&](const std::string& name) {
        const std::string p = dir + name;
        if (std::find(made.begin(), made.end(), p) == made.end()) made.push_back(p);
        return p;
    };
    int failures = 0;
    auto fail = [&](const std::string& what) {
        fprintf(stderr, "qv-restore-bench: %s\n", what.c_str());
        ++failures;
    };
    Figures f;

    // ---- Rollback ----
    const std::string backup = path("backup.img"), damaged = path("damaged.img"),
                      disk = path("disk.img"), sim_log = path("simulator.log");
    fprintf(stderr, "making two %zu MiB images in %s (%llu of %llu blocks differ)...\n", o.size_mib,
            o.dir.c_str(), static_cast<unsigned long long>(count),
            static_cast<unsigned long long>(blocks));
    if (!make_image_chain({backup, damaged}, size, block, {pick_blocks(blocks, count, 7)})) {
        fprintf(stderr, "qv-restore-bench: cannot write the images in %s\n", o.dir.c_str());
        return 1;
    }
    print_machine();
    setenv("QV_TOKEN", kToken, 1);
    const std::string request = std::to_string(strtoull(request_mib.c_str(), nullptr, 10) * kMiB);
    enum Kind { kRollback, kRead, kFull };
    const char* const names[] = {"rollback", "read --sha256", "full write"};
    for (int rep = 0; rep < o.reps; ++rep) {
        for (int k = 0; k < 3; ++k) {
            const Kind kind = static_cast<Kind>(rep % 2 == 0 ? k : 2 - k);
            // The disk as it is before the restore: damaged since the backup.
            if (!copy_file(damaged, disk)) {
                fail("cannot copy the damaged image to " + disk);
                continue;
            }
            sync();
            std::string error;
            Server server = start_server(
                {simulator, "--token", kToken, "--disk", std::string(kDisk) + "=" + disk}, error,
                sim_log);
            if (server.pid < 0) {
                fail(error);
                break;
            }
            std::vector<std::string> a = {qv,
                                          kind == kRead ? "read" : "write",
                                          "--server",
                                          "127.0.0.1:" + std::to_string(server.port),
                                          "--disk",
                                          kDisk,
                                          "--connections",
                                          connections,
                                          "--request-size",
                                          request,
                                          "--progress",
                                          "none"};
            if (kind == kRead)
                a.insert(a.end(), {"--size", std::to_string(size), "--sha256", "-o", "/dev/null"});
            else
                a.insert(a.end(), {"-i", backup});
            if (kind == kRollback)
                a.insert(a.end(), {"--only-changed", "--block-size", std::to_string(block)});
            const ChildRun r = run_child(a, false);
            stop_server(server);
            if (r.status != 0) {
                fail(std::string(names[kind]) + " failed (status " + std::to_string(r.status) +
                     ")");
                continue;
            }
            f.add(names[kind], r);
            f.bytes[names[kind]] = received_at_simulator(slurp(sim_log));
            if (kind != kRead && !same_files(disk, backup))
                fail(std::string("after the ") + names[kind] + " the disk differs from the image");
        }
    }
    unlink(disk.c_str());
    unlink(damaged.c_str());

    // ---- Chain ----
    std::vector<std::string> images = {backup};
    std::vector<std::string> streams;
    for (int d = 1; d <= days; ++d) images.push_back(path("day" + std::to_string(d) + ".img"));
    const std::vector<std::vector<uint64_t>> changes = daily_changes(blocks, count, days);
    fprintf(stderr, "making %d daily images and their streams...\n", days);
    if (!make_image_chain(images, size, block, changes)) {
        fail("cannot write the daily images");
        days = 0;
    }
    for (int d = 1; d <= days; ++d) {
        streams.push_back(path("day" + std::to_string(d) + ".jsonl"));
        const ChildRun r =
            run_child({diff_tool, images[d - 1], images[d], "--block-size", std::to_string(block)},
                      false, false, false, "", streams.back());
        if (r.status != 0) fail("the diff tool failed for day " + std::to_string(d));
        if (d > 1) unlink(images[d - 1].c_str());
    }
    const std::string last = images.back(), merged = path("merged.jsonl"),
                      copy = path("restored.img");
    long merge_kib = 0;
    const char* const chain_names[] = {"merge", "apply --check, each stream",
                                       "apply to a copy, each stream"};
    for (int rep = 0; rep < o.reps && days > 0; ++rep) {
        for (int k = 0; k < 3; ++k) {
            const int which = rep % 2 == 0 ? k : 2 - k;
            if (which == 2 && !copy_file(backup, copy)) fail("cannot copy the base image");
            sync();
            ChildRun total;
            total.status = 0;
            if (which == 0) {
                std::vector<std::string> a = {merge};
                a.insert(a.end(), streams.begin(), streams.end());
                a.insert(a.end(), {"-o", merged});
                total = run_child(a, false);
                merge_kib = std::max(merge_kib, total.max_rss_kib);
            }
            for (size_t d = 0; which != 0 && d < streams.size() && total.status == 0; ++d) {
                std::vector<std::string> a = {apply, which == 1 ? backup : copy, "--input",
                                              streams[d]};
                if (which == 1) a.push_back("--check");
                const ChildRun r = run_child(a, false);
                total.seconds += r.seconds;
                total.cpu += r.cpu;
                total.status = r.status;
            }
            if (total.status != 0) {
                fail(std::string(chain_names[which]) + " failed");
                continue;
            }
            f.add(chain_names[which], total);
        }
    }
    // Untimed: the merged stream applied once to the base gives the last day.
    if (days > 0) {
        f.bytes["merged"] = file_size(merged);
        if (!copy_file(backup, copy)) fail("cannot copy the base image");
        const ChildRun once = run_child({apply, copy, "--input", merged}, false);
        f.add("apply of the merged stream", once);
        if (once.status != 0 || !same_files(copy, last))
            fail("the merged stream applied to the base does not give the last day's image");
    }
    print_load("load average at the end");

    // ---- The report ----
    const uint64_t changed_bytes = count * block;
    printf(
        "\n%zu MiB disk, blocks of %llu bytes, %llu of %llu changed (%s%%), requests of %s MiB, "
        "%s connection(s), median of %d runs\n\n",
        o.size_mib, static_cast<unsigned long long>(block), static_cast<unsigned long long>(count),
        static_cast<unsigned long long>(blocks), changed_pct.c_str(), request_mib.c_str(),
        connections.c_str(), o.reps);
    printf(
        "| case | time | bytes sent to the service | ratio to the changed blocks |\n"
        "|---|---|---|---|\n");
    for (const char* name : names)
        printf("| `%s` | %s | %llu | %.4f |\n", name, f.cell(name).c_str(),
               static_cast<unsigned long long>(f.bytes[name]),
               static_cast<double>(f.bytes[name]) / static_cast<double>(changed_bytes));
    printf("| ratio rollback / read --sha256 (time) | %.3f | | |\n",
           f.s("read --sha256") > 0 ? f.s("rollback") / f.s("read --sha256") : 0.0);
    printf("| ratio rollback / full write (time) | %.3f | | |\n",
           f.s("full write") > 0 ? f.s("rollback") / f.s("full write") : 0.0);
    if (days > 0) {
        printf(
            "\n%d daily streams, each changing %llu blocks (half of them changed the day "
            "before too); merged stream of %llu bytes\n\n",
            days, static_cast<unsigned long long>(count),
            static_cast<unsigned long long>(f.bytes["merged"]));
        printf("| case | time | ratio to the merge |\n|---|---|---|\n");
        for (const char* name : chain_names)
            printf("| `%s` | %s | %.2f |\n", name, f.cell(name).c_str(),
                   f.s("merge") > 0 ? f.s(name) / f.s("merge") : 0.0);
        printf("| `apply of the merged stream` (once, untimed check) | %s | |\n",
               f.cell("apply of the merged stream").c_str());
        printf("\npeak memory of the merge: %ld KiB\n", merge_kib);
    }
    if (!o.keep) {
        for (const std::string& p : made) unlink(p.c_str());
        rmdir(o.dir.c_str());
    }
    if (failures != 0) {
        printf("\n%d check(s) failed\n", failures);
        return 1;
    }
    printf("\nevery command succeeded; every restore gave the image it restores\n");
    return 0;
}
