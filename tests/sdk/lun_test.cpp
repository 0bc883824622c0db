// Carrying out address maps on LUN stand-in files: device lookup, holes, the 2 MiB floor,
// capacity limits and failing devices.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

#include "lun_files.h"
#include "sdk_fixture.h"

using namespace sdktest;

namespace {

constexpr uint64_t k2M = 0x200000;

class Lun : public SdkTest {
  protected:
    // A LUN file named after `id` (optionally with a prefix and in upper case).
    std::string lun(const Wwn& id, const std::string& prefix = "wwn-0x", bool upper = false) {
        std::string hex = wwn_hex(id);
        if (upper)
            for (char& c : hex) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
        return dir.path() + "/" + prefix + hex;
    }
    int read_map(const std::vector<Bytes>& recs, char* buf, unsigned long long& size) {
        map = concat({});
        for (const Bytes& r : recs) map.insert(map.end(), r.begin(), r.end());
        return impl->ReadLun(impl->m_lunFileList, reinterpret_cast<const vhd_Rec*>(map.data()),
                             static_cast<unsigned>(recs.size()), buf, size);
    }
    int write_map(const std::vector<Bytes>& recs, const char* buf, long long& len) {
        map = concat({});
        for (const Bytes& r : recs) map.insert(map.end(), r.begin(), r.end());
        return impl->WriteLun(impl->m_lunFileList, reinterpret_cast<const vhd_Rec*>(map.data()),
                              static_cast<unsigned>(recs.size()), buf, len);
    }
    void expect_read_failure(const std::string& message) {
        EXPECT_TRUE(log_is({{kTrace, "enter CQuillonvardeSDKImpl::ReadLun:..."},
                            {kError, message},
                            {kTrace, "leave CQuillonvardeSDKImpl::ReadLun: NOK"}},
                           kOperations));
    }
    void expect_write_failure(const std::string& message) {
        EXPECT_TRUE(log_is({{kTrace, "enter CQuillonvardeSDKImpl::WriteLun:..."},
                            {kError, message},
                            {kTrace, "leave CQuillonvardeSDKImpl::WriteLun: NOK"}},
                           kOperations));
    }
    TempDir dir;
    Bytes map;
};

}  // namespace

TEST_F(Lun, String2Hex) {
    unsigned char seq[16], ab[16];
    for (int i = 0; i < 16; ++i) {
        seq[i] = static_cast<unsigned char>(i);
        ab[i] = 0xAB;
    }
    EXPECT_EQ(impl->String2Hex(seq, 32), "000102030405060708090a0b0c0d0e0f");
    EXPECT_EQ(impl->String2Hex(ab, 0), "abababababababababababababababab");
    auto log = testhost::normalized_entries();
    ASSERT_EQ(log.size(), 6u);
    EXPECT_EQ(log[0].text, "enter CQuillonvardeSDKImpl::String2Hex:...");
    EXPECT_EQ(log[0].level, kTrace);
    EXPECT_EQ(log[1].text, "String2Hex: dev = 000102030405060708090a0b0c0d0e0f");
    EXPECT_EQ(log[1].level, kInfo);
    EXPECT_EQ(log[2].text, "leave CQuillonvardeSDKImpl::String2Hex: OK");
    EXPECT_EQ(log[2].level, kTrace);
}

// Extent, hole, extent on a second LUN: the hole's zeros lie between the two extents' data
// and count in the out-length.
TEST_F(Lun, ReadHolesBetweenExtentsAcrossTwoLuns) {
    Wwn a = wwn(1), b = wwn(2);
    std::vector<char> da = pattern(4096, 11), db = pattern(4096, 12);
    make_lun_file(lun(a), 4 * k2M, k2M + 512, da);
    make_lun_file(lun(b, "scsi-3"), 4 * k2M, 3 * k2M, db);
    add_device(impl->m_lunFileList, lun(a));
    add_device(impl->m_lunFileList, lun(b, "scsi-3"));
    std::vector<char> buf(16384, 'x');
    unsigned long long size = buf.size();
    ASSERT_EQ(read_map({rec(a, k2M + 512, 4096), rec(b, 0, 4096), rec(b, 3 * k2M, 4096)},
                       buf.data(), size),
              0);
    EXPECT_EQ(size, 12288u);
    EXPECT_EQ(0, std::memcmp(buf.data(), da.data(), 4096));
    for (size_t i = 4096; i < 8192; ++i) ASSERT_EQ(buf[i], 0) << i;
    EXPECT_EQ(0, std::memcmp(buf.data() + 8192, db.data(), 4096));
    EXPECT_EQ(buf[12288], 'x');
    EXPECT_TRUE(log_is({{kTrace, "enter CQuillonvardeSDKImpl::ReadLun:..."},
                        {kTrace, "leave CQuillonvardeSDKImpl::ReadLun: OK"}},
                       kOperations));
    // One key per data extent; the hole is not looked up.
    auto all = testhost::normalized_entries();
    int keys = 0;
    for (const auto& e : all) keys += e.text.rfind("String2Hex: dev = ", 0) == 0;
    EXPECT_EQ(keys, 2);
}

