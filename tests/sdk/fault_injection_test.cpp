// Faults a host meets in the field, injected for real: a service that ends the connection
// (FIN or RST) after every byte offset of every reply kind, TLS peers that answer the
// handshake with garbage, reset it or close right after it, a service that stalls, and LUN
// devices that end early or refuse transfers. Each call must fail with its messages, leave the
// caller's buffers and the LUN bytes outside the address map as they were, and free what it
// allocated (the sanitizer build runs these tests under LeakSanitizer).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "lun_files.h"
#include "sdk_fixture.h"

using namespace sdktest;

namespace {

constexpr uint64_t k2M = 0x200000;
constexpr size_t kData = 64;  // LAN data and SAN extent length of the cut replies

Bytes reply(uint16_t op, const Bytes& payload) {
    return concat({reply_header(op, static_cast<uint32_t>(payload.size())), payload});
}

// Ends the connection with RST instead of FIN when the script returns.
void reset_on_close(Conn& c) {
    linger l{1, 0};
    setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
}

// One reply kind: the call that receives it, the bytes the service sends in full, and the
// message the call logs when the connection ends inside the header, the payload or the data.
struct CutCase {
    const char* name;
    size_t request;  // bytes the library sends before it reads the reply
    TRANSMODE mode;
    enum Call { Open, Close, Read, Write } call;
    Bytes full;
    const char* header_message;
    const char* payload_message;
    const char* data_message;  // LAN read only
};

void PrintTo(const CutCase& c, std::ostream* os) { *os << c.name; }

class CutReplies : public ::testing::TestWithParam<std::tuple<CutCase, bool>> {
  protected:
    void SetUp() override { ASSERT_EQ(testhost::install(), 0); }
};

std::vector<CutCase> cut_cases() {
    Wwn a = wwn(40), b = wwn(60);
    Bytes map = transfer_payload(0, 2, {rec(a, k2M, kData), rec(b, k2M + 4096, kData)});
    Bytes lan_data(kData, 0x5A);
    return {
        {"open", 404, TRANS_LAN, CutCase::Open, reply(1, transfer_payload(0, 7)),
         "OpenDisk: recv req head from server  failed!  (line #)",
         "OpenDisk: recv open disk result failed!  (line #)", nullptr},
        {"close", 22, TRANS_LAN, CutCase::Close, reply(2, Bytes{0, 0}),
         "CloseDisk: recv req head from server failed!  (line #)",
         "CloseDisk: recv close disk result failed!  (line #)", nullptr},
        {"lan_read", 34, TRANS_LAN, CutCase::Read,
         concat({reply(3, transfer_payload(0, kData)), lan_data}),
         "ReadDisk: recv req head from server  failed!  (line #)",
         "ReadDisk: recv addr map result failed!  (line #)",
         "ReadDisk: recv data from sever failed!  (line #)"},
        {"lan_write", 34 + kData, TRANS_LAN, CutCase::Write, reply(4, transfer_payload(0, 0)),
         "WriteDisk: recv req head from server  failed!  (line #)",
         "WriteDisk: recv addr map result failed!  (line #)", nullptr},
        {"san_read_map", 38, TRANS_SAN, CutCase::Read, reply(12, map),
         "ReadDisk: recv req head from server  failed!  (line #)",
         "ReadDisk: recv addr map result failed!  (line #)", nullptr},
        {"san_write_map", 38, TRANS_SAN, CutCase::Write, reply(12, map),
         "WriteDisk: recv req head from server  failed!  (line #)",
         "WriteDisk: recv addr map result failed!  (line #)", nullptr},
    };
}

// A new object on a new connection opens a disk: what an earlier failure left behind does not
// get in the way.
void expect_new_object_works() {
    Peer peer;
    peer.serve([](Conn& c) {
        if (c.read_exact(404)) c.send(reply(1, transfer_payload(0, 9)));
        c.read_all();
    });
    CQuillonvardeSDKImpl* impl = make();
    unsigned handle = 0;
    EXPECT_EQ(impl->ConnectHXA("127.0.0.1", peer.port(), "tok", 0), 0);
    EXPECT_EQ(impl->OpenDisk({}, "/vm/disk", OPEN_READWRITE, handle, TRANS_LAN), 0)
        << testhost::dump();
    EXPECT_EQ(handle, 9u);
    impl->DisConnectHXA();
    peer.join();
    CQuillonvardeSDK::DestroyInstance(impl);
}

}  // namespace

