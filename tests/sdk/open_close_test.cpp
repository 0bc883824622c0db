// Opening and closing disks against scripted replies on a real socket: request bytes,
// sequence numbers, every result code and every failure of the reply.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "lun_files.h"
#include "private_mounts.h"
#include "sdk_fixture.h"

using namespace sdktest;

namespace {

class OpenClose : public SdkTest {
  protected:
    // Serves: read `request` bytes, send `reply`, then read until the client leaves.
    void serve(size_t request, Bytes reply) {
        peer.serve([request, reply](Conn& c) {
            if (!c.read_exact(request)) return;
            c.send(reply);
            c.read_all();
        });
        connect_plain(impl, peer);
    }
};

const std::vector<LogEntry> kLanOpenPrefix = {
    {kTrace, "enter CQuillonvardeSDKImpl::OpenDisk..."},
    {kInfo, "OpenDisk: send open disk cmd to server success!"},
};

}  // namespace

// The first request of an object: a LAN open, byte for byte.
TEST_F(OpenClose, LanOpenRequestBytesAndSuccess) {
    serve(404, open_reply(0, 0x11223344));
    impl->m_strToken = "tok-123";
    unsigned int handle = 77;
    EXPECT_EQ(
        impl->OpenDisk({"ignored-in-lan"}, "/vms/a/disk1.vhd", OPEN_READWRITE, handle, TRANS_LAN),
        0);
    EXPECT_EQ(handle, 0x11223344u);
    auto expected = kLanOpenPrefix;
    expected.push_back({kInfo, "OpenDisk: recv req head from server success! msg length:6"});
    expected.push_back({kInfo, "OpenDisk: success!"});
    expected.push_back({kTrace, "leave CQuillonvardeSDKImpl::OpenDisk: OK"});
    EXPECT_TRUE(log_is(expected, kOperations));
    EXPECT_TRUE(impl->m_lunFileList.empty());
    EXPECT_EQ(impl->m_uiOpenMode, OPEN_READWRITE);
    EXPECT_EQ(impl->m_uiTransMode, TRANS_LAN);

    Bytes got = sent();
    ASSERT_EQ(got.size(), 404u);
    EXPECT_EQ(to_hex(Bytes(got.begin(), got.begin() + 18)),
              "35 35 00 00 01 00 00 00 00 00 82 01 00 00 4B 70 FD 42");
    Bytes path(256, 0), token(128, 0);
    std::memcpy(path.data(), "/vms/a/disk1.vhd", 16);
    std::memcpy(token.data(), "tok-123", 7);
    EXPECT_EQ(Bytes(got.begin() + 18, got.begin() + 18 + 256), path);
    EXPECT_EQ(Bytes(got.begin() + 274, got.begin() + 402), token);
    EXPECT_EQ(to_hex(Bytes(got.begin() + 402, got.end())), "02 00");
}

// The longest path and token that fit fill their fields whole, each still ending in a zero byte.
TEST_F(OpenClose, LanOpenPathAndTokenFillTheirFields) {
    serve(404, open_reply(0, 1));
    impl->m_strToken = std::string(127, 'T');
    unsigned int handle = 0;
    std::string path(255, 'p');
    EXPECT_EQ(impl->OpenDisk({}, path, static_cast<OPENMODE>(0x10001), handle, TRANS_LAN), 0);
    Bytes got = sent();
    ASSERT_EQ(got.size(), 404u);
    for (size_t i = 0; i < 255; ++i) ASSERT_EQ(got[18 + i], 'p') << i;
    EXPECT_EQ(got[18 + 255], 0);
    for (size_t i = 0; i < 127; ++i) ASSERT_EQ(got[274 + i], 'T') << i;
    EXPECT_EQ(got[274 + 127], 0);
    // Only the low 16 bits of the open mode travel.
    EXPECT_EQ(to_hex(Bytes(got.begin() + 402, got.end())), "01 00");
    EXPECT_EQ(parse_header(got).crc, reference_crc(got.data(), 14));
}

