#include "test_common.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "child_process.h"

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

std::vector<std::string> names_with(const std::string& dir, const std::string& prefix) {
    std::vector<std::string> found;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (std::string(e->d_name).rfind(prefix, 0) == 0) found.push_back(e->d_name);
        closedir(d);
    }
    return found;
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
    std::vector<std::string> argv = {program};
    argv.insert(argv.end(), args.begin(), args.end());
    zev_common::ChildOptions o;
    o.cwd = options.cwd;
    o.address_space = options.address_space;
    o.in = options.stdin_fd >= 0 ? zev_common::Stream::from_fd(options.stdin_fd)
                                 : zev_common::Stream::null();
    o.out = zev_common::Stream::capture();
    o.err = zev_common::Stream::capture();
    const zev_common::ChildResult r = zev_common::run_child(argv, o);
    if (!r.error.empty()) ADD_FAILURE() << program << ": " << r.error;
    RunResult result;
    result.out = r.out;
    result.err = r.err;
    result.exit_code = r.status.exit_code;
    result.signal = r.status.signal;
    return result;
}

std::string wait_status(zev_common::ChildProcess& child) {
    zev_common::ChildStatus status;
    return child.wait(status) ? status.describe() : "not waited";
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