// The service sends the first k bytes of a reply and ends the connection, for every k.
TEST_P(CutReplies, EveryByteOffset) {
    const CutCase& cut = std::get<0>(GetParam());
    const bool rst = std::get<1>(GetParam());
    TempDir dir;
    const Wwn a = wwn(40), b = wwn(60);
    const std::string lun_a = dir.path() + "/wwn-0x" + wwn_hex(a);
    const std::string lun_b = dir.path() + "/wwn-0x" + wwn_hex(b);
    make_lun_file(lun_a, k2M + 8192, k2M, pattern(8192, 1));
    make_lun_file(lun_b, k2M + 8192, k2M, pattern(8192, 2));
    const std::vector<char> before_a = read_file_range(lun_a, 0, k2M + 8192);
    const std::vector<char> before_b = read_file_range(lun_b, 0, k2M + 8192);

    for (size_t k = 0; k < cut.full.size(); ++k) {
        SCOPED_TRACE("reply cut after " + std::to_string(k) + " bytes");
        Peer peer;
        peer.serve([&](Conn& c) {
            c.read_exact(cut.request);
            c.send(Bytes(cut.full.begin(), cut.full.begin() + static_cast<long>(k)));
            if (rst) reset_on_close(c);
        });
        CQuillonvardeSDKImpl* impl = make();
        ASSERT_EQ(impl->ConnectHXA("127.0.0.1", peer.port(), "tok", 0), 0);
        impl->m_uiTransMode = cut.mode;
        if (cut.mode == TRANS_SAN) {
            add_device(impl->m_lunFileList, lun_a);
            add_device(impl->m_lunFileList, lun_b);
        }
        testhost::clear();

        std::vector<char> buf(2 * kData, 'x');
        unsigned long long size = buf.size();
        long long length = static_cast<long long>(kData * 2);
        unsigned handle = 3;
        int result = -1;
        switch (cut.call) {
            case CutCase::Open:
                result = impl->OpenDisk({}, "/vm/disk", OPEN_READWRITE, handle, TRANS_LAN);
                EXPECT_EQ(handle, 3u);
                break;
            case CutCase::Close:
                result = impl->CloseDisk(7);
                break;
            case CutCase::Read:
                result = impl->ReadDisk(7, 0, cut.mode == TRANS_SAN ? 2 * kData : kData, buf.data(),
                                        size);
                EXPECT_EQ(size, buf.size());
                EXPECT_EQ(buf, std::vector<char>(2 * kData, 'x'));
                break;
            case CutCase::Write:
                result = impl->WriteDisk(7, 0, cut.mode == TRANS_SAN ? 2 * kData : kData,
                                         buf.data(), length);
                EXPECT_EQ(length, static_cast<long long>(kData * 2));
                break;
        }
        EXPECT_EQ(result, 1);
        // With FIN the failing receive is known from k; an RST may discard what was still
        // queued, so any of the call's receive failures is right then.
        const char* expected = k < 18                                     ? cut.header_message
                               : (cut.data_message != nullptr && k >= 24) ? cut.data_message
                                                                          : cut.payload_message;
        if (rst) {
            bool any = false;
            for (const char* m : {cut.header_message, cut.payload_message, cut.data_message})
                any = any || (m != nullptr && testhost::logged(kError, m));
            EXPECT_TRUE(any) << testhost::dump();
        } else {
            EXPECT_TRUE(
                testhost::logged(kError, "recv_msg: read 100 zero buf! recv_msg fail!  (line #)"))
                << testhost::dump();
            EXPECT_TRUE(testhost::logged(kError, expected)) << expected << "\n" << testhost::dump();
        }
        impl->CloseLocalLunDevFile();
        impl->DisConnectHXA();
        peer.join();
        CQuillonvardeSDK::DestroyInstance(impl);
        expect_new_object_works();
        if (::testing::Test::HasFailure()) break;
    }
    EXPECT_EQ(read_file_range(lun_a, 0, k2M + 8192), before_a);
    EXPECT_EQ(read_file_range(lun_b, 0, k2M + 8192), before_b);
}

INSTANTIATE_TEST_SUITE_P(ReplyKinds, CutReplies,
                         ::testing::Combine(::testing::ValuesIn(cut_cases()), ::testing::Bool()),
                         [](const ::testing::TestParamInfo<std::tuple<CutCase, bool>>& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) ? "_rst" : "_fin");
                         });

