#include "bench_support.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <string>
#include <vector>

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

bool make_image_sets(const std::vector<std::pair<ImageSet, size_t>>& sets, size_t block) {
    const pid_t maker = fork();
    if (maker == 0) {
        const std::vector<unsigned char> pool = load_executable_pool(64 * kMiB);
        for (const auto& set : sets) make_images(set.first, set.second * kMiB, block, pool);
        _exit(0);
    }
    int status = 0;
    waitpid(maker, &status, 0);
    return maker > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
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
    app.add_flag("--keep", o.keep, "keep the images at the end");
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
std::vector<pid_t> g_servers;
}

Server start_server(const std::vector<std::string>& args, std::string& error) {
    Server s;
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + strerror(errno);
        return s;
    }
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (rc != 0) {
        close(out[0]);
        error = args[0] + ": " + strerror(rc);
        return s;
    }
    g_servers.push_back(pid);
    s.pid = pid;
    FILE* f = fdopen(out[0], "r");
    char line[128] = {};
    unsigned port = 0;
    if (f == nullptr || fgets(line, sizeof line, f) == nullptr ||
        sscanf(line, "listening on 127.0.0.1:%u", &port) != 1) {
        error = args[0] + " did not start";
        stop_server(s);
    }
    if (f != nullptr) fclose(f);
    s.port = static_cast<uint16_t>(port);
    return s;
}

void stop_server(Server& s) {
    if (s.pid <= 0) return;
    kill(s.pid, SIGTERM);
    int status = 0;
    while (waitpid(s.pid, &status, 0) < 0 && errno == EINTR) {
    }
    g_servers.erase(std::remove(g_servers.begin(), g_servers.end(), s.pid), g_servers.end());
    s.pid = -1;
}

void stop_all_servers() {
    while (!g_servers.empty()) {
        Server s;
        s.pid = g_servers.back();
        stop_server(s);
    }
}

double now_seconds() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
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
    int fds[2];
    if (pipe(fds) != 0) return r;
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    // posix_spawn starts the child without copying this process's memory, so the child's peak
    // resident size is the program's own.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // Standard output on the pipe, in a file, or on /dev/null to time the program without a
    // reader.
    if (!stdout_path.empty()) {
        posix_spawn_file_actions_addopen(&actions, 1, stdout_path.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
    } else if (to_null) {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    } else {
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    }
    if (!stdin_path.empty()) {
        posix_spawn_file_actions_addopen(&actions, 0, stdin_path.c_str(), O_RDONLY, 0);
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

}  // namespace zev_bench
