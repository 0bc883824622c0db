// Reading and writing disk ranges against scripted replies on a real socket, in both
// transports; SAN extents are carried out on LUN stand-in files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

#include "lun_files.h"
#include "sdk_fixture.h"

using namespace sdktest;

namespace {

constexpr uint64_t k2M = 0x200000;

class ReadWrite : public SdkTest {
  protected:
    void start(TRANSMODE mode, Peer::Script script) {
        peer.serve(std::move(script));
        connect_plain(impl, peer);
        impl->m_uiTransMode = mode;
    }
    // The worked example's read, with sequence number 5: 4096 bytes at 65536 of handle 7 into
    // a larger buffer, which must then hold `data` and nothing behind it.
    void worked_example_read(const std::vector<char>& data) {
        impl->m_uiSeqNo = 5;
        std::vector<char> buf(8192, 'z');
        unsigned long long size = buf.size();
        EXPECT_EQ(impl->ReadDisk(7, 65536, 4096, buf.data(), size), 0);
        EXPECT_EQ(size, 4096u);
        EXPECT_EQ(0, std::memcmp(buf.data(), data.data(), 4096));
        EXPECT_EQ(buf[4096], 'z');
    }
};

const LogEntry kReadEnter{kTrace, "enter CQuillonvardeSDKImpl::ReadDisk..."};
const LogEntry kReadSent{kInfo, "ReadDisk: send addr map cmd to server success! "};
const LogEntry kReadNokTrace{kTrace, "leave CQuillonvardeSDKImpl::ReadDisk: NOK"};
const LogEntry kReadNokError{kError, "leave CQuillonvardeSDKImpl::ReadDisk: NOK"};
const LogEntry kReadOk{kTrace, "leave CQuillonvardeSDKImpl::ReadDisk: OK"};
const LogEntry kWriteEnter{kTrace, "enter CQuillonvardeSDKImpl::WriteDisk..."};
const LogEntry kWriteSent{kInfo, "WriteDisk: send addr map cmd to server success! "};
const LogEntry kWriteNok{kTrace, "leave CQuillonvardeSDKImpl::WriteDisk: NOK"};
const LogEntry kWriteOk{kTrace, "leave CQuillonvardeSDKImpl::WriteDisk: OK"};

LogEntry read_len(uint32_t L) {
    return {kInfo, "ReadDisk: recv req head from server success! msg length :" + std::to_string(L)};
}
LogEntry write_len(uint32_t L) {
    return {kInfo, "WriteDisk: recv req head from server success! msg length:" + std::to_string(L)};
}

}  // namespace

// ---------------------------------------------------------------------------------------
// ReadDisk, LAN

TEST_F(ReadWrite, LanReadWorkedExample) {
    std::vector<char> data = pattern(4096, 1);
    start(TRANS_LAN, [&data](Conn& c) {
        c.read_exact(34);
        c.send(transfer_reply(3, transfer_payload(0, 4096)));
        c.send_pieces(Bytes(data.begin(), data.end()), 1000);
        c.read_all();
    });
    worked_example_read(data);
    EXPECT_TRUE(log_is({kReadEnter, kReadSent, read_len(6), kReadOk}, kOperations));
    EXPECT_EQ(impl->m_uiSeqNo, 6u);
    EXPECT_EQ(to_hex(sent()),
              "35 35 00 00 03 00 05 00 00 00 10 00 00 00 11 FB 8B 39 "
              "07 00 00 00 00 00 01 00 00 00 00 00 00 10 00 00");
}

TEST_F(ReadWrite, ReadArgumentTestUsesNoSequenceNumber) {
    start(TRANS_LAN, [](Conn& c) { c.read_all(); });
    char buf[16];
    unsigned long long size = 16;
    unsigned long long zero = 0;
    EXPECT_EQ(impl->ReadDisk(1, 0, 0, buf, size), 1);
    EXPECT_EQ(impl->ReadDisk(1, 0, 16, nullptr, size), 1);
    EXPECT_EQ(impl->ReadDisk(1, 0, 16, buf, zero), 1);
    std::vector<LogEntry> one = {
        kReadEnter, {kError, "ReadDisk: invalid parameters!"}, kReadNokTrace};
    std::vector<LogEntry> three;
    for (int i = 0; i < 3; ++i) three.insert(three.end(), one.begin(), one.end());
    EXPECT_TRUE(log_is(three, kOperations));
    EXPECT_EQ(impl->m_uiSeqNo, 0u);
    EXPECT_EQ(size, 16u);
    EXPECT_TRUE(sent().empty());
}