namespace {

// A TLS client against a peer that misbehaves in or right after the handshake.
struct TlsFault {
    const char* name;
    bool tls_peer;        // the peer completes a real handshake first
    Peer::Script script;  // what the peer does then (plain peers: from the first byte)
    bool connects;        // ConnectHXA succeeds (the fault comes after the handshake)
};

void PrintTo(const TlsFault& f, std::ostream* os) { *os << f.name; }

class TlsFaults : public ::testing::TestWithParam<TlsFault> {
  protected:
    // SIGPIPE stays at its default action: a peer that has gone must not end the host.
    void SetUp() override { ASSERT_EQ(testhost::install(), 0); }
};

}  // namespace

TEST_P(TlsFaults, FailCleanly) {
    const TlsFault& fault = GetParam();
    Peer peer(fault.tls_peer);
    peer.serve(fault.script);
    CQuillonvardeSDKImpl* impl = make();
    const int connected = impl->ConnectHXA("127.0.0.1", peer.port(), "tok", 1);
    EXPECT_EQ(connected, fault.connects ? 0 : 1) << testhost::dump();
    if (connected != 0) {
        bool reported = false;
        for (const auto& e : testhost::normalized_entries())
            reported = reported || e.text.rfind("ConnectHXA err,return:[", 0) == 0;
        EXPECT_TRUE(reported) << testhost::dump();
    } else {
        unsigned handle = 0;
        EXPECT_EQ(impl->OpenDisk({}, "/vm/disk", OPEN_READWRITE, handle, TRANS_LAN), 1);
        EXPECT_TRUE(testhost::logged(kTrace, "leave CQuillonvardeSDKImpl::OpenDisk: NOK"));
    }
    impl->DisConnectHXA();
    peer.join();
    CQuillonvardeSDK::DestroyInstance(impl);
}

INSTANTIATE_TEST_SUITE_P(
    Handshake, TlsFaults,
    ::testing::Values(TlsFault{"GarbageForServerHello", false,
                               [](Conn& c) {
                                   c.read_exact(5);
                                   c.send(Bytes(300, 0xA7));
                                   c.read_all();
                               },
                               false},
                      TlsFault{"ResetMidHandshake", false,
                               [](Conn& c) {
                                   c.read_exact(5);
                                   // The start of a handshake record, then RST.
                                   c.send(Bytes{0x16, 0x03, 0x03, 0x00, 0x40, 0x02});
                                   reset_on_close(c);
                               },
                               false},
                      TlsFault{"CloseRightAfterHandshake", true, [](Conn&) {}, true}),
    [](const ::testing::TestParamInfo<TlsFault>& info) { return std::string(info.param.name); });

// A service that stops answering, and one that stops taking data: the 30-second time-outs
// end both calls (run side by side, so the test takes one time-out, or two for a send that
// was partly taken before the stall).
TEST(Stall, TimeOutsEndTheCall) {
    ASSERT_EQ(testhost::install(), 0);
    Peer silent, full;
    std::atomic<bool> done{false};
    silent.serve([](Conn& c) { c.read_all(); });
    // Never reads: the library's data block stays in the socket buffers until they are full.
    full.serve([&done](Conn&) {
        while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    });
    CQuillonvardeSDKImpl* reader = make();
    CQuillonvardeSDKImpl* writer = make();
    ASSERT_EQ(reader->ConnectHXA("127.0.0.1", silent.port(), "tok", 0), 0);
    ASSERT_EQ(writer->ConnectHXA("127.0.0.1", full.port(), "tok", 0), 0);
    reader->m_uiTransMode = TRANS_LAN;
    writer->m_uiTransMode = TRANS_LAN;
    testhost::clear();

    int read_result = -1, write_result = -1;
    std::vector<char> in(4096, 'x');
    std::vector<char> out(64 << 20, 'y');  // far more than the socket buffers hold
    std::thread read_thread([&] {
        unsigned long long size = in.size();
        read_result = reader->ReadDisk(1, 0, in.size(), in.data(), size);
    });
    long long length = static_cast<long long>(out.size());
    write_result = writer->WriteDisk(1, 0, out.size(), out.data(), length);
    read_thread.join();
    done = true;

    EXPECT_EQ(read_result, 1);
    EXPECT_TRUE(testhost::logged(kError, "ReadDisk: recv req head from server  failed!  (line #)"))
        << testhost::dump();
    EXPECT_EQ(in, std::vector<char>(4096, 'x'));
    EXPECT_EQ(write_result, 1);
    EXPECT_TRUE(testhost::logged(kError, "WriteDisk: send data to server failed!  (line #)"))
        << testhost::dump();
    reader->DisConnectHXA();
    writer->DisConnectHXA();
    silent.join();
    full.join();
    CQuillonvardeSDK::DestroyInstance(reader);
    CQuillonvardeSDK::DestroyInstance(writer);
}