// Every nonzero result fails the open and leaves the caller's handle alone.
TEST_F(OpenClose, LanOpenResultCodes) {
    struct Case {
        uint16_t result;
        const char* message;
    } cases[] = {{1, "OpenDisk: operation code error!  (line #)"},
                 {2, "OpenDisk: file does not exist!  (line #)"},
                 {3, "OpenDisk: token error!  (line #)"},
                 {4, "OpenDisk: file open error!  (line #)"},
                 {5, "OpenDisk: unknown error!  (line #)"},
                 {14, "OpenDisk: unknown error!  (line #)"},
                 {0xFFFF, "OpenDisk: unknown error!  (line #)"}};
    peer.serve([&cases](Conn& c) {
        for (const Case& k : cases) {
            if (!c.read_exact(404)) return;
            c.send(open_reply(k.result, 999));
        }
        c.read_all();
    });
    connect_plain(impl, peer);
    uint32_t seq = 0;
    for (const Case& k : cases) {
        testhost::clear();
        unsigned int handle = 5;
        EXPECT_EQ(impl->OpenDisk({}, "/d", OPEN_READONLY, handle, TRANS_LAN), 1);
        EXPECT_EQ(handle, 5u);
        auto expected = kLanOpenPrefix;
        expected.push_back({kInfo, "OpenDisk: recv req head from server success! msg length:6"});
        expected.push_back({kError, k.message});
        expected.push_back({kTrace, "leave CQuillonvardeSDKImpl::OpenDisk: NOK"});
        EXPECT_TRUE(log_is(expected, kOperations));
        EXPECT_EQ(impl->m_uiSeqNo, ++seq);
    }
}

// magic, seqNo and crc of a reply are not looked at.
TEST_F(OpenClose, ReplyHeaderFieldsOtherThanOperationAreIgnored) {
    Bytes p;
    testpeer::put16(p, 0);
    testpeer::put32(p, 42);
    serve(404, concat({reply_header(1, 6, 0xBEEF, 0xDEADBEEF, 0x12345678), p}));
    unsigned int handle = 0;
    EXPECT_EQ(impl->OpenDisk({}, "/d", OPEN_READONLY, handle, TRANS_LAN), 0);
    EXPECT_EQ(handle, 42u);
}

TEST_F(OpenClose, OpenSendFailing) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ::close(fds[0]);
    ::close(fds[1]);
    impl->m_iSocket = fds[1];
    unsigned int handle = 3;
    EXPECT_EQ(impl->OpenDisk({}, "/d", OPEN_READONLY, handle, TRANS_LAN), 1);
    EXPECT_TRUE(log_is({{kTrace, "enter CQuillonvardeSDKImpl::OpenDisk..."},
                        {kError, "send_msg: [Bad file descriptor] return:[-1] errno:[9] (line #)"},
                        {kError, "OpenDisk:send open disk cmd to server failed!  (line #)"},
                        {kTrace, "leave CQuillonvardeSDKImpl::OpenDisk: NOK"}},
                       kOperations));
    EXPECT_EQ(impl->m_uiSeqNo, 1u);
    impl->m_iSocket = -1;
}

// An unknown transport mode: stored, one sequence number used, nothing sent.
TEST_F(OpenClose, OpenWithUnknownTransportMode) {
    serve(1, {});
    unsigned int handle = 3;
    EXPECT_EQ(impl->OpenDisk({"x"}, "/d", OPEN_WRITEONLY, handle, static_cast<TRANSMODE>(2)), 1);
    EXPECT_TRUE(log_is({{kTrace, "enter CQuillonvardeSDKImpl::OpenDisk..."},
                        {kError, "send_msg: send_msg len is zero! (line #)"},
                        {kError, "OpenDisk:send open disk cmd to server failed!  (line #)"},
                        {kTrace, "leave CQuillonvardeSDKImpl::OpenDisk: NOK"}},
                       kOperations));
    EXPECT_EQ(impl->m_uiTransMode, 2);
    EXPECT_EQ(impl->m_uiOpenMode, OPEN_WRITEONLY);
    EXPECT_EQ(impl->m_uiSeqNo, 1u);
    EXPECT_TRUE(impl->m_lunFileList.empty());
    EXPECT_TRUE(sent().empty());
}