// A LAN read of 4 GiB or more cannot be expressed in the request: refused before sending.
TEST_F(ReadWrite, LanReadOfFourGibibytesIsRefused) {
    start(TRANS_LAN, [](Conn& c) { c.read_all(); });
    char buf[16];
    unsigned long long size = 0x100000010ULL;
    EXPECT_EQ(impl->ReadDisk(1, 0, 0x100000010ULL, buf, size), 1);
    EXPECT_TRUE(
        log_is({kReadEnter,
                {kError,
                 "ReadDisk: invalid parameters! LAN read length [4294967312] must be below 4 "
                 "GiB  (line #)"},
                kReadNokTrace},
               kOperations));
    EXPECT_EQ(impl->m_uiSeqNo, 0u);
    EXPECT_TRUE(sent().empty());
}

// Fewer bytes arrive than VMLength; the caller's buffer may be smaller than VMLength as
// long as the data fits.
TEST_F(ReadWrite, LanReadShorterThanRequested) {
    std::vector<char> data = pattern(100, 2);
    start(TRANS_LAN, [&data](Conn& c) {
        c.read_exact(34);
        c.send(transfer_reply(3, transfer_payload(0, 100)));
        c.send(Bytes(data.begin(), data.end()));
        c.read_all();
    });
    std::vector<char> buf(150, 'q');
    unsigned long long size = 150;
    EXPECT_EQ(impl->ReadDisk(1, 0, 4096, buf.data(), size), 0);
    EXPECT_EQ(size, 100u);
    EXPECT_EQ(0, std::memcmp(buf.data(), data.data(), 100));
    EXPECT_EQ(buf[100], 'q');
    EXPECT_TRUE(log_is({kReadEnter,
                        kReadSent,
                        read_len(6),
                        {kTrace, "read data length is(100),expected(4096)"},
                        kReadOk},
                       kOperations));
}

// More data than the caller's buffer holds: the call fails, the buffer stays untouched, and
// the data is taken off the connection so that the next request reads a clean reply.
TEST_F(ReadWrite, LanReadDrainsDataThatDoesNotFit) {
    const uint32_t big = 3 * 1024 * 1024 + 123;
    std::vector<char> second = pattern(64, 3);
    start(TRANS_LAN, [&](Conn& c) {
        c.read_exact(34);
        c.send(transfer_reply(3, transfer_payload(0, big)));
        c.send(Bytes(big, 0xAB));
        c.read_exact(34);
        c.send(transfer_reply(3, transfer_payload(0, 64)));
        c.send(Bytes(second.begin(), second.end()));
        c.read_all();
    });
    std::vector<char> buf(4096, 'u');
    unsigned long long size = 4096;
    EXPECT_EQ(impl->ReadDisk(1, 0, 4096, buf.data(), size), 1);
    EXPECT_EQ(size, 4096u);
    for (char ch : buf) ASSERT_EQ(ch, 'u');
    EXPECT_TRUE(log_is({kReadEnter,
                        kReadSent,
                        read_len(6),
                        {kTrace, "the space of buf not enough,buf size[4096],date length[3145851]"},
                        kReadNokError},
                       kOperations));
    testhost::clear();
    EXPECT_EQ(impl->ReadDisk(1, 4096, 64, buf.data(), size), 0);
    EXPECT_EQ(size, 64u);
    EXPECT_EQ(0, std::memcmp(buf.data(), second.data(), 64));
    EXPECT_TRUE(log_is({kReadEnter, kReadSent, read_len(6), kReadOk}, kOperations));
    Bytes got = sent();
    ASSERT_EQ(got.size(), 68u);
    EXPECT_EQ(parse_header(got, 34).seqNo, 1u);
}

TEST_F(ReadWrite, LanReadDataCutShort) {
    start(TRANS_LAN, [](Conn& c) {
        c.read_exact(34);
        c.send(transfer_reply(3, transfer_payload(0, 100)));
        c.send(Bytes(10, 1));
    });
    std::vector<char> buf(100, 'u');
    unsigned long long size = 100;
    EXPECT_EQ(impl->ReadDisk(1, 0, 100, buf.data(), size), 1);
    auto log = operation_log();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2].text, "ReadDisk: recv data from sever failed!  (line #)");
    EXPECT_EQ(log[log.size() - 2].level, kError);
    EXPECT_EQ(log.back().text, "leave CQuillonvardeSDKImpl::ReadDisk: NOK");
    EXPECT_EQ(log.back().level, kTrace);
    EXPECT_EQ(size, 100u);
    for (char ch : buf) ASSERT_EQ(ch, 'u');
}

