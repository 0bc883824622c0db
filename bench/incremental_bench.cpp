// qv-incremental-bench: what an incremental backup through block manifests costs and saves,
// against hxa-simulator on loopback, each figure a ratio to a baseline measured in the same run:
//  - speed: qv-disk diff against the last backup's manifest, its stream to /dev/null and, as a
//    backup takes it, to a file with the disk's new manifest beside it, against qv-disk read
//    --sha256 -o /dev/null over the same connections and request size, on a disk (a flat
//    image) with a share of its blocks (2% by default) changed at scattered places;
//  - for context, the path without manifests: qv-disk read -o new.img, then zev-block-diff-tool
//    old.img new.img > stream; and the bytes each path writes and reads on the backup node;
//  - zev-block-manifest of an image in the page cache (every core, and --threads 1) against
//    the single-core SHA-256 rate of openssl speed.
// Runs alternate within each repetition (backwards every other one), each after a sync(); the
// figures are medians. Untimed checks: every stream of qv-disk diff equals the diff tool's byte
// for byte and holds one change record per changed block, and the manifests written by qv-disk
// read, qv-disk diff and zev-block-manifest of the same image are the same bytes.
//
//   qv-incremental-bench --dir DIR [--size-mib 1024] [--block-size 65536] [--reps 5]
//                        [--changed-pct 2] [--connections 1,4] [--request-mib 4]
//                        [--sha-seconds 3] [--qv-disk PATH] [--simulator PATH]
//                        [--diff-tool PATH] [--manifest-tool PATH] [--openssl PATH] [--keep]
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "bench_support.h"

using namespace zev_bench;

namespace {

const char kToken[] = "bench-token";
const char kDisk[] = "/bench/disk";  // the disk now
const char kOld[] = "/bench/old";    // the same disk at the last backup

// The change records of a stream: its lines that carry data (heartbeats and the final record
// carry none).
uint64_t change_records(const std::string& path) {
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) return 0;
    uint64_t records = 0;
    std::string line;
    for (int c; (c = fgetc(f)) != EOF;) {
        if (c != '\n') {
            if (line.size() < 128) line.push_back(static_cast<char>(c));
            continue;
        }
        if (line.find("\"data\":\"\"") == std::string::npos) ++records;
        line.clear();
    }
    fclose(f);
    return records;
}

// The single-core SHA-256 rate in bytes per second from the table of `openssl speed -evp
// sha256 -bytes 65536`: the "sha256" row, in the column of the header's 65536, in 1000s of
// bytes per second. 0 when the table has no such cell.
double parse_openssl_rate(const std::string& table) {
    std::istringstream lines(table);
    std::string line;
    int column = -1;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::vector<std::string> w;
        for (std::string word; words >> word;) w.push_back(word);
        if (w.empty()) continue;
        if (w[0] == "type") {
            // "type  16 bytes  65536 bytes ...": numbers and the word "bytes" in turn.
            int k = 0;
            for (size_t i = 1; i < w.size(); ++i) {
                if (w[i] == "bytes") continue;
                if (w[i] == "65536") column = k;
                ++k;
            }
        } else if (column >= 0 && strcasecmp(w[0].c_str(), "sha256") == 0 &&
                   static_cast<size_t>(column) + 1 < w.size()) {
            char* end = nullptr;
            const double k = strtod(w[column + 1].c_str(), &end);
            if (end != w[column + 1].c_str() && *end == 'k' && k > 0) return k * 1000;
        }
    }
    return 0;
}

std::vector<std::string> split_list(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string item; std::getline(in, item, ',');)
        if (!item.empty()) out.push_back(item);
    return out;
}