TEST_F(Lun, UpperCaseNamesNeverMatch) {
    Wwn a = wwn(0xA0);  // bytes with letters in their hex form
    make_lun_file(lun(a, "wwn-0x", true), 4 * k2M);
    add_device(impl->m_lunFileList, lun(a, "wwn-0x", true));
    char buf[64];
    unsigned long long size = 64;
    EXPECT_EQ(read_map({rec(a, k2M, 64)}, buf, size), 1);
    expect_read_failure("ReadLun: related LUN not found!  (line #)");
    EXPECT_EQ(size, 64u);
    testhost::clear();
    long long len = 64;
    EXPECT_EQ(write_map({rec(a, k2M, 64)}, buf, len), 1);
    expect_write_failure("WriteLun: related LUN not found!  (line #)");
    EXPECT_EQ(len, 64);
}

// Two devices whose paths end in the same digits: the earlier one carries the transfer.
TEST_F(Lun, FirstOfTwoMatchingDevicesWins) {
    Wwn a = wwn(5);
    std::vector<char> first = pattern(256, 1), second = pattern(256, 2);
    make_lun_file(lun(a, "first-"), 4 * k2M, k2M, first);
    make_lun_file(lun(a, "second-"), 4 * k2M, k2M, second);
    add_device(impl->m_lunFileList, lun(a, "first-"));
    add_device(impl->m_lunFileList, lun(a, "second-"));
    std::vector<char> buf(256);
    unsigned long long size = 256;
    ASSERT_EQ(read_map({rec(a, k2M, 256)}, buf.data(), size), 0);
    EXPECT_EQ(buf, first);
    std::vector<char> data = pattern(128, 9);
    long long len = 128;
    ASSERT_EQ(write_map({rec(a, 2 * k2M, 128)}, data.data(), len), 0);
    EXPECT_EQ(read_file_range(lun(a, "first-"), 2 * k2M, 128), data);
    EXPECT_EQ(read_file_range(lun(a, "second-"), 2 * k2M, 128), std::vector<char>(128, 0));
}

TEST_F(Lun, TwoMebibyteFloor) {
    Wwn a = wwn(6);
    std::vector<char> d = pattern(16, 3);
    make_lun_file(lun(a), 4 * k2M, k2M, d);
    add_device(impl->m_lunFileList, lun(a));
    char buf[16];
    unsigned long long size = 16;
    EXPECT_EQ(read_map({rec(a, 0x1FFFFF, 16)}, buf, size), 1);
    expect_read_failure("ReadLun: fail! The phyOffset is less than 2M bytes!  (line #)");
    EXPECT_EQ(read_map({rec(a, 0x200000, 16)}, buf, size), 0);
    EXPECT_EQ(0, std::memcmp(buf, d.data(), 16));
    testhost::clear();
    long long len = 16;
    EXPECT_EQ(write_map({rec(a, 0x1FFFFF, 16)}, buf, len), 1);
    expect_write_failure("WriteLun: fail! The phyOffset is less than 2M bytes!  (line #)");
    EXPECT_EQ(read_file_range(lun(a), 0x1FFFFF, 1), std::vector<char>(1, 0));
    EXPECT_EQ(write_map({rec(a, 0x200000, 16)}, buf, len), 0);
    EXPECT_EQ(len, 16);
}

// Extents adding up to the capacity fit; one byte more fails and leaves the length alone.
TEST_F(Lun, CapacityExactAndOneMore) {
    Wwn a = wwn(7);
    make_lun_file(lun(a), 4 * k2M);
    add_device(impl->m_lunFileList, lun(a));
    std::vector<char> buf(3000, 'x');
    unsigned long long size = 3000;
    EXPECT_EQ(read_map({rec(a, k2M, 1000), rec(a, 0, 2000)}, buf.data(), size), 0);
    EXPECT_EQ(size, 3000u);
    testhost::clear();
    std::fill(buf.begin(), buf.end(), 'x');
    EXPECT_EQ(read_map({rec(a, k2M, 1000), rec(a, 2 * k2M, 2001)}, buf.data(), size), 1);
    expect_read_failure("ReadLun: fail! too much data!  (line #)");
    EXPECT_EQ(size, 3000u);
    // The extent before the failing one is already in place.
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(buf[1000], 'x');
    testhost::clear();
    EXPECT_EQ(read_map({rec(a, 0, 3001)}, buf.data(), size), 1);
    expect_read_failure("ReadLun: fail! too much data!  (line #)");

    std::vector<char> data = pattern(3000, 4);
    long long len = 3000;
    EXPECT_EQ(write_map({rec(a, k2M, 1000), rec(a, 2 * k2M, 2000)}, data.data(), len), 0);
    EXPECT_EQ(len, 3000);
    testhost::clear();
    EXPECT_EQ(write_map({rec(a, k2M, 1000), rec(a, 2 * k2M, 2001)}, data.data(), len), 1);
    expect_write_failure("WriteLun: fail! too much data!  (line #)");
    EXPECT_EQ(len, 3000);
}