// The data of a LAN read beside VMLength and the buffer, whole or cut part-way, large enough
// to arrive partly with the reply and partly by itself: a whole transfer fills exactly its
// bytes, a cut one leaves the buffer as it was.
struct LanDataCase {
    const char* name;
    uint32_t vm_length, buf_size, count, sent;
};

class LanReadData : public ReadWrite, public ::testing::WithParamInterface<LanDataCase> {};

TEST_P(LanReadData, FillsTheWholeDataOrNothing) {
    const LanDataCase& t = GetParam();
    const std::vector<char> data = pattern(t.count, 4);
    start(TRANS_LAN, [&](Conn& c) {
        c.read_exact(34);
        c.send(concat({transfer_reply(3, transfer_payload(0, t.count)),
                       Bytes(data.begin(), data.begin() + t.sent)}));
    });
    const bool whole = t.sent == t.count;
    std::vector<char> buf(t.buf_size, 'u');
    unsigned long long size = t.buf_size;
    EXPECT_EQ(impl->ReadDisk(1, 0, t.vm_length, buf.data(), size), whole ? 0 : 1);
    std::vector<char> expected(t.buf_size, 'u');
    if (whole) std::copy(data.begin(), data.end(), expected.begin());
    EXPECT_EQ(size, whole ? t.count : t.buf_size);
    EXPECT_TRUE(buf == expected);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, LanReadData,
    ::testing::Values(LanDataCase{"as_asked", 200000, 200000, 200000, 200000},
                      LanDataCase{"as_asked_cut_late", 200000, 200000, 200000, 150001},
                      LanDataCase{"as_asked_cut_early", 200000, 200000, 200000, 5000},
                      LanDataCase{"less_than_asked_cut", 300000, 300000, 200000, 199999},
                      LanDataCase{"more_than_asked", 1000, 300000, 200000, 200000},
                      LanDataCase{"more_than_asked_cut", 1000, 300000, 200000, 100000}),
    [](const ::testing::TestParamInfo<LanDataCase>& info) { return info.param.name; });

// Bytes that a reply left on a connection stay with that connection: after a wrong-operation
// reply, a new connection of the same object reads its own reply, whether DisConnectHXA came
// first or ConnectHXA replaced the connection.
TEST_F(ReadWrite, BytesLeftOnAConnectionStayWithIt) {
    const std::vector<char> data = pattern(64, 5);
    impl->m_uiTransMode = TRANS_LAN;
    for (bool disconnect : {true, false}) {
        SCOPED_TRACE(disconnect ? "DisConnectHXA first" : "ConnectHXA only");
        Peer first, second;
        first.serve([](Conn& c) {
            c.read_exact(34);
            c.send(transfer_reply(4, transfer_payload(0, 64)));
            c.read_all();
        });
        second.serve([&](Conn& c) {
            c.read_exact(34);
            c.send(concat(
                {transfer_reply(3, transfer_payload(0, 64)), Bytes(data.begin(), data.end())}));
            c.read_all();
        });
        std::vector<char> buf(64, 'u');
        unsigned long long size = 64;
        connect_plain(impl, first);
        EXPECT_EQ(impl->ReadDisk(1, 0, 64, buf.data(), size), 1);
        const int old = impl->m_iSocket;
        if (disconnect) impl->DisConnectHXA();
        connect_plain(impl, second);
        if (!disconnect) close(old);  // ConnectHXA leaves the replaced socket to its owner
        EXPECT_EQ(impl->ReadDisk(1, 0, 64, buf.data(), size), 0) << testhost::dump();
        EXPECT_EQ(buf, data);
        impl->DisConnectHXA();
        first.join();
        second.join();
    }
}

TEST_F(ReadWrite, ReadWithUnknownTransportMode) {
    start(static_cast<TRANSMODE>(3), [](Conn& c) { c.read_all(); });
    char buf[8];
    unsigned long long size = 8;
    EXPECT_EQ(impl->ReadDisk(1, 0, 8, buf, size), 1);
    EXPECT_TRUE(log_is({kReadEnter,
                        {kError, "send_msg: send_msg len is zero! (line #)"},
                        {kError, "ReadDisk: send addr map cmd to server failed! (line #)"},
                        kReadNokTrace},
                       kOperations));
    EXPECT_EQ(impl->m_uiSeqNo, 1u);
    EXPECT_TRUE(sent().empty());
}

