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
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <lz4.h>
#include <spawn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base64.h"

namespace {

const uint64_t kMiB = 1024 * 1024;

double now_seconds() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

struct Rng {
    uint64_t x;
    explicit Rng(uint64_t seed) : x(seed * 0x9E3779B97F4A7C15ull + 1) {}
    uint64_t next() {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        return x;
    }
};

// Bytes of the programs and libraries installed on this machine.
std::vector<unsigned char> load_executable_pool(size_t limit) {
    std::vector<unsigned char> pool;
    for (const char* dir_path : {"/usr/bin", "/usr/lib/x86_64-linux-gnu"}) {
        DIR* dir = opendir(dir_path);
        if (dir == nullptr) continue;
        std::vector<std::string> names;
        while (struct dirent* e = readdir(dir)) names.push_back(e->d_name);
        closedir(dir);
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) {
            if (pool.size() >= limit) break;
            const std::string path = std::string(dir_path) + "/" + name;
            struct stat st;
            if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 4096)
                continue;
            const int fd = open(path.c_str(), O_RDONLY);
            if (fd < 0) continue;
            unsigned char head[4];
            if (pread(fd, head, 4, 0) == 4 && memcmp(head,
                                                     "\x7f"
                                                     "ELF",
                                                     4) == 0) {
                const size_t n =
                    std::min<size_t>(static_cast<size_t>(st.st_size), limit - pool.size());
                const size_t at = pool.size();
                pool.resize(at + n);
                const ssize_t got = pread(fd, pool.data() + at, n, 0);
                pool.resize(at + (got > 0 ? static_cast<size_t>(got) : 0));
            }
            close(fd);
        }
    }
    return pool;
}

// Fills `out` with disk-image-like content: segments of 4 KiB to 1 MiB of zeros (30%), text
// (25%), executable bytes (30%) or random bytes (15%).
void fill_image(unsigned char* out, size_t size, uint64_t seed,
                const std::vector<unsigned char>& exe_pool) {
    static const char* const words[] = {
        "the ",    "backup ", "of ",      "virtual ", "machine ", "disk ", "block ", "and ",
        "to ",     "data ",   "file ",    "system ",  "is ",      "in ",   "log ",   "error ",
        "config=", "true\n",  "false\n",  "value ",   "</div>\n", "<p>",   "int ",   "return ",
        "{\n",     "}\n",     "2026-12-", "07 ",      "INFO ",    "user ", "root ",  "/usr/lib/"};
    Rng rng(seed);
    size_t pos = 0;
    while (pos < size) {
        const size_t len = std::min<size_t>(size - pos, 4096 * (1 + rng.next() % 256));
        const unsigned kind = static_cast<unsigned>(rng.next() % 100);
        unsigned char* p = out + pos;
        if (kind < 30) {
            memset(p, 0, len);
        } else if (kind < 55) {
            size_t i = 0;
            while (i < len) {
                const char* w = words[rng.next() % 32];
                const size_t wl = std::min(strlen(w), len - i);
                memcpy(p + i, w, wl);
                i += wl;
            }
        } else if (kind < 85 && exe_pool.size() > len) {
            memcpy(p, exe_pool.data() + rng.next() % (exe_pool.size() - len), len);
        } else {
            for (size_t i = 0; i < len; i += 8) {
                const uint64_t v = rng.next();
                memcpy(p + i, &v, std::min<size_t>(8, len - i));
            }
        }
        pos += len;
    }
}

bool write_whole(const std::string& path, const unsigned char* data, size_t size) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return false;
    size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fd, data + done, std::min<size_t>(size - done, 64 * kMiB));
        if (n <= 0) {
            close(fd);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    close(fd);
    return true;
}

// Reads a file once so that it sits in the page cache.
void warm(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY);
    std::vector<char> buf(4 * kMiB);
    while (read(fd, buf.data(), buf.size()) > 0) {
    }
    close(fd);
}

struct ImageSet {
    std::string reference, identical, ten, all;
};