// SAN mode without LUN names: nothing is sent and no sequence number is used.
TEST_F(OpenClose, SanOpenWithEmptyLunList) {
    serve(1, {});
    unsigned int handle = 3;
    EXPECT_EQ(impl->OpenDisk({}, "/d", OPEN_READONLY, handle, TRANS_SAN), 1);
    EXPECT_TRUE(log_is({{kTrace, "enter CQuillonvardeSDKImpl::OpenDisk..."},
                        {kTrace, "enter CQuillonvardeSDKImpl::OpenLocalLunDevFile:..."},
                        {kError, "OpenLocalLunDevFile: LunWWNList is not valid!  (line #)"},
                        {kTrace, "leave CQuillonvardeSDKImpl::OpenLocalLunDevFile: NOK"},
                        {kError, "OpenDisk: open disk fail  (line #)"},
                        {kTrace, "leave CQuillonvardeSDKImpl::OpenDisk: NOK"}},
                       kOperations));
    EXPECT_EQ(impl->m_uiSeqNo, 0u);
    EXPECT_EQ(impl->m_uiTransMode, TRANS_SAN);
    EXPECT_EQ(handle, 3u);
    EXPECT_TRUE(sent().empty());
}

// The worked example: LAN close with sequence number 1 for handle 7.
TEST_F(OpenClose, LanCloseRequestBytesAndResults) {
    struct Case {
        uint16_t result;
        const char* message;  // null: success
    } cases[] = {{0, nullptr},
                 {1, "CloseDisk: operation code error!  (line #)"},
                 {5, "CloseDisk: file handle does not exist!  (line #)"},
                 {2, "CloseDisk: unknown error!  (line #)"},
                 {14, "CloseDisk: unknown error!  (line #)"}};
    peer.serve([&cases](Conn& c) {
        for (const Case& k : cases) {
            if (!c.read_exact(22)) return;
            c.send(close_reply(k.result));
        }
        c.read_all();
    });
    connect_plain(impl, peer);
    impl->m_uiSeqNo = 1;
    impl->m_uiTransMode = TRANS_LAN;
    for (const Case& k : cases) {
        testhost::clear();
        EXPECT_EQ(impl->CloseDisk(7), k.message ? 1 : 0);
        std::vector<LogEntry> expected = {
            {kTrace, "enter CQuillonvardeSDKImpl::CloseDisk..."},
            {kInfo, "CloseDisk: send close disk cmd to server success!"},
            {kInfo, "CloseDisk: recv req head from server success! msg length:2"}};
        if (k.message) {
            expected.push_back({kError, k.message});
            expected.push_back({kTrace, "leave CQuillonvardeSDKImpl::CloseDisk: NOK"});
        } else {
            expected.push_back({kInfo, "CloseDisk: success!"});
            expected.push_back({kTrace, "leave CQuillonvardeSDKImpl::CloseDisk: OK"});
        }
        EXPECT_TRUE(log_is(expected, kOperations));
    }
    Bytes got = sent();
    ASSERT_EQ(got.size(), 22u * 5);
    EXPECT_EQ(to_hex(Bytes(got.begin(), got.begin() + 22)),
              "35 35 00 00 02 00 01 00 00 00 04 00 00 00 6F E8 20 39 07 00 00 00");
    for (uint32_t i = 0; i < 5; ++i) {
        SentHeader h = parse_header(got, 22 * i);
        EXPECT_EQ(h.seqNo, 1 + i);
        EXPECT_EQ(h.crc, reference_crc(got.data() + 22 * i, 14));
    }
}

// A stored mode other than 0 and 1: operation 0 with the handle, any reply code accepted.
TEST_F(OpenClose, CloseWithUnknownTransportMode) {
    serve(22, close_reply(0, 77));
    impl->m_uiTransMode = static_cast<TRANSMODE>(5);
    int fd = ::open("/dev/null", O_RDONLY);
    HFILE f;
    f.devPath = "/dev/null";
    f.fd = fd;
    impl->m_lunFileList.push_back(f);
    EXPECT_EQ(impl->CloseDisk(9), 0);
    EXPECT_EQ(impl->m_lunFileList.size(), 1u);  // no device closed
    EXPECT_NE(fcntl(fd, F_GETFD), -1);
    ::close(fd);
    impl->m_lunFileList.clear();
    Bytes got = sent();
    ASSERT_EQ(got.size(), 22u);
    EXPECT_EQ(to_hex(Bytes(got.begin(), got.begin() + 14)),
              "35 35 00 00 00 00 00 00 00 00 04 00 00 00");
    EXPECT_EQ(to_hex(Bytes(got.begin() + 18, got.end())), "09 00 00 00");
}