TEST_F(ReadWrite, SanReplyWithTooFewRecordsTouchesNoDevice) {
    TempDir dir;
    Wwn id = wwn(1);
    std::string lun = dir.path() + "/wwn-0x" + wwn_hex(id);
    make_lun_file(lun, 4 * k2M);
    add_device(impl->m_lunFileList, lun);
    start(TRANS_SAN, [&id](Conn& c) {
        c.read_exact(38);
        // Two records announced, one carried.
        c.send(transfer_reply(12, transfer_payload(0, 2, {rec(id, k2M, 32)})));
        c.read_all();
    });
    impl->m_uiTransMode = TRANS_SAN;
    char buf[64];
    unsigned long long size = 64;
    EXPECT_EQ(impl->ReadDisk(1, 0, 64, buf, size), 1);
    EXPECT_TRUE(
        log_is({kReadEnter,
                kReadSent,
                read_len(70),
                {kError,
                 "ReadDisk: address map of [2] records does not fit the reply, msg length:70!  "
                 "(line #)"},
                kReadNokTrace},
               kOperations));
}

// The SAN request example and the reply example carried out on a LUN file.
TEST_F(ReadWrite, SanReadWorkedExample) {
    TempDir dir;
    Wwn id = wwn(0x10);
    std::string lun = dir.path() + "/scsi-3" + wwn_hex(id);
    std::vector<char> data = pattern(4096, 4);
    make_lun_file(lun, 3 * k2M, k2M, data);
    add_device(impl->m_lunFileList, lun);
    start(TRANS_SAN, [&id](Conn& c) {
        c.read_exact(38);
        c.send(transfer_reply(12, transfer_payload(0, 1, {rec(id, k2M, 4096)})));
        c.read_all();
    });
    worked_example_read(data);
    EXPECT_TRUE(log_is({kReadEnter,
                        kReadSent,
                        read_len(70),
                        {kTrace, "enter CQuillonvardeSDKImpl::ReadLun:..."},
                        {kTrace, "leave CQuillonvardeSDKImpl::ReadLun: OK"},
                        kReadOk},
                       kOperations));
    EXPECT_TRUE(testhost::logged(kInfo, "String2Hex: dev = " + wwn_hex(id)));
    EXPECT_EQ(to_hex(sent()),
              "35 35 00 00 0C 00 05 00 00 00 14 00 00 00 E7 96 FB 9B "
              "07 00 00 00 00 00 01 00 00 00 00 00 00 10 00 00 00 00 00 00");
}

// The SAN request carries all 64 bits of the length.
TEST_F(ReadWrite, SanRequestCarriesSixtyFourBitLength) {
    start(TRANS_SAN, [](Conn& c) {
        c.read_exact(38);
        c.send(transfer_reply(12, transfer_payload(5, 0)));
        c.read_all();
    });
    char buf[8];
    unsigned long long size = 0x100000010ULL;  // pretended capacity; nothing is read
    EXPECT_EQ(impl->ReadDisk(2, 0x123456789ULL, 0x100000010ULL, buf, size), 1);
    Bytes got = sent();
    ASSERT_EQ(got.size(), 38u);
    EXPECT_EQ(to_hex(Bytes(got.begin() + 18, got.end())),
              "02 00 00 00 89 67 45 23 01 00 00 00 10 00 00 00 01 00 00 00");
    EXPECT_EQ(parse_header(got).crc, reference_crc(got.data(), 14));
}

// SAN: a buffer smaller than VMLength fails after the whole reply is in; no LUN is read.
TEST_F(ReadWrite, SanReadBufferSmallerThanRequest) {
    Wwn id = wwn(2);
    start(TRANS_SAN, [&id](Conn& c) {
        c.read_exact(38);
        c.send(transfer_reply(12, transfer_payload(0, 1, {rec(id, k2M, 4096)})));
        c.read_exact(38);
        c.send(transfer_reply(12, transfer_payload(5, 0)));
        c.read_all();
    });
    std::vector<char> buf(100, 'u');
    unsigned long long size = 100;
    EXPECT_EQ(impl->ReadDisk(1, 0, 4096, buf.data(), size), 1);
    EXPECT_TRUE(log_is({kReadEnter,
                        kReadSent,
                        read_len(70),
                        {kTrace, "the space of buf not enough,buf size[100],VMLength [4096]"},
                        kReadNokError},
                       kOperations));
    EXPECT_EQ(size, 100u);
    // The stream is still aligned.
    testhost::clear();
    EXPECT_EQ(impl->ReadDisk(1, 0, 100, buf.data(), size), 1);
    EXPECT_TRUE(testhost::logged(kError, "ReadDisk: file handle does not exist!  (line #)"));
}

