// Connection set-up and tear-down, plain and TLS, and the exact-count transfer functions.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <regex>

#include "sdk_fixture.h"

using namespace sdktest;

namespace {

// A loopback port where nothing listens: bound once to learn a free number, then closed.
unsigned short closed_port() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

bool fd_open(int fd) { return fd >= 0 && fcntl(fd, F_GETFD) != -1; }

class Transport : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(testhost::install(), 0);
        testhost::clear();
        impl = make();
    }
    void TearDown() override { CQuillonvardeSDK::DestroyInstance(impl); }
    CQuillonvardeSDKImpl* impl = nullptr;
};

}  // namespace

TEST_F(Transport, ConnectToClosedPortFails) {
    impl->m_strToken = "before";
    EXPECT_EQ(impl->ConnectHXA("127.0.0.1", closed_port(), "new-token", 0), 1);
    EXPECT_TRUE(log_is({{kTrace, "enter CQuillonvardeSDKImpl::ConnectHXA..."},
                        {kInfo, "ConnectHXA: address created"},
                        {kError, "ConnectHXA: Connection refused  (line #)"},
                        {kTrace, "leave CQuillonvardeSDKImpl::ConnectHXA: NOK"}},
                       kOperations));
    EXPECT_EQ(impl->m_strToken, "before");
    // The socket stays open until DisConnectHXA.
    int sock = impl->m_iSocket;
    EXPECT_TRUE(fd_open(sock));
    testhost::clear();
    impl->DisConnectHXA();
    EXPECT_FALSE(fd_open(sock));
    EXPECT_EQ(impl->m_iSocket, -1);
    EXPECT_TRUE(log_is({{kTrace, "enter CQuillonvardeSDKImpl::DisConnectHXA:..."},
                        {kTrace, "leave CQuillonvardeSDKImpl::DisConnectHXA: OK"}},
                       kOperations));
}

TEST_F(Transport, PlainConnectStoresTokenAndCreatesNoTls) {
    Peer peer;
    peer.serve([](Conn& c) { c.read_all(); });
    EXPECT_EQ(impl->ConnectHXA("127.0.0.1", peer.port(), "secret-token", 0), 0);
    EXPECT_TRUE(log_is({{kTrace, "enter CQuillonvardeSDKImpl::ConnectHXA..."},
                        {kInfo, "ConnectHXA: address created"},
                        {kInfo, "ConnectHXA: server connected"},
                        {kTrace, "leave CQuillonvardeSDKImpl::ConnectHXA: OK"}},
                       kOperations));
    EXPECT_EQ(impl->m_strToken, "secret-token");
    EXPECT_EQ(impl->m_uiUseSSL, 0u);
    EXPECT_EQ(impl->m_pSSL, nullptr);
    EXPECT_EQ(impl->m_pSSLCtx, nullptr);
    // The time-outs are set on the socket.
    timeval tv{};
    socklen_t len = sizeof tv;
    ASSERT_EQ(getsockopt(impl->m_iSocket, SOL_SOCKET, SO_SNDTIMEO, &tv, &len), 0);
    EXPECT_EQ(tv.tv_sec, 30);
    EXPECT_EQ(tv.tv_usec, 0);
    ASSERT_EQ(getsockopt(impl->m_iSocket, SOL_SOCKET, SO_RCVTIMEO, &tv, &len), 0);
    EXPECT_EQ(tv.tv_sec, 30);
    impl->DisConnectHXA();
    peer.join();
    EXPECT_TRUE(peer.received().empty());
}

// A second DisConnectHXA closes nothing: the descriptor number may by then belong to
// something else.
TEST_F(Transport, SecondDisconnectClosesNothing) {
    Peer peer;
    peer.serve([](Conn& c) { c.read_all(); });
    connect_plain(impl, peer);
    int sock = impl->m_iSocket;
    impl->DisConnectHXA();
    EXPECT_EQ(impl->m_iSocket, -1);
    // The same descriptor number now belongs to something else.
    int other = ::open("/dev/null", O_RDONLY);
    if (other != sock) {
        ASSERT_EQ(dup2(other, sock), sock);
        ::close(other);
    }
    impl->DisConnectHXA();
    EXPECT_TRUE(fd_open(sock));
    ::close(sock);
    peer.join();
}

