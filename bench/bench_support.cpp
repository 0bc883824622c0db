#include "bench_support.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "child_process.h"

namespace zev_bench {

namespace {

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

}  // namespace

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

void warm(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY);
    std::vector<char> buf(4 * kMiB);
    while (read(fd, buf.data(), buf.size()) > 0) {
    }
    close(fd);
}

// The four image paths of one set, named after its tag.
ImageSet image_paths(const std::string& dir, const std::string& tag) {
    return ImageSet{dir + "/" + tag + "-reference.img", dir + "/" + tag + "-identical.img",
                    dir + "/" + tag + "-10pct.img", dir + "/" + tag + "-100pct.img"};
}

// Makes the reference image, an identical copy, one with 10% of its blocks rewritten and one
// with every block rewritten (a rewritten block always differs).
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

bool in_child(const std::function<bool()>& body) {
    zev_common::ChildProcess child =
        zev_common::ChildProcess::call([&body] { return body() ? 0 : 1; });
    zev_common::ChildStatus status;
    return child.wait(status) && status.exit_code == 0;
}

bool make_image_sets(const std::vector<std::pair<ImageSet, size_t>>& sets, size_t block) {
    return in_child([&] {
        const std::vector<unsigned char> pool = load_executable_pool(64 * kMiB);
        for (const auto& set : sets) make_images(set.first, set.second * kMiB, block, pool);
        return true;
    });
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

void add_bench_options(CLI::App& app, BenchOptions& o, bool block_size) {
    app.add_option("--dir", o.dir, "scratch directory for the images")->required();
    app.add_option("--size-mib", o.size_mib, "image size in MiB")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
    if (block_size)
        app.add_option("--block-size", o.block, "block size in bytes")
            ->check(CLI::PositiveNumber)
            ->capture_default_str();
    app.add_option("--reps", o.reps, "repetitions of every case")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
    app.add_flag("--keep", o.keep, "keep the files made in --dir");
}

int parse_command_line(CLI::App& app, int argc, char** argv, int bad) {
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : bad;
    }
    return -1;
}

std::string own_path(const char* argv0) {
    const std::string name = argv0 == nullptr ? "" : argv0;
    if (name.empty()) return "";
    std::vector<std::string> candidates;
    if (name.find('/') != std::string::npos) {
        candidates.push_back(name);
    } else if (const char* path = getenv("PATH")) {
        std::string dirs = path;
        for (size_t start = 0; start <= dirs.size();) {
            size_t colon = dirs.find(':', start);
            if (colon == std::string::npos) colon = dirs.size();
            const std::string dir = colon > start ? dirs.substr(start, colon - start) : ".";
            candidates.push_back(dir + "/" + name);
            start = colon + 1;
        }
    }
    for (const std::string& c : candidates) {
        char* resolved = realpath(c.c_str(), nullptr);
        if (resolved == nullptr) continue;
        std::string found = resolved;
        free(resolved);
        if (access(found.c_str(), X_OK) == 0) return found;
    }
    return "";
}

namespace {
// Every server still running, in the order started; whatever is left when the program ends
// is killed by the handles' destructors.
std::vector<zev_common::ChildProcess> g_servers;
}  // namespace

void add_changed_pct_option(CLI::App& app, std::string& pct) {
    app.add_option("--changed-pct", pct, "share of the blocks changed, in percent")
        ->check(
            [](const std::string& text) {
                const double value = atof(text.c_str());
                return value > 0 && value <= 100 ? std::string() : "above 0 and at most 100";
            },
            "PERCENT")
        ->capture_default_str();
}