TEST_F(ReadWrite, SanReadLunFailureLeavesAtErrorLevel) {
    Wwn id = wwn(3);
    start(TRANS_SAN, [&id](Conn& c) {
        c.read_exact(38);
        c.send(transfer_reply(12, transfer_payload(0, 1, {rec(id, k2M, 16)})));
        c.read_all();
    });
    TempDir dir;
    std::string other = dir.path() + "/wwn-0x" + wwn_hex(wwn(4));
    make_lun_file(other, 3 * k2M);
    add_device(impl->m_lunFileList, other);
    char buf[16];
    unsigned long long size = 16;
    EXPECT_EQ(impl->ReadDisk(1, 0, 16, buf, size), 1);
    EXPECT_TRUE(log_is({kReadEnter,
                        kReadSent,
                        read_len(70),
                        {kTrace, "enter CQuillonvardeSDKImpl::ReadLun:..."},
                        {kError, "ReadLun: related LUN not found!  (line #)"},
                        {kTrace, "leave CQuillonvardeSDKImpl::ReadLun: NOK"},
                        kReadNokError},
                       kOperations));
    EXPECT_EQ(size, 16u);
}

// ---------------------------------------------------------------------------------------
// WriteDisk

TEST_F(ReadWrite, LanWriteWorkedExample) {
    std::vector<char> data = pattern(4096, 5);
    start(TRANS_LAN, [](Conn& c) {
        c.read_exact(34 + 4096);
        c.send(transfer_reply(4, transfer_payload(0, 17)));  // count is not read
        c.read_all();
    });
    impl->m_uiSeqNo = 5;
    long long len = 5000;
    EXPECT_EQ(impl->WriteDisk(7, 65536, 4096, data.data(), len), 0);
    EXPECT_EQ(len, 4096);
    EXPECT_TRUE(log_is({kWriteEnter, kWriteSent, write_len(6), kWriteOk}, kOperations));
    Bytes got = sent();
    ASSERT_EQ(got.size(), 34u + 4096);
    EXPECT_EQ(to_hex(Bytes(got.begin(), got.begin() + 34)),
              "35 35 00 00 04 00 05 00 00 00 10 00 00 00 34 DF 56 3B "
              "07 00 00 00 00 00 01 00 00 00 00 00 00 10 00 00");
    EXPECT_EQ(0, std::memcmp(got.data() + 34, data.data(), 4096));
}

// No buffer in the LAN transport: a data-less write, whatever bufLength says.
TEST_F(ReadWrite, LanDatalessWrite) {
    start(TRANS_LAN, [](Conn& c) {
        c.read_exact(34);
        c.send(transfer_reply(5, transfer_payload(0, 0)));
        c.read_exact(34);
        c.send(transfer_reply(4, transfer_payload(0, 0)));  // wrong code for data-less
        c.read_all();
    });
    long long len = -3;
    EXPECT_EQ(impl->WriteDisk(9, 512, 1024, nullptr, len), 0);
    EXPECT_EQ(len, 0);
    EXPECT_TRUE(log_is({kWriteEnter, kWriteSent, write_len(6), kWriteOk}, kOperations));
    testhost::clear();
    len = 0;
    EXPECT_EQ(impl->WriteDisk(9, 512, 1024, nullptr, len), 1);
    EXPECT_TRUE(log_is({kWriteEnter,
                        kWriteSent,
                        {kError, "WriteDisk: invalid msg head,operation:4 (line #)"},
                        kWriteNok},
                       kOperations));
    EXPECT_EQ(len, 0);
    Bytes got = sent();
    ASSERT_EQ(got.size(), 68u);
    SentHeader h = parse_header(got);
    EXPECT_EQ(h.operation, 5);
    EXPECT_EQ(h.length, 16u);
    EXPECT_EQ(to_hex(Bytes(got.begin() + 18, got.begin() + 34)),
              "09 00 00 00 00 02 00 00 00 00 00 00 00 04 00 00");
}

TEST_F(ReadWrite, WriteArgumentAndBufferTests) {
    start(TRANS_SAN, [](Conn& c) { c.read_all(); });
    char data[300] = {};
    long long len = 300;
    EXPECT_EQ(impl->WriteDisk(1, 0, 10, nullptr, len), 1);  // SAN needs a buffer
    EXPECT_EQ(impl->WriteDisk(1, 0, 0, data, len), 1);
    len = -5;
    EXPECT_EQ(impl->WriteDisk(1, 0, 10, data, len), 1);
    EXPECT_EQ(len, -5);
    len = 100;
    EXPECT_EQ(impl->WriteDisk(1, 0, 200, data, len), 1);
    impl->m_uiTransMode = TRANS_LAN;
    EXPECT_EQ(impl->WriteDisk(1, 0, 200, data, len), 1);
    EXPECT_EQ(len, 100);
    LogEntry invalid{kError, "WriteDisk: invalid parameters!"};
    LogEntry small{kError, "WriteDisk: buf size not Enough,buf length[100],VMLength[200]"};
    EXPECT_TRUE(
        log_is({kWriteEnter, invalid, kWriteNok, kWriteEnter, invalid, kWriteNok, kWriteEnter,
                invalid, kWriteNok, kWriteEnter, small, kWriteNok, kWriteEnter, small, kWriteNok},
               kOperations));
    EXPECT_EQ(impl->m_uiSeqNo, 0u);
    EXPECT_TRUE(sent().empty());
}