// Makes the reference image, an identical copy, one with 10% of its blocks rewritten and one
// with every block rewritten (a rewritten block always differs).
ImageSet image_paths(const std::string& dir, const std::string& tag) {
    return ImageSet{dir + "/" + tag + "-reference.img", dir + "/" + tag + "-identical.img",
                    dir + "/" + tag + "-10pct.img", dir + "/" + tag + "-100pct.img"};
}

void make_images(const ImageSet& s, size_t size, size_t block,
                 const std::vector<unsigned char>& pool) {
    std::vector<unsigned char> a(size), other(size), b(size);
    fill_image(a.data(), size, 1, pool);
    fill_image(other.data(), size, 2, pool);
    for (size_t off = 0; off < size; off += block) {
        const size_t n = std::min(block, size - off);
        if (memcmp(a.data() + off, other.data() + off, n) == 0) other[off] ^= 0x5A;
    }
    write_whole(s.reference, a.data(), size);
    write_whole(s.identical, a.data(), size);
    write_whole(s.all, other.data(), size);
    // Every tenth block, at a pseudo-random position within each run of ten.
    b = a;
    Rng rng(3);
    for (size_t first = 0; first < size; first += 10 * block) {
        const size_t off = first + block * (rng.next() % 10);
        if (off >= size) continue;
        const size_t n = std::min(block, size - off);
        memcpy(b.data() + off, other.data() + off, n);
    }
    write_whole(s.ten, b.data(), size);
}

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

struct ChildRun {
    double seconds = 0;
    double cpu = 0;  // user + system time of the child
    long vm_hwm_kib = -1;
    long max_rss_kib = 0;
    int status = -1;
    uint64_t bytes = 0;
    uint64_t lines = 0;
    std::string stream;  // the whole stream, when asked for
};

// Runs a program with its standard output on a pipe that this process drains (the way a
// caller reads the stream) and returns wall time, exit status and peak resident memory.
// Peak resident size (VmHWM) of a running process in KiB, or -1 once it has exited.
long read_vm_hwm(pid_t pid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
    FILE* f = fopen(path, "r");
    if (f == nullptr) return -1;
    char line[256];
    long kib = -1;
    while (fgets(line, sizeof line, f) != nullptr) {
        if (strncmp(line, "VmHWM:", 6) == 0) kib = strtol(line + 6, nullptr, 10);
    }
    fclose(f);
    return kib;
}

ChildRun run_child(const std::vector<std::string>& argv, bool capture, bool sample_rss = false,
                   bool to_null = false) {
    ChildRun r;
    int fds[2];
    if (pipe(fds) != 0) return r;
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    // posix_spawn starts the child without copying this process's memory, so the child's peak
    // resident size is the program's own.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // Standard output on the pipe, or on /dev/null to time the program without a reader.
    if (to_null) {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    } else {
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    }
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addclose(&actions, fds[1]);
    const double start = now_seconds();
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        fprintf(stderr, "cannot start %s: %s\n", args[0], strerror(rc));
        close(fds[0]);
        close(fds[1]);
        return r;
    }
    close(fds[1]);
    std::vector<char> buf(1 << 20);
    ssize_t n;
    double last_sample = 0;
    while ((n = read(fds[0], buf.data(), buf.size())) > 0) {
        // The peak resident size of the program itself is read from /proc while it runs: the
        // rusage of a child started from this process counts this process's peak as a floor.
        if (sample_rss && now_seconds() - last_sample > 0.005) {
            r.vm_hwm_kib = std::max(r.vm_hwm_kib, read_vm_hwm(pid));
            last_sample = now_seconds();
        }
        r.bytes += static_cast<uint64_t>(n);
        for (const char* p = buf.data();
             (p = static_cast<const char*>(memchr(p, '\n', buf.data() + n - p))); ++p) {
            ++r.lines;
        }
        if (capture) r.stream.append(buf.data(), static_cast<size_t>(n));
    }
    close(fds[0]);
    int status = 0;
    struct rusage usage;
    wait4(pid, &status, 0, &usage);
    r.seconds = now_seconds() - start;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.max_rss_kib = usage.ru_maxrss;
    r.cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
            static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
    return r;
}