TEST_F(Transport, TlsConnectAndExchange) {
    Peer peer(true);
    peer.serve([](Conn& c) {
        c.read_exact(22);
        c.send(concat({reply_header(2, 2), {0, 0}}));
        c.read_all();
    });
    EXPECT_EQ(impl->ConnectHXA("127.0.0.1", peer.port(), "tls-token", 1), 0);
    auto log = operation_log();
    ASSERT_EQ(log.size(), 6u) << testhost::dump();
    EXPECT_EQ(log[0].text, "enter CQuillonvardeSDKImpl::ConnectHXA...");
    EXPECT_EQ(log[2].text, "ConnectHXA: server connected");
    EXPECT_EQ(log[3].level, kError);
    EXPECT_EQ(log[3].text, "ConnectHXA SSL return:[1] ");
    EXPECT_EQ(log[4].level, kInfo);
    EXPECT_EQ(log[4].text, std::string("ConnectHXA: connected with ") +
                               SSL_CIPHER_get_name(SSL_get_current_cipher(impl->m_pSSL)) +
                               " encryption");
    EXPECT_NE(log[4].text, "ConnectHXA: connected with (NONE) encryption");
    EXPECT_EQ(log[5].level, kTrace);
    EXPECT_EQ(log[5].text, "leave CQuillonvardeSDKImpl::ConnectHXA: OK");
    EXPECT_NE(impl->m_pSSL, nullptr);
    EXPECT_NE(impl->m_pSSLCtx, nullptr);
    EXPECT_EQ(impl->m_uiUseSSL, 1u);
    EXPECT_EQ(impl->m_strToken, "tls-token");

    // Requests and replies travel inside the TLS session.
    impl->m_uiTransMode = TRANS_LAN;
    EXPECT_EQ(impl->CloseDisk(7), 0);
    Bytes got = peer.received();
    ASSERT_EQ(got.size(), 22u);
    EXPECT_EQ(testpeer::to_hex(Bytes(got.begin(), got.begin() + 14)),
              "35 35 00 00 02 00 00 00 00 00 04 00 00 00");
    EXPECT_EQ(parse_header(got).crc, reference_crc(got.data(), 14));
    EXPECT_EQ(testpeer::to_hex(Bytes(got.begin() + 18, got.end())), "07 00 00 00");
    impl->DisConnectHXA();
    EXPECT_EQ(impl->m_pSSL, nullptr);
    EXPECT_EQ(impl->m_pSSLCtx, nullptr);
    EXPECT_EQ(impl->m_iSocket, -1);
    peer.join();
    EXPECT_TRUE(peer.handshake_ok());
}

// A peer that answers the TLS client hello with plain text: the handshake fails cleanly.
TEST_F(Transport, TlsHandshakeAgainstPlainPeerFails) {
    Peer peer;
    peer.serve([](Conn& c) {
        Bytes hello;
        c.read_exact(5, &hello);
        c.send(Bytes{'H', 'X', 'A', ' ', 'r', 'e', 'a', 'd', 'y', '\r', '\n', 0, 0, 0, 0});
        c.read_all();
    });
    EXPECT_EQ(impl->ConnectHXA("127.0.0.1", peer.port(), "tok", 1), 1);
    auto log = operation_log();
    ASSERT_EQ(log.size(), 6u) << testhost::dump();
    EXPECT_EQ(log[3].level, kError);
    EXPECT_TRUE(std::regex_match(log[3].text, std::regex(R"(ConnectHXA SSL return:\[-?[0-9]+\] )")))
        << log[3].text;
    EXPECT_NE(log[3].text, "ConnectHXA SSL return:[1] ");
    EXPECT_EQ(log[4].level, kError);
    EXPECT_TRUE(std::regex_match(
        log[4].text,
        std::regex(R"(ConnectHXA err,return:\[-?[0-9]+\] err info:\[[^\]]+\]  \(line #\))")))
        << log[4].text;
    EXPECT_EQ(log[4].text.find("(null)"), std::string::npos);
    EXPECT_EQ(log[5].text, "leave CQuillonvardeSDKImpl::ConnectHXA: NOK");
    EXPECT_EQ(impl->m_strToken, "");
    // The context and session stay until DisConnectHXA releases them.
    EXPECT_NE(impl->m_pSSLCtx, nullptr);
    EXPECT_NE(impl->m_pSSL, nullptr);
    impl->DisConnectHXA();
    EXPECT_EQ(impl->m_pSSLCtx, nullptr);
    EXPECT_EQ(impl->m_pSSL, nullptr);
    peer.join();
}