// SAN close whose request cannot be sent: every device is closed all the same.
TEST_F(OpenClose, SanCloseClosesDevicesEvenWhenSendFails) {
    char dir[] = "/tmp/sdk-close-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::vector<int> fds;
    for (int i = 0; i < 3; ++i) {
        std::string path = std::string(dir) + "/lun" + std::to_string(i);
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT, 0600);
        ASSERT_GE(fd, 0);
        fds.push_back(fd);
        HFILE f;
        f.devPath = path;
        f.fd = fd;
        impl->m_lunFileList.push_back(f);
    }
    impl->m_uiTransMode = TRANS_SAN;
    impl->m_iSocket = -1;
    EXPECT_EQ(impl->CloseDisk(4), 1);
    EXPECT_TRUE(impl->m_lunFileList.empty());
    for (int fd : fds) EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    EXPECT_TRUE(log_is({{kTrace, "enter CQuillonvardeSDKImpl::CloseDisk..."},
                        {kTrace, "enter CQuillonvardeSDKImpl::CloseLocalLunDevFile:..."},
                        {kTrace, "leave CQuillonvardeSDKImpl::CloseLocalLunDevFile: OK"},
                        {kError, "send_msg: [Bad file descriptor] return:[-1] errno:[9] (line #)"},
                        {kError, "CloseDisk: send aclose disk cmd to server failed!  (line #)"},
                        {kTrace, "leave CQuillonvardeSDKImpl::CloseDisk: NOK"}},
                       kOperations));
    ASSERT_EQ(testcommon::run_program("/bin/rm", {"-rf", dir}).exit_code, 0);
}

// The sequence number wraps from 0xFFFFFFFF to 0; the checksum covers it as sent.
TEST_F(OpenClose, SequenceNumberWraps) {
    peer.serve([](Conn& c) {
        for (int i = 0; i < 2; ++i) {
            if (!c.read_exact(22)) return;
            c.send(close_reply(0));
        }
        c.read_all();
    });
    connect_plain(impl, peer);
    impl->m_uiTransMode = TRANS_LAN;
    impl->m_uiSeqNo = 0xFFFFFFFFu;
    EXPECT_EQ(impl->CloseDisk(1), 0);
    EXPECT_EQ(impl->CloseDisk(1), 0);
    EXPECT_EQ(impl->m_uiSeqNo, 1u);
    Bytes got = sent();
    ASSERT_EQ(got.size(), 44u);
    EXPECT_EQ(parse_header(got, 0).seqNo, 0xFFFFFFFFu);
    EXPECT_EQ(parse_header(got, 22).seqNo, 0u);
    EXPECT_EQ(parse_header(got, 0).crc, reference_crc(got.data(), 14));
    EXPECT_EQ(parse_header(got, 22).crc, reference_crc(got.data() + 22, 14));
}

namespace {

// A disk path and token of given lengths, and the line an open with them logs when it is
// refused (null: the open goes through).
struct FieldCase {
    const char* name;
    TRANSMODE mode;
    size_t path;
    size_t token;
    const char* refusal;
};
void PrintTo(const FieldCase& c, std::ostream* os) { *os << c.name; }

class OpenFieldLimits : public SdkTest, public ::testing::WithParamInterface<FieldCase> {
  protected:
    // Serves `opens` open requests of `mode` with handles 0x100, 0x101, ..., then reads
    // until the client leaves.
    static void answer_opens(Peer& p, TRANSMODE mode, int opens) {
        const size_t request = mode == TRANS_SAN ? 658 : 404;
        const uint16_t operation = mode == TRANS_SAN ? 10 : 1;
        p.serve([=](Conn& c) {
            for (int i = 0; i < opens; ++i) {
                if (!c.read_exact(request)) return;
                c.send(open_reply(0, 0x100 + static_cast<uint32_t>(i), operation));
            }
            c.read_all();
        });
    }
    zev_common::PrivateMounts mounts;
};

}  // namespace