namespace {

// A LUN device that ends early or refuses a transfer, reached through a SAN read or write
// whose map has two extents: the call fails with the device's message, and no LUN byte
// outside the map changes.
struct LunFault {
    const char* name;
    bool write;
    uint64_t second_size;  // size of the second LUN file; 0: the second LUN is /dev/full
    int second_flags;      // how the library's descriptor for the second LUN is opened
    const char* message;
};

void PrintTo(const LunFault& f, std::ostream* os) { *os << f.name; }

class LunFaults : public ::testing::TestWithParam<LunFault> {
  protected:
    void SetUp() override { ASSERT_EQ(testhost::install(), 0); }
};

}  // namespace

TEST_P(LunFaults, CallFailsAndNothingOutsideTheMapChanges) {
    const LunFault& fault = GetParam();
    TempDir dir;
    const Wwn a = wwn(80), b = wwn(100);
    const std::string first = dir.path() + "/wwn-0x" + wwn_hex(a);
    make_lun_file(first, k2M + 16384, k2M, pattern(16384, 3));
    const std::string second = dir.path() + "/wwn-0x" + wwn_hex(b);
    if (fault.second_size == 0)
        ASSERT_EQ(symlink("/dev/full", second.c_str()), 0);
    else
        make_lun_file(second, fault.second_size);
    std::vector<char> before = read_file_range(first, 0, k2M + 16384);

    Bytes map = transfer_payload(0, 2, {rec(a, k2M + 4096, 4096), rec(b, k2M, 4096)});
    Peer peer;
    peer.serve([&](Conn& c) {
        if (c.read_exact(38)) c.send(reply(12, map));
        c.read_all();
    });
    CQuillonvardeSDKImpl* impl = make();
    ASSERT_EQ(impl->ConnectHXA("127.0.0.1", peer.port(), "tok", 0), 0);
    impl->m_uiTransMode = TRANS_SAN;
    add_device(impl->m_lunFileList, first);
    HFILE dev;
    dev.devPath = second;
    dev.fd = ::open(second.c_str(), fault.second_flags);
    ASSERT_GE(dev.fd, 0) << second;
    impl->m_lunFileList.push_back(dev);
    testhost::clear();

    std::vector<char> buf = pattern(8192, 9);
    int result;
    if (fault.write) {
        long long length = 8192;
        result = impl->WriteDisk(7, 0, 8192, buf.data(), length);
    } else {
        unsigned long long size = 8192;
        result = impl->ReadDisk(7, 0, 8192, buf.data(), size);
        EXPECT_EQ(size, 8192u);
    }
    EXPECT_EQ(result, 1);
    EXPECT_TRUE(testhost::logged(kError, fault.message)) << testhost::dump();

    std::vector<char> after = read_file_range(first, 0, k2M + 16384);
    if (fault.write) {
        // The first extent was carried out; nothing else moved.
        std::copy(buf.begin(), buf.begin() + 4096, before.begin() + k2M + 4096);
    }
    EXPECT_TRUE(after == before) << "LUN bytes changed outside the address map";
    impl->CloseLocalLunDevFile();
    impl->DisConnectHXA();
    peer.join();
    CQuillonvardeSDK::DestroyInstance(impl);
}

INSTANTIATE_TEST_SUITE_P(
    Devices, LunFaults,
    ::testing::Values(
        // A device that takes no more data (a full disk).
        LunFault{"WriteToFullDevice", true, 0, O_RDWR,
                 "WriteLun: No space left on device  (line #)"},
        // A device opened without write access.
        LunFault{"WriteRefused", true, k2M + 8192, O_RDONLY,
                 "WriteLun: Bad file descriptor  (line #)"},
        // A device opened without read access.
        LunFault{"ReadRefused", false, k2M + 8192, O_WRONLY,
                 "ReadLun: Bad file descriptor  (line #)"},
        // A device that ends inside the extent.
        LunFault{"ReadPastTheEnd", false, k2M + 1000, O_RDONLY,
                 "ReadLun: device ended before the extent was complete, 3096 bytes missing!  "
                 "(line #)"}),
    [](const ::testing::TestParamInfo<LunFault>& info) { return std::string(info.param.name); });