// A peer that closes the connection in the middle of the handshake.
TEST_F(Transport, TlsPeerClosingDuringHandshake) {
    Peer peer;
    peer.serve([](Conn& c) { c.read_exact(5); });
    EXPECT_EQ(impl->ConnectHXA("127.0.0.1", peer.port(), "tok", 1), 1);
    auto log = operation_log();
    ASSERT_EQ(log.size(), 6u) << testhost::dump();
    EXPECT_TRUE(std::regex_match(
        log[4].text,
        std::regex(R"(ConnectHXA err,return:\[-?[0-9]+\] err info:\[[^\]]+\]  \(line #\))")))
        << log[4].text;
    EXPECT_EQ(log[4].text.find("(null)"), std::string::npos);
    impl->DisConnectHXA();
    peer.join();
}

TEST_F(Transport, SendOfZeroBytesIsRefused) {
    Peer peer;
    peer.serve([](Conn& c) { c.read_all(); });
    connect_plain(impl, peer);
    char data[4] = {1, 2, 3, 4};
    EXPECT_EQ(impl->send_msg(data, 0), -1);
    auto log = testhost::normalized_entries();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].level, kError);
    EXPECT_EQ(log[0].text, "send_msg: send_msg len is zero! (line #)");
    impl->DisConnectHXA();
    peer.join();
    EXPECT_TRUE(peer.received().empty());
}

TEST_F(Transport, SendAndReceiveLogLines) {
    Bytes reply(1000);
    for (size_t i = 0; i < reply.size(); ++i) reply[i] = static_cast<uint8_t>(i * 7);
    Peer peer;
    peer.serve([&reply](Conn& c) {
        c.read_exact(300);
        c.send_pieces(reply, 7);
        c.read_all();
    });
    connect_plain(impl, peer);
    char out[300];
    for (int i = 0; i < 300; ++i) out[i] = static_cast<char>(i);
    EXPECT_EQ(impl->send_msg(out, 300), 0);
    auto log = testhost::normalized_entries();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].level, kInfo);
    EXPECT_EQ(log[0].text,
              "send message to server success,300 bytes datas sended,total data:[300]!");
    EXPECT_EQ(log[1].level, kDetail);
    EXPECT_EQ(log[1].text, "send message to server success!");

    // A reply in many pieces is read completely.
    testhost::clear();
    std::vector<char> in(1000);
    EXPECT_EQ(impl->recv_msg(in.data(), 1000), 0);
    EXPECT_EQ(0, std::memcmp(in.data(), reply.data(), 1000));
    log = testhost::normalized_entries();
    ASSERT_GE(log.size(), 2u);
    std::regex piece(
        R"(recv message from server success,([0-9]+) bytes datas recved,total data:\[1000\])");
    long sum = 0;
    for (size_t i = 0; i + 1 < log.size(); ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(log[i].text, m, piece)) << log[i].text;
        EXPECT_EQ(log[i].level, kInfo);
        sum += std::stol(m[1].str());
    }
    EXPECT_EQ(sum, 1000);
    EXPECT_EQ(log.back().level, kInfo);
    EXPECT_EQ(log.back().text, "recv message from server success!");

    // A receive of 0 bytes succeeds at once with one line.
    testhost::clear();
    EXPECT_EQ(impl->recv_msg(in.data(), 0), 0);
    log = testhost::normalized_entries();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].level, kInfo);
    EXPECT_EQ(log[0].text, "recv message from server success!");
    impl->DisConnectHXA();
    peer.join();
    Bytes got = peer.received();
    ASSERT_EQ(got.size(), 300u);
    EXPECT_EQ(0, std::memcmp(got.data(), out, 300));
}

// The peer closes in the middle of a reply: a hundred zero reads are tolerated, the next
// one fails the call.
TEST_F(Transport, PeerClosingMidReplyGivesHundredZeroReads) {
    Peer peer;
    peer.serve([](Conn& c) { c.send(Bytes{0x35, 0x35, 0, 0, 2}); });
    connect_plain(impl, peer);
    peer.join();
    char buf[18];
    EXPECT_EQ(impl->recv_msg(buf, 18), -1);
    auto log = testhost::normalized_entries();
    // The five bytes may arrive in one or more reads.
    size_t i = 0;
    long data = 0;
    std::regex piece(
        R"(recv message from server success,([1-9][0-9]*) bytes datas recved,total data:\[18\])");
    for (std::smatch m; i < log.size() && std::regex_match(log[i].text, m, piece); ++i)
        data += std::stol(m[1].str());
    EXPECT_EQ(data, 5);
    ASSERT_EQ(log.size() - i, 202u) << testhost::dump();
    for (int k = 1; k <= 100; ++k, i += 2) {
        EXPECT_EQ(log[i].level, kInfo);
        EXPECT_EQ(log[i].text,
                  "recv message from server success,0 bytes datas recved,total data:[18]");
        EXPECT_EQ(log[i + 1].level, kInfo);
        EXPECT_EQ(log[i + 1].text, "recv_msg: read " + std::to_string(k) + " zero buf!");
    }
    EXPECT_EQ(log[i].text, "recv message from server success,0 bytes datas recved,total data:[18]");
    EXPECT_EQ(log[i + 1].level, kError);
    EXPECT_EQ(log[i + 1].text, "recv_msg: read 100 zero buf! recv_msg fail!  (line #)");
    impl->DisConnectHXA();
}

