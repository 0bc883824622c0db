#include "lun_files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace sdktest {

Wwn wwn(uint8_t seed) {
    Wwn id;
    for (size_t i = 0; i < id.size(); ++i) id[i] = static_cast<uint8_t>(seed + i * 17);
    return id;
}

std::string wwn_hex(const Wwn& id) {
    std::string s;
    char t[3];
    for (uint8_t b : id) {
        std::snprintf(t, sizeof t, "%02x", b);
        s += t;
    }
    return s;
}

testpeer::Bytes rec(const Wwn& id, uint64_t phyOffset, uint64_t dataLen) {
    testpeer::Bytes b(id.begin(), id.end());
    b.insert(b.end(), 24, 0xEE);
    testpeer::put64(b, phyOffset);
    testpeer::put64(b, dataLen);
    b.insert(b.end(), 8, 0xDD);
    return b;
}

testpeer::Bytes transfer_payload(uint16_t result, uint32_t count,
                                 const std::vector<testpeer::Bytes>& records) {
    testpeer::Bytes b;
    testpeer::put16(b, result);
    testpeer::put32(b, count);
    for (const auto& r : records) b.insert(b.end(), r.begin(), r.end());
    return b;
}

TempDir::TempDir() {
    char tmpl[] = "/tmp/sdk-lun-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) ADD_FAILURE() << "mkdtemp";
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void make_lun_file(const std::string& path, uint64_t size, uint64_t offset,
                   const std::vector<char>& fill) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(ftruncate(fd, static_cast<off_t>(size)), 0);
    if (!fill.empty()) {
        ASSERT_EQ(pwrite(fd, fill.data(), fill.size(), static_cast<off_t>(offset)),
                  static_cast<ssize_t>(fill.size()));
    }
    ::close(fd);
}

std::vector<char> read_file_range(const std::string& path, uint64_t offset, size_t n) {
    std::vector<char> out(n);
    int fd = ::open(path.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0) << path;
    if (fd < 0) return out;
    EXPECT_EQ(pread(fd, out.data(), n, static_cast<off_t>(offset)), static_cast<ssize_t>(n));
    ::close(fd);
    return out;
}

std::vector<char> pattern(size_t n, unsigned seed) {
    std::vector<char> v(n);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        v[i] = static_cast<char>(x >> 16);
    }
    return v;
}

int add_device(std::list<HFILE>& list, const std::string& path) {
    int fd = ::open(path.c_str(), O_RDWR);
    EXPECT_GE(fd, 0) << path;
    HFILE f;
    f.devPath = path;
    f.fd = fd;
    list.push_back(f);
    return fd;
}

}  // namespace sdktest
