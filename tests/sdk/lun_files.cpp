#include "lun_files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace sdktest {

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
