// Hosts with signals of their own: SIGPIPE left at its default action (a write to a dead
// connection must never end the host) and a fast timer signal (an interrupted socket call is
// continued, not reported as a failure).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "child_process.h"
#include "sdk_fixture.h"

using namespace sdktest;

namespace {

// Runs `body` in a child process whose SIGPIPE is at its default action. Returns the child's
// exit status (body's count of failed checks), or 1000 + the signal that killed it.
int in_child_with_default_sigpipe(const std::function<int()>& body) {
    zev_common::ChildOptions options;  // SIGPIPE not ignored: its default action
    options.in = zev_common::Stream::inherit();
    zev_common::ChildProcess child = zev_common::ChildProcess::call(body, options);
    zev_common::ChildStatus status;
    if (!child.wait(status)) return 1000;
    return status.signal == 0 ? status.exit_code : 1000 + status.signal;
}

// How the peer drops the connection.
enum class Drop { kAtOnce, kInsideReplyRecord };

struct DropCase {
    Drop drop;
    bool tls;
    const char* name;
};

// Every operation against a peer that drops the connection (TLS: right after the handshake,
// or inside the record of the open reply), 20 times: each call fails, none kills the host.
int run_dropped_sessions(const DropCase& param) {
    int failures = 0;
    for (int attempt = 0; attempt < 20; ++attempt) {
        Peer peer(param.tls);
        peer.serve([param](Conn& c) {
            if (param.drop == Drop::kAtOnce) return;
            // The open request arrives, then only the first bytes of a TLS record before the
            // connection ends.
            c.read_exact(hxa::kHeaderSize + sizeof(hxa::OpenLanRequest));
            const uint8_t partial[] = {0x17, 0x03, 0x03, 0x00, 0x40, 0x01, 0x02};
            if (::write(c.fd, partial, sizeof partial) < 0) return;
        });
        CQuillonvardeSDKImpl* impl = make();
        if (impl->ConnectHXA("127.0.0.1", peer.port(), "tok", param.tls ? 1 : 0) == 0) {
            unsigned int handle = 0;
            char buf[4096] = {};
            unsigned long long size = sizeof buf;
            long long length = sizeof buf;
            failures += impl->OpenDisk({}, "/disk", OPEN_READWRITE, handle, TRANS_LAN) != 1;
            failures += impl->ReadDisk(1, 0, sizeof buf, buf, size) != 1;
            failures += impl->WriteDisk(1, 0, sizeof buf, buf, length) != 1;
            failures += impl->CloseDisk(1) != 1;
        }
        impl->DisConnectHXA();
        peer.join();
        CQuillonvardeSDK::DestroyInstance(impl);
    }
    return failures;
}

class PeerDrops : public ::testing::TestWithParam<DropCase> {};

TEST_P(PeerDrops, FailTheCallsWithoutKillingAHostWithDefaultSigpipe) {
    ASSERT_EQ(testhost::install(), 0);
    EXPECT_EQ(in_child_with_default_sigpipe([] { return run_dropped_sessions(GetParam()); }), 0)
        << "1013 means the host was killed by SIGPIPE";
}

INSTANTIATE_TEST_SUITE_P(
    Signals, PeerDrops,
    ::testing::Values(DropCase{Drop::kAtOnce, true, "TlsAfterHandshake"},
                      DropCase{Drop::kInsideReplyRecord, true, "TlsInsideReplyRecord"},
                      DropCase{Drop::kAtOnce, false, "PlainAtOnce"}),
    [](const ::testing::TestParamInfo<DropCase>& info) { return std::string(info.param.name); });

// A connection descriptor that is not a socket (a pipe without reader) fails the write with
// the system's error instead of raising SIGPIPE.
TEST(SigpipeDefault, WriteToAPipeWithoutReaderFails) {
    ASSERT_EQ(testhost::install(), 0);
    EXPECT_EQ(in_child_with_default_sigpipe([] {
                  int fds[2];
                  if (pipe(fds) != 0) return 1;
                  close(fds[0]);
                  CQuillonvardeSDKImpl* impl = make();
                  impl->m_iSocket = fds[1];
                  char buf[8] = {};
                  int failures = impl->send_msg(buf, sizeof buf) != -1;
                  failures += !testhost::logged(
                      kError, "send_msg: [Broken pipe] return:[-1] errno:[32] (line #)");
                  impl->DisConnectHXA();
                  CQuillonvardeSDK::DestroyInstance(impl);
                  return failures;
              }),
              0);
}

std::atomic<int> g_alarms{0};

void count_alarm(int) { g_alarms.fetch_add(1, std::memory_order_relaxed); }

// A 5 ms SIGALRM timer with SA_RESTART, as hosts with watchdogs run, for the life of the
// object; the previous handler and timer come back afterwards.
class AlarmTimer {
  public:
    AlarmTimer() {
        struct sigaction action {};
        action.sa_handler = count_alarm;
        action.sa_flags = SA_RESTART;
        sigemptyset(&action.sa_mask);
        sigaction(SIGALRM, &action, &previous_);
        itimerval every5ms{{0, 5000}, {0, 5000}};
        setitimer(ITIMER_REAL, &every5ms, &previous_timer_);
    }
    ~AlarmTimer() {
        setitimer(ITIMER_REAL, &previous_timer_, nullptr);
        sigaction(SIGALRM, &previous_, nullptr);
    }

