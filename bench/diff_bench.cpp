// Benchmark of zev-block-diff-tool on disk-image pairs held in the page cache.
//
// Makes image pairs with realistic content (zero runs, text, executable bytes from the
// system's programs and libraries, some random data), then measures side by side in one run:
//   - identical images: the tool against a minimal pread + memcmp loop;
//   - 10% and 100% differing blocks: the tool against the compute limit, a loop that reads and
//     compares the same blocks and runs LZ4_compress_default and a plain Base64 encoder over
//     the differing ones, writing nothing;
//   (both baselines run as processes of their own, started like the tool)
//   - a Python script with the lz4 and base64 modules producing the same stream;
//   - the tool's peak resident memory on a small and a large pair.
// Every timing is the best of several repetitions, wall clock and CPU time (user + system)
// apart; the tool's stream is read from a pipe, the way a caller reads it.
#include <fcntl.h>
#include <lz4.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "base64.h"
#include "bench_support.h"

namespace {

using namespace zev_bench;

// Minimal pread + memcmp loop; returns the number of differing blocks.
size_t compare_loop(const std::string& first, const std::string& second, size_t block) {
    const int fa = open(first.c_str(), O_RDONLY);
    const int fb = open(second.c_str(), O_RDONLY);
    const off_t size = lseek(fa, 0, SEEK_END);
    std::vector<unsigned char> x(block), y(block);
    size_t differing = 0;
    for (off_t off = 0; off < size; off += static_cast<off_t>(block)) {
        const size_t n = std::min<size_t>(block, static_cast<size_t>(size - off));
        if (pread(fa, x.data(), n, off) != static_cast<ssize_t>(n) ||
            pread(fb, y.data(), n, off) != static_cast<ssize_t>(n)) {
            break;
        }
        if (memcmp(x.data(), y.data(), n) != 0) ++differing;
    }
    close(fa);
    close(fb);
    return differing;
}

// The plain Base64 encoder a user would write: 3 bytes to 4 characters, one table lookup each.
size_t plain_base64(const unsigned char* in, size_t n, char* out) {
    static const char t[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    char* o = out;
    size_t i = 0;
    for (; i + 3 <= n; i += 3) {
        const uint32_t v = (uint32_t(in[i]) << 16) | (uint32_t(in[i + 1]) << 8) | in[i + 2];
        *o++ = t[v >> 18];
        *o++ = t[(v >> 12) & 63];
        *o++ = t[(v >> 6) & 63];
        *o++ = t[v & 63];
    }
    if (n - i == 1) {
        *o++ = t[in[i] >> 2];
        *o++ = t[(in[i] & 3) << 4];
        *o++ = '=';
        *o++ = '=';
    } else if (n - i == 2) {
        *o++ = t[in[i] >> 2];
        *o++ = t[((in[i] & 3) << 4) | (in[i + 1] >> 4)];
        *o++ = t[(in[i + 1] & 15) << 2];
        *o++ = '=';
    }
    return static_cast<size_t>(o - out);
}

// The compute limit: the same reads and comparisons, plus LZ4 and Base64 of every differing
// block, with no output. Returns the total Base64 length (so nothing is optimised away).
size_t compute_limit_loop(const std::string& first, const std::string& second, size_t block) {
    const int fa = open(first.c_str(), O_RDONLY);
    const int fb = open(second.c_str(), O_RDONLY);
    const off_t size = lseek(fa, 0, SEEK_END);
    std::vector<unsigned char> x(block), y(block);
    const int bound = LZ4_compressBound(static_cast<int>(block));
    std::vector<char> compressed(static_cast<size_t>(bound));
    std::vector<char> text(static_cast<size_t>(bound) / 3 * 4 + 8);
    size_t total = 0;
    for (off_t off = 0; off < size; off += static_cast<off_t>(block)) {
        const size_t n = std::min<size_t>(block, static_cast<size_t>(size - off));
        if (pread(fa, x.data(), n, off) != static_cast<ssize_t>(n) ||
            pread(fb, y.data(), n, off) != static_cast<ssize_t>(n)) {
            break;
        }
        if (memcmp(x.data(), y.data(), n) != 0) {
            const int c = LZ4_compress_default(reinterpret_cast<const char*>(y.data()),
                                               compressed.data(), static_cast<int>(n), bound);
            total += plain_base64(reinterpret_cast<const unsigned char*>(compressed.data()),
                                  static_cast<size_t>(c), text.data());
        }
    }
    close(fa);
    close(fb);
    return total;
}

std::vector<std::string> split_lines(const std::string& s) {
    std::vector<std::string> lines;
    std::istringstream in(s);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The bytes a change record carries (Base64, then LZ4), or the line itself for other records.
std::string record_payload(const std::string& line, std::string* head) {
    const size_t data = line.find("\"data\":\"");
    if (data == std::string::npos) return line;
    *head = line.substr(0, data);
    const size_t start = data + 8;
    const std::string text = line.substr(start, line.find('"', start) - start);
    if (text.empty()) return line;
    std::string compressed(text.size(), '\0');
    const int c = base64_decode(text.c_str(), reinterpret_cast<unsigned char*>(&compressed[0]),
                                compressed.size());
    if (c < 0) return "bad base64";
    const size_t length = strtoull(line.c_str() + line.find("\"length\":") + 9, nullptr, 10);
    std::string plain(length, '\0');
    const int n = LZ4_decompress_safe(compressed.data(), &plain[0], c, static_cast<int>(length));
    return n == static_cast<int>(length) ? plain : "bad lz4";
}

// Two streams are the same when every line matches, change records compared by the offset,
// the length and the bytes their data decompresses to (LZ4 encoders may choose other matches).
bool same_stream(const std::string& a, const std::string& b, size_t* exact_lines) {
    const std::vector<std::string> la = split_lines(a);
    const std::vector<std::string> lb = split_lines(b);
    if (la.size() != lb.size()) return false;
    *exact_lines = 0;
    for (size_t i = 0; i < la.size(); ++i) {
        if (la[i] == lb[i]) {
            ++*exact_lines;
            continue;
        }
        std::string ha, hb;
        if (record_payload(la[i], &ha) != record_payload(lb[i], &hb) || ha != hb || ha.empty()) {
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    // Baseline modes: the bench runs its baselines as programs of their own, so that they pay
    // the same process start and the same accounting as the tool.
    if (argc == 5 &&
        (strcmp(argv[1], "--run-compare") == 0 || strcmp(argv[1], "--run-compute") == 0)) {
        const size_t block_size = strtoul(argv[4], nullptr, 10);
        if (strcmp(argv[1], "--run-compare") == 0) {
            compare_loop(argv[2], argv[3], block_size);
        } else {
            compute_limit_loop(argv[2], argv[3], block_size);
        }
        return 0;
    }
    std::string tool = ZEV_BENCH_DEFAULT_TOOL;
    std::string python = ZEV_BENCH_DEFAULT_SCRIPT;
    BenchOptions options;
    size_t small_mib = 64;
    CLI::App app{
        "zev-block-diff-tool against a read-and-compare loop, the compute limit and a "
        "Python script, on disk-image pairs in the page cache; its memory",
        "zev-diff-bench"};
    app.add_option("--tool", tool, "the zev-block-diff-tool to measure")->capture_default_str();
    app.add_option("--python", python, "the Python script producing the same stream")
        ->capture_default_str();
    add_bench_options(app, options);
    app.add_option("--small-mib", small_mib, "size of the small image pair in MiB")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
    const int status = parse_command_line(app, argc, argv, 2);
    if (status >= 0) return status;
    const std::string& dir = options.dir;
    const size_t size_mib = options.size_mib;
    const size_t block = options.block;
    const int reps = options.reps;
    const bool keep = options.keep;
    mkdir(dir.c_str(), 0755);

    // The images are made in a child process, so that this process stays small: a child it
    // starts inherits its peak resident size as a floor of its own.
    const ImageSet big = image_paths(dir, "big");
    const ImageSet small = image_paths(dir, "small");
    fprintf(stderr, "making %zu MiB and %zu MiB image sets in %s...\n", size_mib, small_mib,
            dir.c_str());
    if (!make_image_sets({{big, size_mib}, {small, small_mib}}, block)) {
        fprintf(stderr, "making the images failed\n");
        return 1;
    }
    const std::vector<std::string> all_files = {big.reference, big.identical,   big.ten,
                                                big.all,       small.reference, small.identical,
                                                small.ten,     small.all};
    for (const std::string& p : all_files) warm(p);
    const std::string bs = std::to_string(block);
    const std::string self = own_path(argv[0]);
    if (self.empty()) {
        fprintf(stderr, "zev-diff-bench: cannot find this program from its name %s\n", argv[0]);
        return 1;
    }

    print_machine();

    // Peak resident memory of the tool on the small and the large 100% pair.
    const ChildRun small_run =
        run_child({tool, small.reference, small.all, "--block-size", bs}, false, true);
    const ChildRun big_run =
        run_child({tool, big.reference, big.all, "--block-size", bs}, false, true);
    printf("| pair | peak RSS of the tool (VmHWM, KiB) |\n|---|---|\n");
    printf("| %zu MiB, 100%% differing | %ld |\n", small_mib, small_run.vm_hwm_kib);
    printf("| %zu MiB, 100%% differing | %ld |\n\n", size_mib, big_run.vm_hwm_kib);
    fflush(stdout);

    struct Scenario {
        const char* name;
        std::string second;
    } scenarios[] = {
        {"identical", big.identical}, {"10% differing", big.ten}, {"100% differing", big.all}};
    const double mib = static_cast<double>(size_mib);
    printf(
        "| scenario | differing blocks | baseline | baseline MiB/s | tool MiB/s | tool / baseline "
        "(wall) | tool / baseline (CPU) | tool > /dev/null MiB/s | tool > /dev/null / baseline | "
        "python MiB/s | tool / python | stream MiB |\n");
    printf("|---|---|---|---|---|---|---|---|---|---|---|---|\n");
    for (const Scenario& s : scenarios) {
        const size_t differing = compare_loop(big.reference, s.second, block);
        const bool identical = differing == 0;
        double baseline = 1e30, baseline_cpu = 1e30;
        double tool_time = 1e30, tool_cpu = 1e30, null_time = 1e30;
        ChildRun last;
        // Side by side: each repetition runs the baseline and the tool, in turns first; the
        // best of each counts.
        const std::vector<std::string> baseline_args = {
            self, identical ? "--run-compare" : "--run-compute", big.reference, s.second, bs};
        const std::vector<std::string> tool_args = {tool, big.reference, s.second, "--block-size",
                                                    bs};
        for (int r = 0; r < reps; ++r) {
            // The tool once more with its stream thrown away: its own speed, without a reader.
            null_time = std::min(null_time, run_child(tool_args, false, false, true).seconds);
            for (int turn = 0; turn < 2; ++turn) {
                const bool tool_turn = (turn == 0) == (r % 2 == 1);
                const ChildRun run = run_child(tool_turn ? tool_args : baseline_args, false);
                if (run.status != 0) {
                    fprintf(stderr, "%s failed with status %d\n", tool_turn ? "tool" : "baseline",
                            run.status);
                    return 1;
                }
                if (tool_turn) {
                    last = run;
                    tool_time = std::min(tool_time, run.seconds);
                    tool_cpu = std::min(tool_cpu, run.cpu);
                } else {
                    baseline = std::min(baseline, run.seconds);
                    baseline_cpu = std::min(baseline_cpu, run.cpu);
                }
            }
        }
        const ChildRun py = run_child({python, big.reference, s.second, bs}, false);
        printf(
            "| %s | %zu | %s | %.0f | %.0f | %.2f | %.2f | %.0f | %.2f | %.0f | %.1fx | %.0f |\n",
            s.name, differing, identical ? "pread+memcmp" : "compute limit", mib / baseline,
            mib / tool_time, baseline / tool_time, baseline_cpu / tool_cpu, mib / null_time,
            baseline / null_time, mib / py.seconds, py.seconds / tool_time,
            static_cast<double>(last.bytes) / static_cast<double>(kMiB));
        fflush(stdout);
    }

    // The Python script must produce the same records (its LZ4 encoder may pick other matches,
    // so change records are compared by the bytes they decompress to).
    for (const std::string& second : {small.identical, small.ten, small.all}) {
        const ChildRun t = run_child({tool, small.reference, second, "--block-size", bs}, true);
        const ChildRun p = run_child({python, small.reference, second, bs}, true);
        size_t exact = 0;
        const bool same = t.status == 0 && p.status == 0 && same_stream(t.stream, p.stream, &exact);
        printf("\nstream check %s: %llu lines, %zu byte-identical, %s", second.c_str(),
               static_cast<unsigned long long>(t.lines), exact,
               same ? "same records" : "DIFFERENT");
        if (!same) return 1;
    }
    printf("\n");
    print_load("load average at the end");

    if (!keep) {
        for (const std::string& p : all_files) unlink(p.c_str());
        rmdir(dir.c_str());
    }
    return 0;
}