// A length so large that adding it to the running total would wrap around is refused, not
// counted as fitting.
TEST_F(Lun, HugeExtentLengthDoesNotWrapAroundTheCapacity) {
    Wwn a = wwn(8);
    make_lun_file(lun(a), 4 * k2M);
    add_device(impl->m_lunFileList, lun(a));
    std::vector<char> buf(8192, 'x');
    unsigned long long size = 8192;
    EXPECT_EQ(read_map({rec(a, k2M, 4096), rec(a, 0, 0xFFFFFFFFFFFFF001ULL)}, buf.data(), size), 1);
    expect_read_failure("ReadLun: fail! too much data!  (line #)");
    testhost::clear();
    EXPECT_EQ(
        read_map({rec(a, k2M, 4096), rec(a, 2 * k2M, 0xFFFFFFFFFFFFF001ULL)}, buf.data(), size), 1);
    expect_read_failure("ReadLun: fail! too much data!  (line #)");
    EXPECT_EQ(size, 8192u);
    testhost::clear();
    long long len = 8192;
    EXPECT_EQ(
        write_map({rec(a, k2M, 4096), rec(a, 2 * k2M, 0xFFFFFFFFFFFFF001ULL)}, buf.data(), len), 1);
    expect_write_failure("WriteLun: fail! too much data!  (line #)");
}

// A write map has no holes: phyOffset 0 fails, by lookup or by the 2 MiB test.
TEST_F(Lun, WriteMapWithPhyOffsetZero) {
    Wwn a = wwn(9), unknown = wwn(10);
    make_lun_file(lun(a), 4 * k2M);
    add_device(impl->m_lunFileList, lun(a));
    char data[32] = {};
    long long len = 32;
    EXPECT_EQ(write_map({rec(unknown, 0, 32)}, data, len), 1);
    expect_write_failure("WriteLun: related LUN not found!  (line #)");
    testhost::clear();
    EXPECT_EQ(write_map({rec(a, 0, 32)}, data, len), 1);
    expect_write_failure("WriteLun: fail! The phyOffset is less than 2M bytes!  (line #)");
    EXPECT_EQ(len, 32);
}

TEST_F(Lun, WriteMapWithOnlyEmptyExtents) {
    Wwn a = wwn(11);
    make_lun_file(lun(a), 4 * k2M);
    add_device(impl->m_lunFileList, lun(a));
    char data[32] = {};
    long long len = 32;
    EXPECT_EQ(write_map({rec(a, k2M, 0), rec(a, 2 * k2M, 0)}, data, len), 1);
    EXPECT_EQ(len, 0);
    expect_write_failure("WriteLun: fail! The data written is less than zero!  (line #)");
}

TEST_F(Lun, InvalidArguments) {
    Wwn a = wwn(12);
    char buf[16];
    unsigned long long size = 16;
    EXPECT_EQ(read_map({rec(a, k2M, 16)}, buf, size), 1);  // no devices
    expect_read_failure("ReadLun: invalid parameter!  (line #)");
    make_lun_file(lun(a), 4 * k2M);
    add_device(impl->m_lunFileList, lun(a));
    testhost::clear();
    EXPECT_EQ(read_map({}, buf, size), 1);
    EXPECT_EQ(read_map({rec(a, k2M, 16)}, nullptr, size), 1);
    unsigned long long zero = 0;
    EXPECT_EQ(read_map({rec(a, k2M, 16)}, buf, zero), 1);
    long long neg = -1, len = 16;
    EXPECT_EQ(write_map({rec(a, k2M, 16)}, buf, neg), 1);
    EXPECT_EQ(write_map({rec(a, k2M, 16)}, nullptr, len), 1);
    EXPECT_EQ(write_map({}, buf, len), 1);
    int read_invalid = 0, write_invalid = 0;
    for (const auto& e : testhost::normalized_entries()) {
        read_invalid += e.text == "ReadLun: invalid parameter!  (line #)";
        write_invalid += e.text == "WriteLun: invalid parameter!  (line #)";
    }
    EXPECT_EQ(read_invalid, 3);
    EXPECT_EQ(write_invalid, 3);
}

