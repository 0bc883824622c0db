// SAN sessions on LUN devices under "/dev/disk/by-id/" in a private mount namespace (root
// only): regular files and, where the machine allows, loop block devices.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>

#include "lun_files.h"
#include "private_mounts.h"
#include "sdk_fixture.h"

using namespace sdktest;

namespace {

constexpr uint64_t k2M = 0x200000;
const std::string kById = "/dev/disk/by-id/";

Bytes map_reply(const std::vector<Bytes>& recs) {
    return transfer_reply(12, transfer_payload(0, static_cast<uint32_t>(recs.size()), recs));
}

bool fd_open(int fd) { return fcntl(fd, F_GETFD) != -1; }

class SanDevices : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why = mounts.empty_disk_by_id();
        if (!why.empty()) GTEST_SKIP() << "no private /dev/disk/by-id: " << why;
        ASSERT_EQ(testhost::install(), 0);
        impl = make();
    }
    void TearDown() override {
        if (impl != nullptr) {
            impl->CloseLocalLunDevFile();
            impl->DisConnectHXA();
            peer.join();
            CQuillonvardeSDK::DestroyInstance(impl);
        }
    }
    zev_common::PrivateMounts mounts;
    Peer peer;
    CQuillonvardeSDKImpl* impl = nullptr;
};

}  // namespace

// Three names, the second missing: the open stops there with the first device left open;
// a later open appends; the close closes every device even though the service refuses it.
TEST_F(SanDevices, PartialOpenThenOpenAndClose) {
    Wwn a = wwn(0x31), b = wwn(0x32), c = wwn(0x33);
    make_lun_file(kById + "wwn-0x" + wwn_hex(a), 4 * k2M);
    make_lun_file(kById + "wwn-0x" + wwn_hex(c), 4 * k2M);
    std::string token(127, 'K'), path(511, 'P');
    peer.serve([](Conn& conn) {
        conn.read_exact(658);
        conn.send(open_reply(0, 0xABCD, 10));
        conn.read_exact(22);
        conn.send(close_reply(5, 11));
        conn.read_all();
    });
    ASSERT_EQ(impl->ConnectHXA("127.0.0.1", peer.port(), token, 0), 0);
    testhost::clear();

    unsigned int handle = 1;
    std::list<std::string> names = {"wwn-0x" + wwn_hex(a), "wwn-0x" + wwn_hex(b),
                                    "wwn-0x" + wwn_hex(c)};
    EXPECT_EQ(impl->OpenDisk(names, path, OPEN_READWRITE, handle, TRANS_SAN), 1);
    EXPECT_TRUE(log_is({{kTrace, "enter CQuillonvardeSDKImpl::OpenDisk..."},
                        {kTrace, "enter CQuillonvardeSDKImpl::OpenLocalLunDevFile:..."},
                        {kError, "OpenLocalLunDevFile: No such file or directory  (line #)"},
                        {kTrace, "leave CQuillonvardeSDKImpl::OpenLocalLunDevFile: NOK"},
                        {kError, "OpenDisk: open disk fail  (line #)"},
                        {kTrace, "leave CQuillonvardeSDKImpl::OpenDisk: NOK"}},
                       kOperations));
    ASSERT_EQ(impl->m_lunFileList.size(), 1u);
    EXPECT_EQ(impl->m_lunFileList.front().devPath, kById + "wwn-0x" + wwn_hex(a));
    int fdA = impl->m_lunFileList.front().fd;
    EXPECT_TRUE(fd_open(fdA));
    EXPECT_EQ(impl->m_uiSeqNo, 0u);
    EXPECT_EQ(handle, 1u);

    testhost::clear();
    EXPECT_EQ(impl->OpenDisk({"wwn-0x" + wwn_hex(c)}, path, OPEN_READWRITE, handle, TRANS_SAN), 0);
    EXPECT_EQ(handle, 0xABCDu);
    EXPECT_TRUE(log_is({{kTrace, "enter CQuillonvardeSDKImpl::OpenDisk..."},
                        {kTrace, "enter CQuillonvardeSDKImpl::OpenLocalLunDevFile:..."},
                        {kTrace, "leave CQuillonvardeSDKImpl::OpenLocalLunDevFile: OK"},
                        {kInfo, "OpenDisk: send open disk cmd to server success!"},
                        {kInfo, "OpenDisk: recv req head from server success! msg length:6"},
                        {kInfo, "OpenDisk: success!"},
                        {kTrace, "leave CQuillonvardeSDKImpl::OpenDisk: OK"}},
                       kOperations));
    ASSERT_EQ(impl->m_lunFileList.size(), 2u);
    int fdC = impl->m_lunFileList.back().fd;
    EXPECT_EQ(impl->m_lunFileList.back().devPath, kById + "wwn-0x" + wwn_hex(c));

    testhost::clear();
    EXPECT_EQ(impl->CloseDisk(0xABCD), 1);
    EXPECT_TRUE(log_is({{kTrace, "enter CQuillonvardeSDKImpl::CloseDisk..."},
                        {kTrace, "enter CQuillonvardeSDKImpl::CloseLocalLunDevFile:..."},
                        {kTrace, "leave CQuillonvardeSDKImpl::CloseLocalLunDevFile: OK"},
                        {kInfo, "CloseDisk: send close disk cmd to server success!"},
                        {kInfo, "CloseDisk: recv req head from server success! msg length:2"},
                        {kError, "CloseDisk: file handle does not exist!  (line #)"},
                        {kTrace, "leave CQuillonvardeSDKImpl::CloseDisk: NOK"}},
                       kOperations));
    EXPECT_TRUE(impl->m_lunFileList.empty());
    EXPECT_FALSE(fd_open(fdA));
    EXPECT_FALSE(fd_open(fdC));

    impl->DisConnectHXA();
    peer.join();
    Bytes got = peer.received();
    ASSERT_EQ(got.size(), 658u + 22u);
    SentHeader h = parse_header(got);
    EXPECT_EQ(to_hex(Bytes(got.begin(), got.begin() + 14)),
              "35 35 00 00 0A 00 00 00 00 00 80 02 00 00");
    EXPECT_EQ(h.crc, reference_crc(got.data(), 14));
    for (size_t i = 0; i < 511; ++i) ASSERT_EQ(got[18 + i], 'P') << i;
    EXPECT_EQ(got[18 + 511], 0);
    for (size_t i = 0; i < 127; ++i) ASSERT_EQ(got[18 + 512 + i], 'K') << i;
    EXPECT_EQ(got[18 + 639], 0);
    SentHeader close = parse_header(got, 658);
    EXPECT_EQ(close.operation, 11);
    EXPECT_EQ(close.seqNo, 1u);
    EXPECT_EQ(to_hex(Bytes(got.begin() + 658 + 18, got.end())), "CD AB 00 00");
}