TEST_F(Transport, FailingReadAndWriteReportTheSystemError) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ::close(fds[0]);
    ::close(fds[1]);
    impl->m_iSocket = fds[0];  // a descriptor number that is closed
    impl->m_uiUseSSL = 0;
    char buf[8] = {};
    EXPECT_EQ(impl->recv_msg(buf, 8), -1);
    EXPECT_EQ(impl->send_msg(buf, 8), -1);
    auto log = testhost::normalized_entries();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].level, kError);
    EXPECT_EQ(log[0].text, "recv_msg:[Bad file descriptor] return:[-1] errno:[9]  (line #)");
    EXPECT_EQ(log[1].level, kError);
    EXPECT_EQ(log[1].text, "send_msg: [Bad file descriptor] return:[-1] errno:[9] (line #)");
    impl->m_iSocket = -1;
}

// Writing to a connection the peer has closed fails with a message instead of ending the
// process with SIGPIPE.
TEST_F(Transport, WriteToClosedPeerDoesNotKillTheHost) {
    Peer peer;
    peer.serve([](Conn&) {});
    connect_plain(impl, peer);
    peer.join();
    std::vector<char> big(1 << 20, 'x');
    int r = 0;
    for (int i = 0; i < 50 && r == 0; ++i) r = impl->send_msg(big.data(), big.size());
    EXPECT_EQ(r, -1);
    auto log = testhost::normalized_entries();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().level, kError);
    EXPECT_TRUE(std::regex_match(
        log.back().text,
        std::regex(
            R"(send_msg: \[(Broken pipe|Connection reset by peer)\] return:\[-1\] errno:\[(32|104)\] \(line #\))")))
        << log.back().text;
    sigset_t pending;
    sigpending(&pending);
    EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
    impl->DisConnectHXA();
}

namespace {

// A BIO whose every write returns the value stored in it, with no error queued, to stand
// for a TLS session that accepts no data.
BIO_METHOD* fixed_write_method() {
    static BIO_METHOD* method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "fixed write");
        BIO_meth_set_write(m, [](BIO* b, const char*, int) -> int {
            return static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(b)));
        });
        BIO_meth_set_ctrl(
            m, [](BIO*, int cmd, long, void*) -> long { return cmd == BIO_CTRL_FLUSH ? 1 : 0; });
        BIO_meth_set_create(m, [](BIO* b) -> int {
            BIO_set_init(b, 1);
            return 1;
        });
        return m;
    }();
    return method;
}

}  // namespace

TEST_F(Transport, TlsWriteReturningZeroOrFailingWithoutReason) {
    Peer peer(true);
    peer.serve([](Conn& c) { c.read_all(); });
    ASSERT_EQ(impl->ConnectHXA("127.0.0.1", peer.port(), "tok", 1), 0) << testhost::dump();
    BIO* zero = BIO_new(fixed_write_method());
    BIO_set_data(zero, reinterpret_cast<void*>(static_cast<intptr_t>(0)));
    SSL_set0_wbio(impl->m_pSSL, zero);  // the session owns the new BIO
    testhost::clear();
    char data[64] = {};
    EXPECT_EQ(impl->send_msg(data, sizeof data), -1);  // returns instead of spinning
    auto log = testhost::normalized_entries();
    ASSERT_EQ(log.size(), 1u) << testhost::dump();
    EXPECT_EQ(log[0].level, kError);
    EXPECT_TRUE(std::regex_match(
        log[0].text,
        std::regex(
            R"(send_msg: connection accepts no data, return:\[0\] errno:\[[0-9]+\] \(line #\))")))
        << log[0].text;

    // A failing write with nothing on OpenSSL's error queue: a fixed text, never "(null)".
    BIO* failing = BIO_new(fixed_write_method());
    BIO_set_data(failing, reinterpret_cast<void*>(static_cast<intptr_t>(-1)));
    SSL_set0_wbio(impl->m_pSSL, failing);
    testhost::clear();
    EXPECT_EQ(impl->send_msg(data, sizeof data), -1);
    log = testhost::normalized_entries();
    ASSERT_EQ(log.size(), 1u) << testhost::dump();
    EXPECT_TRUE(std::regex_match(
        log[0].text,
        std::regex(R"(send_msg: \[unknown error\] return:\[-1\] errno:\[[0-9]+\] \(line #\))")))
        << log[0].text;
    impl->DisConnectHXA();
    peer.join();
}