std::vector<std::string> split_lines(const std::string& s) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < s.size()) {
        size_t end = s.find('\n', start);
        if (end == std::string::npos) end = s.size();
        lines.push_back(s.substr(start, end - start));
        start = end + 1;
    }
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

void print_load(const char* what) {
    FILE* f = fopen("/proc/loadavg", "r");
    char line[128] = "";
    if (f != nullptr) {
        if (fgets(line, sizeof line, f) == nullptr) line[0] = '\0';
        fclose(f);
    }
    printf("%s: %s", what, line);
}

void print_machine() {
    FILE* f = fopen("/proc/cpuinfo", "r");
    char line[512];
    std::string model;
    int cpus = 0;
    while (f != nullptr && fgets(line, sizeof line, f) != nullptr) {
        if (strncmp(line, "model name", 10) == 0) {
            ++cpus;
            if (model.empty()) model = strchr(line, ':') + 2;
        }
    }
    if (f != nullptr) fclose(f);
    printf("machine: %d x %s", cpus, model.c_str());
    printf("memory: %.1f GiB\n", static_cast<double>(sysconf(_SC_PHYS_PAGES)) *
                                     static_cast<double>(sysconf(_SC_PAGE_SIZE)) /
                                     (1024.0 * 1024 * 1024));
    print_load("load average at the start");
    printf("\n");
}

void usage(const char* argv0) {
    fprintf(
        stderr,
        "Usage: %s --tool <zev-block-diff-tool> --dir <scratch dir> [--python <script>]\n"
        "          [--size-mib 1024] [--small-mib 64] [--block-size 65536] [--reps 7] [--keep]\n",
        argv0);
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
    std::string dir;
    size_t size_mib = 1024;
    size_t small_mib = 64;
    size_t block = 65536;
    int reps = 7;
    bool keep = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool value = i + 1 < argc;
        if (a == "--tool" && value) {
            tool = argv[++i];
        } else if (a == "--python" && value) {
            python = argv[++i];
        } else if (a == "--dir" && value) {
            dir = argv[++i];
        } else if (a == "--size-mib" && value) {
            size_mib = strtoul(argv[++i], nullptr, 10);
        } else if (a == "--small-mib" && value) {
            small_mib = strtoul(argv[++i], nullptr, 10);
        } else if (a == "--block-size" && value) {
            block = strtoul(argv[++i], nullptr, 10);
        } else if (a == "--reps" && value) {
            reps = atoi(argv[++i]);
        } else if (a == "--keep") {
            keep = true;
        } else {
            usage(argv[0]);
            return 2;
        }
    }
    if (dir.empty() || size_mib == 0 || small_mib == 0 || block == 0 || reps <= 0) {
        usage(argv[0]);
        return 2;
    }
    mkdir(dir.c_str(), 0755);

    // The images are made in a child process, so that this process stays small: a child it
    // starts inherits its peak resident size as a floor of its own.
    const ImageSet big = image_paths(dir, "big");
    const ImageSet small = image_paths(dir, "small");
    fprintf(stderr, "making %zu MiB and %zu MiB image sets in %s...\n", size_mib, small_mib,
            dir.c_str());
    const pid_t maker = fork();
    if (maker == 0) {
        const std::vector<unsigned char> pool = load_executable_pool(64 * kMiB);
        make_images(big, size_mib * kMiB, block, pool);
        make_images(small, small_mib * kMiB, block, pool);
        _exit(0);
    }
    int maker_status = 0;
    waitpid(maker, &maker_status, 0);
    if (!WIFEXITED(maker_status) || WEXITSTATUS(maker_status) != 0) {
        fprintf(stderr, "making the images failed\n");
        return 1;
    }
    const std::vector<std::string> all_files = {big.reference, big.identical,   big.ten,
                                                big.all,       small.reference, small.identical,
                                                small.ten,     small.all};
    for (const std::string& p : all_files) warm(p);
    const std::string bs = std::to_string(block);
    char self_path[4096];
    const ssize_t self_length = readlink("/proc/self/exe", self_path, sizeof self_path - 1);
    if (self_length <= 0) return 1;
    const std::string self(self_path, static_cast<size_t>(self_length));

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