// A name that would make the path longer than 127 characters is refused, even when the
// cut path names an existing device.
TEST_F(SanDevices, OverlongNameIsNotCutToAnotherDevice) {
    std::string name = "wwn-0x" + std::string(120, '7');
    std::string cut = (kById + name).substr(0, 127);
    make_lun_file(cut, 4 * k2M);
    peer.serve([](Conn& conn) { conn.read_all(); });
    connect_plain(impl, peer);
    unsigned int handle = 0;
    EXPECT_EQ(impl->OpenDisk({name}, "/d", OPEN_READWRITE, handle, TRANS_SAN), 1);
    EXPECT_TRUE(impl->m_lunFileList.empty());
    EXPECT_TRUE(log_is(
        {{kTrace, "enter CQuillonvardeSDKImpl::OpenDisk..."},
         {kTrace, "enter CQuillonvardeSDKImpl::OpenLocalLunDevFile:..."},
         {kError, "OpenLocalLunDevFile: device path longer than 127 characters refused: " + kById +
                      name + "  (line #)"},
         {kTrace, "leave CQuillonvardeSDKImpl::OpenLocalLunDevFile: NOK"},
         {kError, "OpenDisk: open disk fail  (line #)"},
         {kTrace, "leave CQuillonvardeSDKImpl::OpenDisk: NOK"}},
        kOperations));
}

// A whole SAN session on files under /dev/disk/by-id: a write across two LUNs, a read with
// a hole, then close.
TEST_F(SanDevices, ReadAndWriteSession) {
    Wwn a = wwn(0x51), b = wwn(0x52);
    std::string pa = kById + "wwn-0x" + wwn_hex(a), pb = kById + "scsi-3" + wwn_hex(b);
    make_lun_file(pa, 4 * k2M);
    make_lun_file(pb, 4 * k2M);
    std::vector<Bytes> write_map = {rec(a, 3 * k2M, 6000), rec(b, k2M + 4096, 10000)};
    std::vector<Bytes> read_map = {rec(b, k2M + 4096, 10000), rec(a, 0, 4096),
                                   rec(a, 3 * k2M, 6000)};
    peer.serve([&](Conn& conn) {
        conn.read_exact(658);
        conn.send(open_reply(0, 3, 10));
        conn.read_exact(38);
        conn.send(map_reply(write_map));
        conn.read_exact(38);
        conn.send(map_reply(read_map));
        conn.read_exact(22);
        conn.send(close_reply(0, 11));
        conn.read_all();
    });
    connect_plain(impl, peer);
    unsigned int handle = 0;
    ASSERT_EQ(impl->OpenDisk({"wwn-0x" + wwn_hex(a), "scsi-3" + wwn_hex(b)}, "/vm/d",
                             OPEN_READWRITE, handle, TRANS_SAN),
              0)
        << testhost::dump();
    std::vector<char> data = pattern(16000, 77);
    long long len = 16000;
    ASSERT_EQ(impl->WriteDisk(handle, 0, 16000, data.data(), len), 0) << testhost::dump();
    EXPECT_EQ(len, 16000);
    std::vector<char> buf(20096, 'x');
    unsigned long long size = buf.size();
    ASSERT_EQ(impl->ReadDisk(handle, 0, 20096, buf.data(), size), 0) << testhost::dump();
    EXPECT_EQ(size, 20096u);
    EXPECT_EQ(0, std::memcmp(buf.data(), data.data() + 6000, 10000));
    for (size_t i = 10000; i < 14096; ++i) ASSERT_EQ(buf[i], 0);
    EXPECT_EQ(0, std::memcmp(buf.data() + 14096, data.data(), 6000));
    EXPECT_EQ(impl->CloseDisk(handle), 0);
    EXPECT_EQ(read_file_range(pa, 3 * k2M, 6000),
              std::vector<char>(data.begin(), data.begin() + 6000));
    EXPECT_EQ(read_file_range(pb, k2M + 4096, 10000),
              std::vector<char>(data.begin() + 6000, data.end()));
}