  private:
    struct sigaction previous_ {};
    itimerval previous_timer_{};
};

Bytes pattern(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 + i / 4096);
    return b;
}

Bytes transfer_reply(uint16_t op, uint32_t count) {
    Bytes payload;
    testpeer::put16(payload, 0);
    testpeer::put32(payload, count);
    return concat({reply_header(op, static_cast<uint32_t>(payload.size())), payload});
}

class TimerSignal : public ::testing::TestWithParam<bool> {};

// The peer is slow on purpose (it pauses before each reply and moves data in small steps),
// so that the library's calls block and the timer interrupts them many times.
TEST_P(TimerSignal, LanSessionSucceedsUnderA5msSaRestartTimer) {
    const bool tls = GetParam();
    ASSERT_EQ(testhost::install(), 0);
    const size_t n = 4u << 20;
    const Bytes data = pattern(n);
    Peer peer(tls);
    Bytes written;
    auto pause = [] { std::this_thread::sleep_for(std::chrono::milliseconds(30)); };
    // The peer's thread inherits a blocked SIGALRM: the library's calls take the signals.
    sigset_t alarm_set, old_set;
    sigemptyset(&alarm_set);
    sigaddset(&alarm_set, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &alarm_set, &old_set);
    peer.serve([&](Conn& c) {
        Bytes open_reply;
        testpeer::put16(open_reply, 0);
        testpeer::put32(open_reply, 7);
        c.read_exact(hxa::kHeaderSize + sizeof(hxa::OpenLanRequest));
        pause();
        c.send(concat({reply_header(1, 6), open_reply}));
        c.read_exact(34);  // write request
        pause();
        for (size_t got = 0; got < n; got += 64 * 1024) {
            Bytes piece;
            c.read_exact(64 * 1024, &piece);
            written.insert(written.end(), piece.begin(), piece.end());
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        c.send(transfer_reply(4, static_cast<uint32_t>(n)));
        c.read_exact(34);  // read request
        pause();
        c.send(transfer_reply(3, static_cast<uint32_t>(n)));
        c.send_pieces(data, 256 * 1024);
        c.read_exact(22);  // close request
        pause();
        Bytes close_reply;
        testpeer::put16(close_reply, 0);
        c.send(concat({reply_header(2, 2), close_reply}));
        c.read_all();
    });
    pthread_sigmask(SIG_SETMASK, &old_set, nullptr);

    CQuillonvardeSDKImpl* impl = make();
    unsigned int handle = 0;
    std::vector<char> back(n);
    unsigned long long size = n;
    long long length = static_cast<long long>(n);
    g_alarms = 0;
    {
        AlarmTimer timer;
        EXPECT_EQ(impl->ConnectHXA("127.0.0.1", peer.port(), "tok", tls ? 1 : 0), 0);
        EXPECT_EQ(impl->OpenDisk({}, "/disk", OPEN_READWRITE, handle, TRANS_LAN), 0);
        EXPECT_EQ(impl->WriteDisk(handle, 0, n, reinterpret_cast<const char*>(data.data()), length),
                  0);
        EXPECT_EQ(impl->ReadDisk(handle, 0, n, back.data(), size), 0);
        EXPECT_EQ(impl->CloseDisk(handle), 0) << testhost::dump();
    }
    impl->DisConnectHXA();
    peer.join();
    CQuillonvardeSDK::DestroyInstance(impl);
    EXPECT_GT(g_alarms.load(), 10) << "the timer did not run during the session";
    EXPECT_TRUE(written == data);
    EXPECT_EQ(size, n);
    EXPECT_EQ(std::memcmp(back.data(), data.data(), n), 0);
}

INSTANTIATE_TEST_SUITE_P(Signals, TimerSignal, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "Tls" : "Plain");
                         });

// A connect that the timer interrupts goes on in the background and is waited for. The
// listener's queue is full at first, so the kernel drops the first SYN and the connect
// blocks until the retransmitted SYN (about a second later) finds room.
TEST(TimerSignalConnect, InterruptedConnectCompletes) {
    ASSERT_EQ(testhost::install(), 0);
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(listener, 0), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    int filler = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(filler, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    sigset_t alarm_set, old_set;
    sigemptyset(&alarm_set);
    sigaddset(&alarm_set, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &alarm_set, &old_set);
    std::thread acceptor([listener] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        for (int i = 0; i < 2; ++i) close(accept(listener, nullptr, nullptr));
    });
    pthread_sigmask(SIG_SETMASK, &old_set, nullptr);
    CQuillonvardeSDKImpl* impl = make();
    g_alarms = 0;
    {
        AlarmTimer timer;
        EXPECT_EQ(impl->ConnectHXA("127.0.0.1", ntohs(addr.sin_port), "tok", 0), 0)
            << testhost::dump();
    }
    EXPECT_GT(g_alarms.load(), 10) << "the connect was not interrupted";
    acceptor.join();
    impl->DisConnectHXA();
    CQuillonvardeSDK::DestroyInstance(impl);
    close(filler);
    close(listener);
}

}  // namespace