// A device that ends inside an extent: the call fails instead of counting missing bytes.
TEST_F(Lun, DeviceEndingInsideAnExtent) {
    Wwn a = wwn(13);
    make_lun_file(lun(a), k2M + 100);
    add_device(impl->m_lunFileList, lun(a));
    std::vector<char> buf(4096, 'x');
    unsigned long long size = 4096;
    EXPECT_EQ(read_map({rec(a, k2M, 4096)}, buf.data(), size), 1);
    expect_read_failure(
        "ReadLun: device ended before the extent was complete, 3996 bytes missing!  (line #)");
    EXPECT_EQ(size, 4096u);
}

// Descriptors that cannot seek or cannot transfer: nothing moves, the system error is told.
TEST_F(Lun, FailingSeekReadAndWrite) {
    Wwn p = wwn(14), r = wwn(15);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    HFILE pipeDev;
    pipeDev.devPath = lun(p);
    pipeDev.fd = fds[0];
    impl->m_lunFileList.push_back(pipeDev);
    std::vector<char> buf(64, 'x');
    unsigned long long size = 64;
    EXPECT_EQ(read_map({rec(p, k2M, 64)}, buf.data(), size), 1);
    expect_read_failure("ReadLun: cannot seek to the extent: Illegal seek  (line #)");
    EXPECT_EQ(buf, std::vector<char>(64, 'x'));
    testhost::clear();
    long long len = 64;
    EXPECT_EQ(write_map({rec(p, k2M, 64)}, buf.data(), len), 1);
    expect_write_failure("WriteLun: cannot seek to the extent: Illegal seek  (line #)");

    // An offset the file offset type cannot hold.
    make_lun_file(lun(r), 4 * k2M);
    int rfd = ::open(lun(r).c_str(), O_RDONLY);
    HFILE ro;
    ro.devPath = lun(r);
    ro.fd = rfd;
    impl->m_lunFileList.push_back(ro);
    testhost::clear();
    EXPECT_EQ(read_map({rec(r, 0x8000000000000000ULL, 64)}, buf.data(), size), 1);
    expect_read_failure("ReadLun: cannot seek to the extent: Invalid argument  (line #)");
    // Writing through a read-only descriptor fails with the system's text.
    testhost::clear();
    EXPECT_EQ(write_map({rec(r, k2M, 64)}, buf.data(), len), 1);
    expect_write_failure("WriteLun: Bad file descriptor  (line #)");
    ::close(fds[1]);
}

TEST_F(Lun, FailingRead) {
    Wwn w = wwn(16);
    make_lun_file(lun(w), 4 * k2M);
    int wfd = ::open(lun(w).c_str(), O_WRONLY);
    HFILE wo;
    wo.devPath = lun(w);
    wo.fd = wfd;
    impl->m_lunFileList.push_back(wo);
    char buf[64];
    unsigned long long size = 64;
    EXPECT_EQ(read_map({rec(w, k2M, 64)}, buf, size), 1);
    expect_read_failure("ReadLun: Bad file descriptor  (line #)");
    EXPECT_EQ(size, 64u);
}

TEST_F(Lun, CloseOnEmptyListOnlyLogs) {
    impl->CloseLocalLunDevFile();
    auto log = testhost::normalized_entries();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].text, "enter CQuillonvardeSDKImpl::CloseLocalLunDevFile:...");
    EXPECT_EQ(log[1].text, "leave CQuillonvardeSDKImpl::CloseLocalLunDevFile: OK");
}

// A device path longer than 127 characters is refused, not cut (a cut path could name
// another device); 127 characters are still tried.
TEST_F(Lun, OverlongDevicePathIsRefused) {
    std::string name(112, 'n');  // "/dev/disk/by-id/" + 112 = 128 characters
    std::list<HFILE> list;
    impl->m_uiOpenMode = OPEN_READONLY;
    EXPECT_EQ(impl->OpenLocalLunDevFile({name}, list), 1);
    EXPECT_TRUE(list.empty());
    EXPECT_TRUE(log_is({{kTrace, "enter CQuillonvardeSDKImpl::OpenLocalLunDevFile:..."},
                        {kError,
                         "OpenLocalLunDevFile: device path longer than 127 characters refused: "
                         "/dev/disk/by-id/" +
                             name + "  (line #)"},
                        {kTrace, "leave CQuillonvardeSDKImpl::OpenLocalLunDevFile: NOK"}},
                       kOperations));
    testhost::clear();
    EXPECT_EQ(impl->OpenLocalLunDevFile({std::string(111, 'n')}, list), 1);
    EXPECT_TRUE(log_is({{kTrace, "enter CQuillonvardeSDKImpl::OpenLocalLunDevFile:..."},
                        {kError, "OpenLocalLunDevFile: No such file or directory  (line #)"},
                        {kTrace, "leave CQuillonvardeSDKImpl::OpenLocalLunDevFile: NOK"}},
                       kOperations));
}
