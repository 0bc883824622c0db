// Instance lifecycle, the installation of the host's hooks and the header checksum.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

#include "sdk_fixture.h"

using namespace sdktest;

namespace {

void other_log(int, const char*, ...) {}

class ForeignSdk : public CQuillonvardeSDK {
  public:
    int ConnectHXA(const std::string&, unsigned short, const std::string&, unsigned int) override {
        return 1;
    }
    int OpenDisk(const std::list<std::string>&, const std::string&, OPENMODE, unsigned int&,
                 TRANSMODE) override {
        return 1;
    }
    int ReadDisk(unsigned int, unsigned long long, unsigned long long, char*,
                 unsigned long long&) override {
        return 1;
    }
    int WriteDisk(unsigned int, unsigned long long, unsigned long long, const char*,
                  long long&) override {
        return 1;
    }
    int CloseDisk(unsigned int) override { return 1; }
    void DisConnectHXA() override {}
};

}  // namespace

TEST(InitialSDK, NullLogFunctionPrintsAndKeepsPreviousHooks) {
    ASSERT_EQ(testhost::install(), 0);
    auto* level_before = CQuillonvardeSDKImpl::m_pDebugLevel;
    testing::internal::CaptureStdout();
    testhost::TestLevels other;
    int r = CQuillonvardeSDK::InitialSDK(nullptr, &other, "a", "b", "c");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(r, 1);
    EXPECT_EQ(out, "CQuillonvardeSDKImpl::Initial: pLogFun is NULL!\n");
    EXPECT_EQ(CQuillonvardeSDKImpl::m_pLog, &testhost::capture_log);
    EXPECT_EQ(CQuillonvardeSDKImpl::m_pDebugLevel, level_before);
}

TEST(InitialSDK, NullLevelObjectInstallsTheFunctionOnly) {
    ASSERT_EQ(testhost::install(), 0);
    auto* level_before = CQuillonvardeSDKImpl::m_pDebugLevel;
    testing::internal::CaptureStdout();
    int r = CQuillonvardeSDK::InitialSDK(other_log, nullptr, "", "", "");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(r, 1);
    EXPECT_EQ(out, "CQuillonvardeSDKImpl::Initial: debugLevel is NULL!\n");
    EXPECT_EQ(CQuillonvardeSDKImpl::m_pLog, &other_log);
    EXPECT_EQ(CQuillonvardeSDKImpl::m_pDebugLevel, level_before);
    ASSERT_EQ(testhost::install(), 0);
}

TEST(InitialSDK, SuccessLogsTwoTraceLinesAndBuildsTheTable) {
    std::memset(CQuillonvardeSDKImpl::crc_table, 0, sizeof CQuillonvardeSDKImpl::crc_table);
    testhost::clear();
    ASSERT_EQ(testhost::install(), 0);
    auto log = testhost::normalized_entries();
    ASSERT_EQ(log.size(), 2u) << testhost::dump();
    EXPECT_EQ(log[0].level, kTrace);
    EXPECT_EQ(log[0].text, "enter CQuillonvardeSDKImpl::Initial...");
    EXPECT_EQ(log[1].level, kTrace);
    EXPECT_EQ(log[1].text, "leave CQuillonvardeSDKImpl::Initial: OK");
    EXPECT_EQ(CQuillonvardeSDKImpl::crc_table[1], 0xFC49B05Fu);
    EXPECT_EQ(CQuillonvardeSDKImpl::crc_table[128], 0xED58F323u);
    EXPECT_EQ(CQuillonvardeSDKImpl::crc_table[255], 0xE257CDF7u);
}

TEST(Checksum, CheckValues) {
    ASSERT_EQ(testhost::install(), 0);
    CQuillonvardeSDKImpl* impl = make();
    char digits[] = "123456789";
    EXPECT_EQ(impl->bsb_crc32(digits, 9), 0x2340524Fu);
    char abc[] = "abc";
    EXPECT_EQ(impl->bsb_crc32(abc, 3), 0xAFFEA479u);
    EXPECT_EQ(impl->bsb_crc32(digits, 0), 0xFFFFFFFFu);
    char head[] = {0x35, 0x35, 0, 0, 1, 0, 0, 0, 0, 0, static_cast<char>(0x82), 1, 0, 0};
    EXPECT_EQ(impl->bsb_crc32(head, 14), 0x42FD704Bu);
    // Bytes 0x80..0xFF (negative as char) give the unsigned result.
    char high[128];
    uint8_t uhigh[128];
    for (int i = 0; i < 128; ++i) {
        uhigh[i] = static_cast<uint8_t>(0x80 + i);
        high[i] = static_cast<char>(uhigh[i]);
    }
    EXPECT_EQ(impl->bsb_crc32(high, 128), reference_crc(uhigh, 128));
    CQuillonvardeSDK::DestroyInstance(impl);
}

TEST(Instances, CreateAndDestroy) {
    ASSERT_EQ(testhost::install(), 0);
    CQuillonvardeSDK* a = CQuillonvardeSDK::CreateInstance();
    CQuillonvardeSDK* b = CQuillonvardeSDK::CreateInstance();
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    auto* ia = dynamic_cast<CQuillonvardeSDKImpl*>(a);
    ASSERT_NE(ia, nullptr);
    EXPECT_EQ(ia->m_uiSeqNo, 0u);
    EXPECT_EQ(ia->m_pSSL, nullptr);
    EXPECT_EQ(ia->m_pSSLCtx, nullptr);
    EXPECT_TRUE(ia->m_strToken.empty());
    EXPECT_TRUE(ia->m_lunFileList.empty());
    EXPECT_EQ(ia->m_iSocket, -1);
    testhost::clear();
    CQuillonvardeSDK::DestroyInstance(nullptr);
    ForeignSdk foreign;
    CQuillonvardeSDK::DestroyInstance(&foreign);  // not ours: ignored, not deleted
    EXPECT_EQ(foreign.CloseDisk(0), 1);
    CQuillonvardeSDK::DestroyInstance(a);
    CQuillonvardeSDK::DestroyInstance(b);
    EXPECT_TRUE(testhost::entries().empty());
}