uint64_t changed_block_count(uint64_t blocks, const std::string& pct) {
    const double share = static_cast<double>(blocks) * atof(pct.c_str()) / 100;
    return std::min<uint64_t>(blocks,
                              std::max<uint64_t>(1, static_cast<uint64_t>(std::llround(share))));
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

namespace {

uint64_t splitmix(uint64_t& x) {
    uint64_t z = (x += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

}  // namespace

std::vector<uint64_t> pick_blocks(uint64_t blocks, uint64_t count, uint64_t seed) {
    std::vector<uint64_t> all(blocks);
    for (uint64_t i = 0; i < blocks; ++i) all[i] = i;
    for (uint64_t i = 0; i < count; ++i) std::swap(all[i], all[i + splitmix(seed) % (blocks - i)]);
    all.resize(count);
    std::sort(all.begin(), all.end());
    return all;
}

bool make_image_chain(const std::vector<std::string>& paths, uint64_t size, uint64_t block,
                      const std::vector<std::vector<uint64_t>>& changes) {
    return in_child([&] {
        const std::vector<unsigned char> pool = load_executable_pool(64 * kMiB);
        std::vector<unsigned char> image(size), fresh(block);
        fill_image(image.data(), size, 1, pool);
        if (!write_whole(paths[0], image.data(), size)) return false;
        for (size_t i = 1; i < paths.size(); ++i) {
            for (uint64_t b : changes[i - 1]) {
                const uint64_t off = b * block;
                const size_t n = static_cast<size_t>(std::min(block, size - off));
                fill_image(fresh.data(), n, 1000 + b + 1000003 * (i - 1), pool);
                if (memcmp(fresh.data(), image.data() + off, n) == 0) fresh[0] ^= 0x5A;
                memcpy(image.data() + off, fresh.data(), n);
            }
            if (!write_whole(paths[i], image.data(), size)) return false;
        }
        return true;
    });
}

uint64_t file_size(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

Server start_server(const std::vector<std::string>& args, std::string& error,
                    const std::string& log_path) {
    Server s;
    zev_common::ChildOptions options;
    options.in = zev_common::Stream::inherit();
    options.out = zev_common::Stream::pipe();
    if (!log_path.empty()) options.err = zev_common::Stream::file(log_path);
    zev_common::ChildProcess child = zev_common::ChildProcess::start(args, options);
    if (!child.running()) {
        error = args[0] + ": " + child.error();
        return s;
    }
    s.pid = child.pid();
    // The first line of its output, read byte by byte so that nothing after it is taken.
    std::string line;
    char c = 0;
    while (line.size() < 128 && read(child.out_fd(), &c, 1) == 1 && c != '\n') line += c;
    child.close_out();
    unsigned port = 0;
    g_servers.push_back(std::move(child));
    if (sscanf(line.c_str(), "listening on 127.0.0.1:%u", &port) != 1) {
        error = args[0] + " did not start";
        stop_server(s);
    }
    s.port = static_cast<uint16_t>(port);
    return s;
}

void stop_server(Server& s) {
    for (auto it = g_servers.begin(); it != g_servers.end(); ++it) {
        if (it->pid() != s.pid) continue;
        it->stop(SIGTERM);
        g_servers.erase(it);
        break;
    }
    s.pid = -1;
}

void stop_all_servers() {
    while (!g_servers.empty()) {
        g_servers.back().stop(SIGTERM);
        g_servers.pop_back();
    }
}

bool same_files(const std::string& a, const std::string& b) {
    FILE* fa = fopen(a.c_str(), "rb");
    FILE* fb = fopen(b.c_str(), "rb");
    bool same = fa != nullptr && fb != nullptr;
    std::vector<char> x(1 << 20), y(1 << 20);
    while (same) {
        size_t n = fread(x.data(), 1, x.size(), fa), m = fread(y.data(), 1, y.size(), fb);
        same = n == m && memcmp(x.data(), y.data(), n) == 0;
        if (n == 0) break;
    }
    if (fa != nullptr) fclose(fa);
    if (fb != nullptr) fclose(fb);
    return same;
}

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

ChildRun run_child(const std::vector<std::string>& argv, bool capture, bool sample_rss,
                   bool to_null, const std::string& stdin_path, const std::string& stdout_path) {
    ChildRun r;
    zev_common::ChildOptions options;
    options.in =
        stdin_path.empty() ? zev_common::Stream::inherit() : zev_common::Stream::file(stdin_path);
    // Standard output on a pipe, in a file, or on /dev/null to time the program without a
    // reader.
    options.out = !stdout_path.empty() ? zev_common::Stream::file(stdout_path)
                  : to_null            ? zev_common::Stream::null()
                                       : zev_common::Stream::pipe();
    const double start = now_seconds();
    zev_common::ChildProcess child = zev_common::ChildProcess::start(argv, options);
    if (!child.running()) {
        fprintf(stderr, "cannot start %s: %s\n", argv[0].c_str(), child.error().c_str());
        return r;
    }
    std::vector<char> buf(1 << 20);
    ssize_t n;
    double last_sample = 0;
    while (child.out_fd() >= 0 && (n = read(child.out_fd(), buf.data(), buf.size())) > 0) {
        // The peak resident size of the program itself is read from /proc while it runs: the
        // rusage of a child started from this process counts this process's peak as a floor.
        if (sample_rss && now_seconds() - last_sample > 0.005) {
            r.vm_hwm_kib = std::max(r.vm_hwm_kib, read_vm_hwm(child.pid()));
            last_sample = now_seconds();
        }
        r.bytes += static_cast<uint64_t>(n);
        for (const char* p = buf.data();
             (p = static_cast<const char*>(memchr(p, '\n', buf.data() + n - p))); ++p) {
            ++r.lines;
        }
        if (capture) r.stream.append(buf.data(), static_cast<size_t>(n));
    }
    child.close_out();
    zev_common::ChildStatus status;
    child.wait(status);
    r.seconds = now_seconds() - start;
    r.status = status.exit_code;
    r.max_rss_kib = status.max_rss_kib;
    r.cpu = status.cpu_seconds;
    return r;
}

}  // namespace zev_bench