// A LAN write of 4 GiB or more would send more data than the request announces.
TEST_F(ReadWrite, LanWriteOfFourGibibytesIsRefused) {
    start(TRANS_LAN, [](Conn& c) { c.read_all(); });
    char data[8] = {};
    long long len = 0x100000000LL;  // claimed; refused before any byte is touched
    EXPECT_EQ(impl->WriteDisk(1, 0, 0x100000000ULL, data, len), 1);
    long long none = 0;
    EXPECT_EQ(impl->WriteDisk(1, 0, 0x100000000ULL, nullptr, none), 1);
    LogEntry refused{kError,
                     "WriteDisk: invalid parameters! LAN write length [4294967296] must be below "
                     "4 GiB  (line #)"};
    EXPECT_TRUE(
        log_is({kWriteEnter, refused, kWriteNok, kWriteEnter, refused, kWriteNok}, kOperations));
    EXPECT_EQ(len, 0x100000000LL);
    EXPECT_EQ(impl->m_uiSeqNo, 0u);
    EXPECT_TRUE(sent().empty());
}

TEST_F(ReadWrite, LanWriteDataNotSent) {
    start(TRANS_LAN, [](Conn& c) { c.read_exact(34); });
    std::vector<char> data(16 << 20, 'd');
    long long len = static_cast<long long>(data.size());
    EXPECT_EQ(impl->WriteDisk(1, 0, data.size(), data.data(), len), 1);
    EXPECT_EQ(len, -1);
    auto log = operation_log();
    ASSERT_GE(log.size(), 4u);
    EXPECT_EQ(log[1].text, "WriteDisk: send addr map cmd to server success! ");
    EXPECT_EQ(log[log.size() - 3].level, kError);
    EXPECT_EQ(log[log.size() - 3].text.rfind("send_msg: [", 0), 0u);
    EXPECT_EQ(log[log.size() - 2].text, "WriteDisk: send data to server failed!  (line #)");
    EXPECT_EQ(log.back().text, kWriteNok.text);
    EXPECT_EQ(log.back().level, kTrace);
}

// A LAN write's request and data leave together where the descriptor allows, yet the log
// tells them apart as if each had been sent alone; on a descriptor that is not a socket they
// still arrive whole, and on a closed one the request fails first and nothing more happens.
TEST_F(ReadWrite, LanWriteOnDescriptorsThatAreNoConnection) {
    const LogEntry sendFailed{kError, "WriteDisk: send addr map cmd to server failed!  (line #)"};
    const LogEntry badRecv{kError,
                           "recv_msg:[Bad file descriptor] return:[-1] errno:[9]  (line #)"};
    const LogEntry badSend{kError,
                           "send_msg: [Bad file descriptor] return:[-1] errno:[9] (line #)"};
    const LogEntry headFailed{kError, "WriteDisk: recv req head from server  failed!  (line #)"};
    std::vector<char> data = pattern(4096, 9);
    for (bool closed : {false, true}) {
        SCOPED_TRACE(closed ? "closed descriptor" : "pipe");
        testhost::clear();
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        if (closed) ::close(fds[1]);
        impl->m_iSocket = fds[1];
        impl->m_uiTransMode = TRANS_LAN;
        long long len = 5000;
        EXPECT_EQ(impl->WriteDisk(7, 65536, 4096, data.data(), len), 1);
        EXPECT_EQ(len, 5000);
        std::vector<char> got(34 + 4096 + 1);
        ::close(closed ? fds[0] : fds[1]);
        ssize_t n = closed ? 0 : ::read(fds[0], got.data(), got.size());
        if (closed) {
            EXPECT_TRUE(log_is({kWriteEnter, badSend, sendFailed, kWriteNok}, kOperations));
        } else {
            ::close(fds[0]);
            ASSERT_EQ(n, 34 + 4096);
            EXPECT_EQ(0, std::memcmp(got.data() + 34, data.data(), 4096));
            EXPECT_TRUE(
                log_is({kWriteEnter, kWriteSent, badRecv, headFailed, kWriteNok}, kOperations));
            std::vector<LogEntry> sends;
            for (auto& e : testhost::normalized_entries())
                if (e.level != kTrace && e.text.rfind("send", 0) == 0) sends.push_back(e);
            EXPECT_TRUE(testhost::same_log(
                {{kInfo, "send message to server success,34 bytes datas sended,total data:[34]!"},
                 {kDetail, "send message to server success!"},
                 {kInfo,
                  "send message to server success,4096 bytes datas sended,total data:[4096]!"},
                 {kDetail, "send message to server success!"}},
                sends));
        }
        impl->m_iSocket = -1;
    }
}