// Real block devices: loop devices behind names under /dev/disk/by-id.
TEST_F(SanDevices, LoopDevices) {
    if (access("/dev/loop-control", F_OK) != 0) GTEST_SKIP() << "no loop device support";
    TempDir dir;
    Wwn a = wwn(0x61), b = wwn(0x62);
    std::string fa = dir.path() + "/a.img", fb = dir.path() + "/b.img";
    make_lun_file(fa, 8 << 20);
    make_lun_file(fb, 8 << 20);
    testcommon::LoopDevice loop_a(fa);
    if (loop_a.device().empty())
        GTEST_SKIP() << "losetup cannot attach a loop device here: " << loop_a.error();
    testcommon::LoopDevice loop_b(fb);
    if (loop_b.device().empty())
        GTEST_SKIP() << "losetup cannot attach a second loop device here: " << loop_b.error();
    const std::string& la = loop_a.device();
    const std::string& lb = loop_b.device();
    std::filesystem::create_symlink(la, kById + "wwn-0x" + wwn_hex(a));
    std::filesystem::create_symlink(lb, kById + "wwn-0x" + wwn_hex(b));

    std::vector<Bytes> map = {rec(a, k2M, 65536), rec(b, 3 * k2M + 512, 65536)};
    peer.serve([&](Conn& conn) {
        for (int round = 0; round < 2; ++round) {
            conn.read_exact(658);
            conn.send(open_reply(0, 8, 10));
            conn.read_exact(38);
            conn.send(map_reply(map));
            conn.read_exact(38);
            conn.send(map_reply(map));
            conn.read_exact(22);
            conn.send(close_reply(0, 11));
        }
        conn.read_all();
    });
    connect_plain(impl, peer);
    std::list<std::string> names = {"wwn-0x" + wwn_hex(a), "wwn-0x" + wwn_hex(b)};
    unsigned int handle = 0;
    ASSERT_EQ(impl->OpenDisk(names, "/vm/loop", OPEN_READWRITE, handle, TRANS_SAN), 0)
        << testhost::dump();
    std::vector<char> data = pattern(131072, 5);
    long long len = 131072;
    ASSERT_EQ(impl->WriteDisk(handle, 0, 131072, data.data(), len), 0) << testhost::dump();
    std::vector<char> buf(131072);
    unsigned long long size = buf.size();
    ASSERT_EQ(impl->ReadDisk(handle, 0, 131072, buf.data(), size), 0) << testhost::dump();
    EXPECT_EQ(buf, data);
    ASSERT_EQ(impl->CloseDisk(handle), 0);
    // The data reached the backing files at the extents' offsets.
    EXPECT_EQ(read_file_range(fa, k2M, 65536),
              std::vector<char>(data.begin(), data.begin() + 65536));
    EXPECT_EQ(read_file_range(fb, 3 * k2M + 512, 65536),
              std::vector<char>(data.begin() + 65536, data.end()));

    // Opened read-only, the devices refuse the write with the system's text.
    testhost::clear();
    ASSERT_EQ(impl->OpenDisk(names, "/vm/loop", OPEN_READONLY, handle, TRANS_SAN), 0);
    len = 131072;
    EXPECT_EQ(impl->WriteDisk(handle, 0, 131072, data.data(), len), 1);
    EXPECT_TRUE(testhost::logged(kError, "WriteLun: Bad file descriptor  (line #)"))
        << testhost::dump();
    size = buf.size();
    EXPECT_EQ(impl->ReadDisk(handle, 0, 131072, buf.data(), size), 0);
    EXPECT_EQ(buf, data);
    EXPECT_EQ(impl->CloseDisk(handle), 0);
}
