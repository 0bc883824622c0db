#include "test_common.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

namespace testcommon {

TempDir::TempDir(const std::string& prefix) {
    std::string tmpl = "/tmp/" + prefix + "-XXXXXX";
    if (mkdtemp(&tmpl[0]) == nullptr) {
        ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
        return;
    }
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

void write_file(const std::string& path, const std::string& content, unsigned mode) {
    {
        std::ofstream f(path, std::ios::binary | std::ios::trunc);
        f.write(content.data(), static_cast<std::streamsize>(content.size()));
        f.close();
        if (!f) ADD_FAILURE() << "cannot write " << path;
    }
    chmod(path.c_str(), mode);
}

std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

void fill_pattern(void* out, size_t n, uint64_t seed) {
    unsigned char* p = static_cast<unsigned char*>(out);
    uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (size_t i = 0; i < n; i += 8) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        std::memcpy(p + i, &x, n - i < 8 ? n - i : 8);
    }
}

Wwn wwn(unsigned seed) {
    Wwn id;
    for (size_t i = 0; i < id.size(); ++i) id[i] = static_cast<uint8_t>(seed + i * 17);
    return id;
}

std::string wwn_hex(const uint8_t* id) {
    char text[33];
    for (int i = 0; i < 16; ++i) std::snprintf(text + 2 * i, 3, "%02x", id[i]);
    return text;
}

uint32_t reference_crc(const void* data, size_t n) {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
        c ^= p[i];
        for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xED58F323u : c >> 1;
    }
    return c;
}

RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const RunOptions& options) {
    RunResult result;
    int out_pipe[2];
    int err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return result;
    }
    if (pipe2(err_pipe, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        close(out_pipe[0]);
        close(out_pipe[1]);
        return result;
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        int in = options.stdin_fd >= 0 ? options.stdin_fd : open("/dev/null", O_RDONLY);
        dup2(in, 0);
        if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
        if (options.address_space != 0) {
            struct rlimit limit = {options.address_space, options.address_space};
            if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(125);
        }
        signal(SIGPIPE, SIG_DFL);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (pid < 0) {
        ADD_FAILURE() << "fork: " << std::strerror(errno);
        close(out_pipe[0]);
        close(err_pipe[0]);
        return result;
    }
    struct pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open_count = 2;
    char buffer[65536];
    while (open_count > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_count;
            }
        }
    }
    for (const pollfd& p : fds)
        if (p.fd >= 0) close(p.fd);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    return result;
}

const char* const LoopDevice::kLosetup = "/sbin/losetup";

LoopDevice::LoopDevice(const std::string& backing) {
    if (access(kLosetup, X_OK) != 0) {
        error_ = "losetup is not installed";
        return;
    }
    const RunResult r = run_program(kLosetup, {"--find", "--show", backing});
    if (r.exit_code == 0 && !r.out.empty())
        device_ = r.out.substr(0, r.out.find('\n'));
    else
        error_ = r.err.empty() ? "losetup exit status " + std::to_string(r.exit_code) : r.err;
}

LoopDevice::~LoopDevice() {
    if (device_.empty()) return;
    const RunResult r = run_program(kLosetup, {"--detach", device_});
    if (r.exit_code != 0) std::cerr << "could not detach " << device_ << ": " << r.err << "\n";
}

}  // namespace testcommon