TEST_F(ReadWrite, WriteWithUnknownTransportMode) {
    start(static_cast<TRANSMODE>(7), [](Conn& c) { c.read_all(); });
    char data[8] = {};
    long long len = 8;
    EXPECT_EQ(impl->WriteDisk(1, 0, 8, data, len), 1);
    EXPECT_TRUE(log_is({kWriteEnter,
                        {kError, "send_msg: send_msg len is zero! (line #)"},
                        {kError, "WriteDisk: send addr map cmd to server failed!  (line #)"},
                        kWriteNok},
                       kOperations));
    EXPECT_EQ(len, 8);
}

TEST_F(ReadWrite, SanWriteOntoLunFiles) {
    TempDir dir;
    Wwn a = wwn(0x20), b = wwn(0x40);
    std::string lunA = dir.path() + "/wwn-0x" + wwn_hex(a);
    std::string lunB = dir.path() + "/wwn-0x" + wwn_hex(b);
    make_lun_file(lunA, 4 * k2M);
    make_lun_file(lunB, 4 * k2M);
    add_device(impl->m_lunFileList, lunA);
    add_device(impl->m_lunFileList, lunB);
    start(TRANS_SAN, [&](Conn& c) {
        c.read_exact(38);
        c.send(
            transfer_reply(12, transfer_payload(0, 2, {rec(a, 3 * k2M, 1000), rec(b, k2M, 500)})));
        c.read_exact(38);
        c.send(transfer_reply(12, transfer_payload(0, 2, {rec(b, k2M, 10), rec(a, 0, 10)})));
        c.read_exact(38);
        c.send(transfer_reply(12, concat({transfer_payload(0, 1), Bytes(10, 0)})));
        c.read_all();
    });
    std::vector<char> data = pattern(2000, 6);
    long long len = 2000;
    EXPECT_EQ(impl->WriteDisk(1, 0, 2000, data.data(), len), 0);
    EXPECT_EQ(len, 1500);  // the sum of the extents, less than offered
    EXPECT_EQ(read_file_range(lunA, 3 * k2M, 1000),
              std::vector<char>(data.begin(), data.begin() + 1000));
    EXPECT_EQ(read_file_range(lunB, k2M, 500),
              std::vector<char>(data.begin() + 1000, data.begin() + 1500));
    EXPECT_TRUE(log_is({kWriteEnter,
                        kWriteSent,
                        write_len(134),
                        {kTrace, "enter CQuillonvardeSDKImpl::WriteLun:..."},
                        {kTrace, "leave CQuillonvardeSDKImpl::WriteLun: OK"},
                        kWriteOk},
                       kOperations));

    // A write map with a hole fails in WriteLun; bufLength as WriteLun leaves it.
    testhost::clear();
    len = 2000;
    EXPECT_EQ(impl->WriteDisk(1, 0, 20, data.data(), len), 1);
    EXPECT_TRUE(log_is({kWriteEnter,
                        kWriteSent,
                        write_len(134),
                        {kTrace, "enter CQuillonvardeSDKImpl::WriteLun:..."},
                        {kError, "WriteLun: fail! The phyOffset is less than 2M bytes!  (line #)"},
                        {kTrace, "leave CQuillonvardeSDKImpl::WriteLun: NOK"},
                        kWriteNok},
                       kOperations));
    EXPECT_EQ(len, 2000);

    // A map announcing one record but carrying only part of it.
    testhost::clear();
    EXPECT_EQ(impl->WriteDisk(1, 0, 20, data.data(), len), 1);
    EXPECT_TRUE(
        log_is({kWriteEnter,
                kWriteSent,
                write_len(16),
                {kError,
                 "WriteDisk: address map of [1] records does not fit the reply, msg length:16!  "
                 "(line #)"},
                kWriteNok},
               kOperations));
}

// ---------------------------------------------------------------------------------------
// The service's result codes: one table for reading and writing