std::string mib_text(uint64_t bytes) {
    char text[64];
    snprintf(text, sizeof text, "%.2f MiB", static_cast<double>(bytes) / kMiB);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    BenchOptions o;
    o.reps = 5;
    std::string qv = QV_BENCH_QV_DISK, simulator = QV_BENCH_SIMULATOR,
                diff_tool = QV_BENCH_DIFF_TOOL, manifest_tool = QV_BENCH_MANIFEST_TOOL,
                openssl = "openssl", changed_pct = "2", connection_list = "1,4", request_mib = "4",
                sha_seconds = "3";
    CLI::App app{
        "What an incremental backup through block manifests costs and saves, against "
        "hxa-simulator on loopback",
        "qv-incremental-bench"};
    add_bench_options(app, o);
    add_changed_pct_option(app, changed_pct);
    app.add_option("--connections", connection_list, "qv-disk's connections, a comma list")
        ->check(
            [](const std::string& text) {
                return split_list(text).empty() ? "no connection count" : std::string();
            },
            "LIST")
        ->capture_default_str();
    app.add_option("--request-mib", request_mib, "qv-disk's request size in MiB")
        ->capture_default_str();
    app.add_option("--sha-seconds", sha_seconds, "seconds of openssl speed sha256")
        ->capture_default_str();
    app.add_option("--qv-disk", qv, "the qv-disk to measure")->capture_default_str();
    app.add_option("--simulator", simulator, "the hxa-simulator to run")->capture_default_str();
    app.add_option("--diff-tool", diff_tool, "the zev-block-diff-tool to run")
        ->capture_default_str();
    app.add_option("--manifest-tool", manifest_tool, "the zev-block-manifest to measure")
        ->capture_default_str();
    app.add_option("--openssl", openssl, "the openssl to compare with")->capture_default_str();
    const int status = parse_command_line(app, argc, argv, 2);
    if (status >= 0) return status;
    const std::vector<std::string> conns = split_list(connection_list);
    if (openssl.find('/') == std::string::npos) openssl = own_path(openssl.c_str());
    if (openssl.empty()) {
        fprintf(stderr, "qv-incremental-bench: openssl is not on PATH (give --openssl PATH)\n");
        return 1;
    }
    const uint64_t size = o.size_mib * kMiB, block = o.block;
    const uint64_t blocks = (size + block - 1) / block;
    const uint64_t count = changed_block_count(blocks, changed_pct);
    const std::vector<uint64_t> changed = pick_blocks(blocks, count, 7);

    mkdir(o.dir.c_str(), 0755);
    const std::string dir = o.dir + "/";
    const std::string old_img = dir + "old.img", disk_img = dir + "disk.img",
                      new_img = dir + "new.img", old_manifest = dir + "old.manifest";
    std::vector<std::string> made = {old_img, disk_img, new_img, old_manifest};
    auto path = [&](const std::string& name) {
        const std::string p = dir + name;
        if (std::find(made.begin(), made.end(), p) == made.end()) made.push_back(p);
        return p;
    };
    fprintf(stderr, "making two %zu MiB images in %s (%llu of %llu blocks differ)...\n", o.size_mib,
            o.dir.c_str(), static_cast<unsigned long long>(count),
            static_cast<unsigned long long>(blocks));
    if (!make_image_chain({old_img, disk_img}, size, block, {changed})) {
        fprintf(stderr, "qv-incremental-bench: cannot write the images in %s\n", o.dir.c_str());
        return 1;
    }
    print_machine();

    std::string error;
    Server server = start_server(
        {simulator, "--quiet", "--token", kToken, "--disk", std::string(kOld) + "=" + old_img,
         "--disk", std::string(kDisk) + "=" + disk_img},
        error);
    if (server.pid < 0) {
        fprintf(stderr, "qv-incremental-bench: %s\n", error.c_str());
        return 1;
    }
    setenv("QV_TOKEN", kToken, 1);
    const std::string address = "127.0.0.1:" + std::to_string(server.port);
    const std::string request = std::to_string(strtoull(request_mib.c_str(), nullptr, 10) * kMiB);
    int failures = 0;
    auto fail = [&](const std::string& what) {
        fprintf(stderr, "qv-incremental-bench: %s\n", what.c_str());
        ++failures;
    };

    // The last backup, as it was taken: a full read that writes the manifest beside the image
    // (the image itself is old.img, already here).
    const std::vector<std::string> common = {"--server", address,      "--request-size",
                                             request,    "--progress", "none"};
    auto qv_args = [&](const char* command, const char* disk, const std::string& c) {
        std::vector<std::string> a = {qv, command, "--disk", disk, "--connections", c};
        a.insert(a.end(), common.begin(), common.end());
        return a;
    };
    {
        std::vector<std::string> a = qv_args("read", kOld, conns.front());
        a.insert(a.end(), {"--size", std::to_string(size), "-o", "/dev/null", "--manifest",
                           old_manifest, "--block-size", std::to_string(block)});
        if (run_child(a, false).status != 0) fail("qv-disk read --manifest of the old disk failed");
        const std::string tool_manifest = path("old-tool.manifest");
        if (run_child({manifest_tool, old_img, "-o", tool_manifest, "--block-size",
                       std::to_string(block)},
                      false)
                    .status != 0 ||
            !same_files(old_manifest, tool_manifest))
            fail("zev-block-manifest of old.img differs from qv-disk read --manifest");
    }

    // The cases of one repetition, per number of connections.
    enum Kind { kDiffNull, kDiffFile, kRead, kOldPath };
    struct Case {
        Kind kind;
        std::string conns;
        std::string name;
    };
    std::vector<Case> cases;
    for (const std::string& c : conns) {
        cases.push_back({kDiffNull, c, "diff to /dev/null, " + c});
        cases.push_back({kDiffFile, c, "diff to files, " + c});
        cases.push_back({kRead, c, "read --sha256, " + c});
        cases.push_back({kOldPath, c, "read -o new.img + diff tool, " + c});
    }
    std::map<std::string, std::vector<double>> seconds, cpu;
    for (int rep = 0; rep < o.reps; ++rep) {
        // Every other repetition runs the cases backwards, so that no case always follows
        // the same one.
        for (size_t k = 0; k < cases.size(); ++k) {
            const Case& c = cases[rep % 2 == 0 ? k : cases.size() - 1 - k];
            const std::string stream = path("diff-" + c.conns + ".jsonl"),
                              manifest = path("new-" + c.conns + ".manifest"),
                              old_stream = path("old-path-" + c.conns + ".jsonl");
            ChildRun r, second;
            if (c.kind == kOldPath) {
                // A fresh file, as a backup makes one: replacing the last copy would add the
                // release of its pages to the read.
                unlink(new_img.c_str());
            }
            // Each run starts with nothing dirty in the page cache, so that none pays for the
            // write-back of the one before.
            sync();
            if (c.kind == kDiffNull || c.kind == kDiffFile) {
                std::vector<std::string> a = qv_args("diff", kDisk, c.conns);
                a.insert(a.end(), {"--base-manifest", old_manifest});
                if (c.kind == kDiffNull) {
                    r = run_child(a, false, false, true);
                } else {
                    a.insert(a.end(), {"--manifest", manifest});
                    r = run_child(a, false, false, false, "", stream);
                }
            } else if (c.kind == kRead) {
                std::vector<std::string> a = qv_args("read", kDisk, c.conns);
                a.insert(a.end(), {"--size", std::to_string(size), "--sha256", "-o", "/dev/null"});
                r = run_child(a, false);
            } else {
                std::vector<std::string> a = qv_args("read", kDisk, c.conns);
                a.insert(a.end(), {"--size", std::to_string(size), "-o", new_img});
                r = run_child(a, false);
                if (r.status == 0) {
                    second = run_child(
                        {diff_tool, old_img, new_img, "--block-size", std::to_string(block)}, false,
                        false, false, "", old_stream);
                    if (second.status != 0) r.status = second.status;
                    seconds["old path: read, " + c.conns].push_back(r.seconds);
                    seconds["old path: diff tool, " + c.conns].push_back(second.seconds);
                    cpu["old path: read, " + c.conns].push_back(r.cpu);
                    cpu["old path: diff tool, " + c.conns].push_back(second.cpu);
                    r.seconds += second.seconds;
                    r.cpu += second.cpu;
                }
            }
            if (r.status != 0) {
                fail(c.name + " connection(s) failed (status " + std::to_string(r.status) + ")");
                continue;
            }
            seconds[c.name].push_back(r.seconds);
            cpu[c.name].push_back(r.cpu);
            fprintf(stderr, "%s connection(s): %.3f s (CPU %.3f s)\n", c.name.c_str(), r.seconds,
                    r.cpu);
        }
        // Untimed: the streams of this repetition.
        for (const std::string& c : conns) {
            const std::string stream = path("diff-" + c + ".jsonl"),
                              old_stream = path("old-path-" + c + ".jsonl");
            if (!same_files(stream, old_stream))
                fail("the stream of qv-disk diff over " + c +
                     " connection(s) differs from the diff tool's");
            if (change_records(stream) != count)
                fail("the stream over " + c + " connection(s) holds " +
                     std::to_string(change_records(stream)) + " change records, not " +
                     std::to_string(count));
        }
    }
    // Untimed: the new manifests equal the manifest tool's of the disk's image.
    const std::string disk_manifest = path("disk-tool.manifest");
    if (run_child(
            {manifest_tool, disk_img, "-o", disk_manifest, "--block-size", std::to_string(block)},
            false)
            .status != 0)
        fail("zev-block-manifest of disk.img failed");
    for (const std::string& c : conns)
        if (!same_files(path("new-" + c + ".manifest"), disk_manifest))
            fail("the new manifest of qv-disk diff over " + c +
                 " connection(s) differs from zev-block-manifest's");
    stop_server(server);

    // zev-block-manifest of an image in the page cache against openssl's single-core rate.
    warm(disk_img);
    const std::string all_cores = path("manifest-all.manifest"),
                      one_core = path("manifest-1.manifest");
    std::vector<double> openssl_rates;
    const char* const manifest_cases[] = {"openssl", "manifest", "manifest --threads 1"};
    for (int rep = 0; rep < o.reps; ++rep) {
        for (int k = 0; k < 3; ++k) {
            const int which = rep % 2 == 0 ? k : 2 - k;
            const char* name = manifest_cases[which];
            sync();
            if (which == 0) {
                ChildRun r = run_child({openssl, "speed", "-evp", "sha256", "-bytes", "65536",
                                        "-seconds", sha_seconds},
                                       true);
                const double rate = parse_openssl_rate(r.stream);
                if (r.status != 0 || rate <= 0) {
                    fail("openssl speed failed or printed no sha256 rate for 65536 bytes");
                    continue;
                }
                openssl_rates.push_back(rate);
                fprintf(stderr, "openssl speed sha256: %.0f MiB/s\n", rate / kMiB);
                continue;
            }
            std::vector<std::string> a = {manifest_tool,  disk_img,
                                          "-o",           which == 1 ? all_cores : one_core,
                                          "--block-size", std::to_string(block)};
            if (which == 2) a.insert(a.end(), {"--threads", "1"});
            ChildRun r = run_child(a, false);
            if (r.status != 0) {
                fail(std::string(name) + " failed (status " + std::to_string(r.status) + ")");
                continue;
            }
            seconds[name].push_back(r.seconds);
            cpu[name].push_back(r.cpu);
            fprintf(stderr, "%s: %.3f s (CPU %.3f s)\n", name, r.seconds, r.cpu);
        }
    }
    if (!same_files(all_cores, disk_manifest) || !same_files(one_core, disk_manifest))
        fail("zev-block-manifest wrote different manifests with one and with every thread");
    print_load("load average at the end");

    // The report.
    auto mibs = [&](const std::string& name) {
        const double s = median(seconds[name]);
        return s > 0 ? o.size_mib / s : 0.0;
    };
    auto cell = [&](const std::string& name) {
        char text[96];
        snprintf(text, sizeof text, "%.0f MiB/s (%.2f s, CPU %.2f s)", mibs(name),
                 median(seconds[name]), median(cpu[name]));
        return std::string(text);
    };
    auto ratio = [&](const std::string& a, const std::string& b) {
        return mibs(b) > 0 ? mibs(a) / mibs(b) : 0.0;
    };
    printf(
        "\n%zu MiB disk, blocks of %llu bytes, %llu of %llu changed (%s%%), requests of %s "
        "MiB, median of %d runs\n\n",
        o.size_mib, static_cast<unsigned long long>(block), static_cast<unsigned long long>(count),
        static_cast<unsigned long long>(blocks), changed_pct.c_str(), request_mib.c_str(), o.reps);
    printf("| case |");
    for (const std::string& c : conns) printf(" %s connection(s) |", c.c_str());
    printf("\n|---|");
    for (size_t i = 0; i < conns.size(); ++i) printf("---|");
    printf("\n");
    const std::pair<const char*, const char*> rows[] = {
        {"`qv-disk read --sha256 -o /dev/null`", "read --sha256, "},
        {"`qv-disk diff`, stream to /dev/null", "diff to /dev/null, "},
        {"`qv-disk diff --manifest NEW > STREAM`", "diff to files, "},
        {"old path: `qv-disk read -o new.img`", "old path: read, "},
        {"old path: `zev-block-diff-tool old.img new.img > STREAM`", "old path: diff tool, "},
        {"old path, both steps", "read -o new.img + diff tool, "}};
    for (const auto& row : rows) {
        printf("| %s |", row.first);
        for (const std::string& c : conns) printf(" %s |", cell(row.second + c).c_str());
        printf("\n");
    }
    const std::pair<const char*, std::pair<const char*, const char*>> ratios[] = {
        {"ratio diff (stream to /dev/null) / read", {"diff to /dev/null, ", "read --sha256, "}},
        {"ratio diff (stream and manifest to files) / read",
         {"diff to files, ", "read --sha256, "}},
        {"ratio diff (files) / old path", {"diff to files, ", "read -o new.img + diff tool, "}}};
    for (const auto& row : ratios) {
        printf("| %s |", row.first);
        for (const std::string& c : conns)
            printf(" %.3f |", ratio(row.second.first + c, row.second.second + c));
        printf("\n");
    }

    // Bytes on the backup node's own storage, from the sizes of the files each path makes.
    const uint64_t stream_bytes = file_size(path("diff-" + conns.front() + ".jsonl"));
    const uint64_t new_manifest_bytes = file_size(path("new-" + conns.front() + ".manifest"));
    const uint64_t old_manifest_bytes = file_size(old_manifest);
    printf("\nstream of %llu bytes (%llu change records), manifest of %llu bytes\n\n",
           static_cast<unsigned long long>(stream_bytes), static_cast<unsigned long long>(count),
           static_cast<unsigned long long>(old_manifest_bytes));
    printf("| path | written locally | read locally |\n|---|---|---|\n");
    printf(
        "| `qv-disk diff --base-manifest OLD --manifest NEW > STREAM` | %s (stream + new "
        "manifest) | %s (old manifest) |\n",
        mib_text(stream_bytes + new_manifest_bytes).c_str(), mib_text(old_manifest_bytes).c_str());
    printf(
        "| `qv-disk read -o new.img`, `zev-block-diff-tool old.img new.img > STREAM` | %s "
        "(new image + stream) | %s (both images) |\n",
        mib_text(size + stream_bytes).c_str(), mib_text(2 * size).c_str());
    printf("| old path / diff path | %.0fx | %.0fx |\n",
           static_cast<double>(size + stream_bytes) /
               static_cast<double>(std::max<uint64_t>(1, stream_bytes + new_manifest_bytes)),
           static_cast<double>(2 * size) /
               static_cast<double>(std::max<uint64_t>(1, old_manifest_bytes)));

    const double sha_rate = median(openssl_rates);
    const double sha_mibs = sha_rate / kMiB;
    printf("\n| case | MiB/s | ratio to openssl, one core |\n|---|---|---|\n");
    printf("| `openssl speed -evp sha256 -bytes 65536 -seconds %s` | %.0f | 1 |\n",
           sha_seconds.c_str(), sha_mibs);
    printf("| `zev-block-manifest IMAGE -o FILE` (image in the page cache) | %s | %.3f |\n",
           cell("manifest").c_str(), sha_mibs > 0 ? mibs("manifest") / sha_mibs : 0.0);
    printf("| `zev-block-manifest IMAGE -o FILE --threads 1` | %s | %.3f |\n",
           cell("manifest --threads 1").c_str(),
           sha_mibs > 0 ? mibs("manifest --threads 1") / sha_mibs : 0.0);

    if (!o.keep) {
        for (const std::string& p : made) unlink(p.c_str());
        rmdir(o.dir.c_str());
    }
    if (failures != 0) {
        printf("\n%d check(s) failed\n", failures);
        return 1;
    }
    printf(
        "\nevery command succeeded; every stream equals the diff tool's and every manifest "
        "the manifest tool's\n");
    return 0;
}