// TLS read path: data in pieces, then a close notification read as zero reads.
TEST_F(Transport, TlsReceiveInPieces) {
    Bytes reply(5000);
    for (size_t i = 0; i < reply.size(); ++i) reply[i] = static_cast<uint8_t>(i ^ 0x5a);
    Peer peer(true);
    peer.serve([&reply](Conn& c) {
        c.send_pieces(reply, 333);
        c.read_all();
    });
    ASSERT_EQ(impl->ConnectHXA("127.0.0.1", peer.port(), "tok", 1), 0) << testhost::dump();
    std::vector<char> in(5000);
    EXPECT_EQ(impl->recv_msg(in.data(), 5000), 0);
    EXPECT_EQ(0, std::memcmp(in.data(), reply.data(), 5000));
    impl->DisConnectHXA();
    peer.join();
}

namespace {

// Allocation hooks for OpenSSL: after `g_fail_after` further allocations on the armed
// thread, every allocation fails.
std::atomic<long> g_fail_after{-1};
thread_local bool t_armed = false;

void* failing_malloc(size_t n, const char*, int) {
    if (t_armed && g_fail_after.fetch_sub(1) <= 0) return nullptr;
    return std::malloc(n);
}
void* failing_realloc(void* p, size_t n, const char*, int) {
    if (t_armed && g_fail_after.fetch_sub(1) <= 0) return nullptr;
    return std::realloc(p, n);
}
void plain_free(void* p, const char*, int) { std::free(p); }

}  // namespace

// Out of memory inside OpenSSL: a context or a session that cannot be created fails the
// connect with a message and result 1; nothing crashes and no null text is printed.
TEST(TlsAllocation, ContextOrSessionCreationFailing) {
    if (CRYPTO_set_mem_functions(failing_malloc, failing_realloc, plain_free) == 0)
        GTEST_SKIP() << "OpenSSL allocated memory before this test could install its hooks; "
                        "run this case in its own process (ctest does)";
    ASSERT_EQ(testhost::install(), 0);
    // Warm up OpenSSL's global state without failures.
    {
        Peer peer(true);
        peer.serve([](Conn& c) { c.read_all(); });
        CQuillonvardeSDKImpl* impl = make();
        ASSERT_EQ(impl->ConnectHXA("127.0.0.1", peer.port(), "tok", 1), 0) << testhost::dump();
        impl->DisConnectHXA();
        CQuillonvardeSDK::DestroyInstance(impl);
        peer.join();
    }
    bool saw_ctx = false, saw_ssl_new = false;
    const std::regex ctx_line(R"(ConnectHXA: [^\]]+  \(line #\))");
    const std::regex new_line(R"(ConnectHXA: SSL_new failed: .+  \(line #\))");
    for (long n = 0; n < 20000 && !saw_ssl_new; ++n) {
        Peer peer(true);
        peer.serve([](Conn& c) { c.read_all(); });
        CQuillonvardeSDKImpl* impl = make();
        testhost::clear();
        g_fail_after = n;
        t_armed = true;
        int r = impl->ConnectHXA("127.0.0.1", peer.port(), "tok", 1);
        t_armed = false;
        auto log = operation_log();
        if (r == 0) {
            impl->DisConnectHXA();
            CQuillonvardeSDK::DestroyInstance(impl);
            peer.join();
            break;
        }
        ASSERT_GE(log.size(), 2u);
        const std::string& why = log[log.size() - 2].text;
        EXPECT_EQ(why.find("(null)"), std::string::npos) << why;
        EXPECT_EQ(log.back().text, "leave CQuillonvardeSDKImpl::ConnectHXA: NOK");
        if (std::regex_match(why, new_line)) {
            saw_ssl_new = true;
            EXPECT_NE(impl->m_pSSLCtx, nullptr);
            EXPECT_EQ(impl->m_pSSL, nullptr);
        } else if (impl->m_pSSLCtx == nullptr && std::regex_match(why, ctx_line)) {
            saw_ctx = true;
        }
        impl->DisConnectHXA();
        CQuillonvardeSDK::DestroyInstance(impl);
        peer.join();
    }
    EXPECT_TRUE(saw_ctx);
    EXPECT_TRUE(saw_ssl_new);
}