namespace {

// The text each known nonzero result is reported with, after "ReadDisk: " or "WriteDisk: ".
const char* const kResultTexts[] = {
    "operation code error!",      "vhd file not exist!",         "token error!",
    "file open flag error!",      "file handle does not exist!", "start block overflow!",
    "data size readed overflow!", "read VHDFile failed!",        "end block overflow!",
    "write vhd file failed!",     "close vhd file failed!",      "vhd struct error!",
    "parse vhd addr error!"};
constexpr uint16_t kKnownResults = sizeof kResultTexts / sizeof kResultTexts[0];
const uint16_t kUnknownResults[] = {14, 99};

struct Transfer {
    const char* name;
    bool read;
    TRANSMODE mode;
};

// Names the case in test output.
void PrintTo(const Transfer& t, std::ostream* os) { *os << t.name; }

class ResultCodes : public ReadWrite, public ::testing::WithParamInterface<Transfer> {
  protected:
    // One transfer of 64 bytes; the result and the log it leaves.
    int transfer(std::vector<char>& buf) {
        if (GetParam().read) {
            unsigned long long size = buf.size();
            int rc = impl->ReadDisk(1, 0, buf.size(), buf.data(), size);
            EXPECT_EQ(size, buf.size());
            return rc;
        }
        long long len = static_cast<long long>(buf.size());
        int rc = impl->WriteDisk(1, 0, buf.size(), buf.data(), len);
        EXPECT_EQ(len, static_cast<long long>(buf.size()));
        return rc;
    }
};

}  // namespace

TEST_P(ResultCodes, EveryNonzeroResultFailsWithItsText) {
    const Transfer t = GetParam();
    const uint16_t op = t.mode == TRANS_LAN ? 3 : 12;
    const size_t request = t.mode == TRANS_LAN ? 34 : 38;
    std::vector<uint16_t> codes;
    for (uint16_t r = 1; r <= kKnownResults; ++r) codes.push_back(r);
    codes.insert(codes.end(), std::begin(kUnknownResults), std::end(kUnknownResults));
    // A read reply counts one (missing) extent, a write reply none.
    const uint32_t count = t.read ? 1 : 0;
    start(t.mode, [&codes, op, request, count](Conn& c) {
        for (uint16_t r : codes) {
            if (!c.read_exact(request)) return;
            c.send(transfer_reply(op, transfer_payload(r, count)));
        }
        // Result 0 with count 0: no data.
        if (!c.read_exact(request)) return;
        c.send(transfer_reply(op, transfer_payload(0, 0)));
        c.read_all();
    });
    const std::string who = t.read ? "ReadDisk" : "WriteDisk";
    const LogEntry enter = t.read ? kReadEnter : kWriteEnter;
    const LogEntry sent_line = t.read ? kReadSent : kWriteSent;
    const LogEntry length = t.read ? read_len(6) : write_len(6);
    const LogEntry nok = t.read ? kReadNokTrace : kWriteNok;
    std::vector<char> buf(64);
    for (uint16_t r : codes) {
        SCOPED_TRACE(r);
        testhost::clear();
        EXPECT_EQ(transfer(buf), 1);
        std::string text =
            r <= kKnownResults ? who + ": " + kResultTexts[r - 1] + "  (line #)"
            : t.read ? "ReadDisk: unknown error, result:[" + std::to_string(r) + "] (line #)"
                     : std::string("WriteDisk: unknown error!  (line #)");
        EXPECT_TRUE(log_is({enter, sent_line, length, {kError, text}, nok}, kOperations));
    }
    testhost::clear();
    EXPECT_EQ(transfer(buf), 1);
    std::vector<LogEntry> expected = {enter, sent_line, length};
    if (t.read) {
        expected.push_back({kError, "ReadDisk: unknown error, result:[0] (line #)"});
        // The LAN transport adds a second message.
        if (t.mode == TRANS_LAN)
            expected.push_back({kError, "ReadDisk: storage can backup date length is zero"});
    } else {
        // A write map without any extent: a failure that leaves bufLength alone.
        expected.push_back(
            {kError, "WriteDisk: address map holds no extent, nothing written!  (line #)"});
    }
    expected.push_back(nok);
    EXPECT_TRUE(log_is(expected, kOperations));
    EXPECT_EQ(impl->m_uiSeqNo, codes.size() + 1);
}

INSTANTIATE_TEST_SUITE_P(ReadAndWrite, ResultCodes,
                         ::testing::Values(Transfer{"LanRead", true, TRANS_LAN},
                                           Transfer{"SanRead", true, TRANS_SAN},
                                           Transfer{"SanWrite", false, TRANS_SAN}),
                         [](const ::testing::TestParamInfo<Transfer>& p) { return p.param.name; });