// Two objects number their requests independently, each from 0.
TEST(Instances, TwoObjectsNumberTheirRequestsFromZero) {
    ASSERT_EQ(testhost::install(), 0);
    for (int round = 0; round < 2; ++round) {
        Peer peer;
        peer.serve([](testpeer::Conn& c) {
            c.read_exact(22);
            c.send(testpeer::concat({testpeer::reply_header(2, 2), {0, 0}}));
            c.read_exact(22);
            c.send(testpeer::concat({testpeer::reply_header(2, 2), {0, 0}}));
        });
        CQuillonvardeSDKImpl* impl = make();
        connect_plain(impl, peer);
        impl->m_uiTransMode = TRANS_LAN;
        EXPECT_EQ(impl->CloseDisk(1), 0);
        EXPECT_EQ(impl->CloseDisk(1), 0);
        impl->DisConnectHXA();
        peer.join();
        Bytes got = peer.received();
        ASSERT_EQ(got.size(), 44u);
        EXPECT_EQ(parse_header(got, 0).seqNo, 0u);
        EXPECT_EQ(parse_header(got, 22).seqNo, 1u);
        CQuillonvardeSDK::DestroyInstance(impl);
    }
}

// Destroying an object leaves its socket and LUN descriptors open.
TEST(Instances, DestroyClosesNothing) {
    ASSERT_EQ(testhost::install(), 0);
    Peer peer;
    peer.serve([](testpeer::Conn& c) { c.read_all(); });
    CQuillonvardeSDKImpl* impl = make();
    connect_plain(impl, peer);
    int sock = impl->m_iSocket;
    int lun = ::open("/dev/null", O_RDONLY);
    HFILE f;
    f.devPath = "/dev/null";
    f.fd = lun;
    impl->m_lunFileList.push_back(f);
    CQuillonvardeSDK::DestroyInstance(impl);
    EXPECT_NE(fcntl(sock, F_GETFD), -1);
    EXPECT_NE(fcntl(lun, F_GETFD), -1);
    ::close(lun);
    ::close(sock);
    peer.join();
}

// HFILE copies never open or close a descriptor.
TEST(Instances, HfileDoesNotOwnItsDescriptor) {
    int fd = ::open("/dev/null", O_RDONLY);
    {
        HFILE a;
        EXPECT_TRUE(a.devPath.empty());
        a.devPath = "/dev/null";
        a.fd = fd;
        HFILE b(a);
        EXPECT_EQ(b.devPath, "/dev/null");
        EXPECT_EQ(b.fd, fd);
    }
    EXPECT_NE(fcntl(fd, F_GETFD), -1);
    ::close(fd);
}

// Without InitialSDK nothing is logged and nothing crashes; the operations still run.
TEST(BeforeInitial, OperationsDoNotCrash) {
    auto* saved_log = CQuillonvardeSDKImpl::m_pLog;
    auto* saved_level = CQuillonvardeSDKImpl::m_pDebugLevel;
    CQuillonvardeSDKImpl::m_pLog = nullptr;
    CQuillonvardeSDKImpl::m_pDebugLevel = nullptr;
    testhost::clear();

    Peer peer;
    peer.serve([](testpeer::Conn& c) {
        c.read_exact(404);
        c.send(testpeer::concat({testpeer::reply_header(1, 6), {0, 0, 9, 0, 0, 0}}));
        c.read_all();
    });
    CQuillonvardeSDKImpl* impl = make();
    EXPECT_EQ(impl->ConnectHXA("127.0.0.1", peer.port(), "t", 0), 0);
    unsigned int handle = 0;
    EXPECT_EQ(impl->OpenDisk({}, "/d", OPEN_READONLY, handle, TRANS_LAN), 0);
    EXPECT_EQ(handle, 9u);
    unsigned long long size = 0;
    EXPECT_EQ(impl->ReadDisk(handle, 0, 0, nullptr, size), 1);
    EXPECT_EQ(impl->OpenDisk({}, "/d", OPEN_READONLY, handle, TRANS_SAN), 1);
    impl->DisConnectHXA();
    impl->DisConnectHXA();
    CQuillonvardeSDK::DestroyInstance(impl);
    peer.join();

    // Even the halfway state (function installed, level object missing) logs nothing.
    testing::internal::CaptureStdout();
    EXPECT_EQ(CQuillonvardeSDK::InitialSDK(testhost::capture_log, nullptr, "", "", ""), 1);
    testing::internal::GetCapturedStdout();
    CQuillonvardeSDKImpl* second = make();
    EXPECT_EQ(second->ConnectHXA("127.0.0.1", 1, "t", 0), 1);
    second->DisConnectHXA();
    CQuillonvardeSDK::DestroyInstance(second);
    EXPECT_TRUE(testhost::entries().empty());

    CQuillonvardeSDKImpl::m_pLog = saved_log;
    CQuillonvardeSDKImpl::m_pDebugLevel = saved_level;
}