// A path or token longer than its field of the open request is refused before anything is
// done: no request, no sequence number, no LUN device; the longest that fit go whole, and the
// object opens the next disk as usual.
TEST_P(OpenFieldLimits, LongerThanTheFieldIsRefusedBeforeAnythingIsSent) {
    const FieldCase& k = GetParam();
    const bool san = k.mode == TRANS_SAN;
    const size_t request = san ? 658 : 404;
    const size_t pathField = san ? 512 : 256;
    std::list<std::string> luns;
    if (san) {
        std::string why = mounts.empty_disk_by_id();
        if (!why.empty()) GTEST_SKIP() << "no private /dev/disk/by-id: " << why;
        luns = {"wwn-0x" + wwn_hex(wwn(0x41))};
        make_lun_file("/dev/disk/by-id/" + luns.front(), 4 << 20);
    }
    const bool tokenRefused = k.refusal != nullptr && k.token > 127;
    answer_opens(peer, k.mode, k.refusal == nullptr ? 2 : tokenRefused ? 0 : 1);
    const std::string token(k.token, 'K');
    ASSERT_EQ(impl->ConnectHXA("127.0.0.1", peer.port(), token, 0), 0) << testhost::dump();
    EXPECT_EQ(impl->m_strToken, token);
    testhost::clear();

    unsigned int handle = 7;
    const int result =
        impl->OpenDisk(luns, std::string(k.path, 'P'), OPEN_READWRITE, handle, k.mode);
    if (k.refusal != nullptr) {
        EXPECT_EQ(result, 1);
        EXPECT_TRUE(log_is({{kTrace, "enter CQuillonvardeSDKImpl::OpenDisk..."},
                            {kError, k.refusal},
                            {kTrace, "leave CQuillonvardeSDKImpl::OpenDisk: NOK"}}));
        EXPECT_TRUE(testhost::line_numbers_point_at_source());
        EXPECT_EQ(handle, 7u);
        EXPECT_EQ(impl->m_uiSeqNo, 0u);
        EXPECT_TRUE(impl->m_lunFileList.empty());
    } else {
        EXPECT_EQ(result, 0) << testhost::dump();
        EXPECT_EQ(handle, 0x100u);
    }

    // The next open: on the same connection, or, when the token was refused, after a new
    // connection with one that fits. The peer of the refused one saw nothing at all.
    Peer again;
    Peer* last = &peer;
    if (tokenRefused) {
        impl->DisConnectHXA();
        peer.join();
        EXPECT_TRUE(peer.received().empty());
        answer_opens(again, k.mode, 1);
        ASSERT_EQ(impl->ConnectHXA("127.0.0.1", again.port(), "tok-123", 0), 0);
        last = &again;
    }
    EXPECT_EQ(impl->OpenDisk(luns, "/vm/ok", OPEN_READWRITE, handle, k.mode), 0)
        << testhost::dump();
    impl->CloseLocalLunDevFile();
    impl->DisConnectHXA();
    last->join();

    const Bytes got = last->received();
    const size_t requests = k.refusal == nullptr ? 2 : 1;
    ASSERT_EQ(got.size(), requests * request);
    for (size_t i = 0; i < requests; ++i) EXPECT_EQ(parse_header(got, i * request).seqNo, i);
    if (k.refusal == nullptr) {
        for (size_t i = 0; i < k.path; ++i) ASSERT_EQ(got[18 + i], 'P') << i;
        EXPECT_EQ(got[18 + k.path], 0);
        for (size_t i = 0; i < k.token; ++i) ASSERT_EQ(got[18 + pathField + i], 'K') << i;
        EXPECT_EQ(got[18 + pathField + k.token], 0);
    }
    const size_t last_path = 18 + (requests - 1) * request;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&got[last_path])), "/vm/ok");
}

INSTANTIATE_TEST_SUITE_P(
    Paths, OpenFieldLimits,
    ::testing::Values(
        FieldCase{"lan_path_255", TRANS_LAN, 255, 7, nullptr},
        FieldCase{"lan_path_256", TRANS_LAN, 256, 7,
                  "OpenDisk: disk path of 256 characters is longer than the 255 the service's "
                  "field holds  (line #)"},
        FieldCase{"san_path_511", TRANS_SAN, 511, 7, nullptr},
        FieldCase{"san_path_512", TRANS_SAN, 512, 7,
                  "OpenDisk: disk path of 512 characters is longer than the 511 the service's "
                  "field holds  (line #)"},
        FieldCase{"lan_token_127", TRANS_LAN, 6, 127, nullptr},
        FieldCase{"lan_token_128", TRANS_LAN, 6, 128,
                  "OpenDisk: token of 128 characters is longer than the 127 the service's field "
                  "holds  (line #)"},
        FieldCase{"san_token_128", TRANS_SAN, 6, 128,
                  "OpenDisk: token of 128 characters is longer than the 127 the service's field "
                  "holds  (line #)"}),
    [](const ::testing::TestParamInfo<FieldCase>& info) { return std::string(info.param.name); });
