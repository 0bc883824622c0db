// The "(line N)" the library puts into its messages names the statement that reports them:
// failures of every kind of call are provoked on real sockets, descriptors and child
// processes, and every line number logged is looked up in the library's source.
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "lun_files.h"
#include "sdk_fixture.h"

using namespace sdktest;

namespace {

struct Provoke {
    const char* name;
    // The peer's side of the connection; null: the object is not connected.
    std::function<void(Conn&)> script;
    std::function<void(CQuillonvardeSDKImpl*)> act;
};

// Reads `request` bytes and answers with each reply in turn, then reads until the end.
std::function<void(Conn&)> answer(size_t request, std::vector<Bytes> replies) {
    return [request, replies](Conn& c) {
        for (const Bytes& r : replies) {
            if (!c.read_exact(request)) return;
            c.send(r);
        }
        c.read_all();
    };
}

std::vector<Bytes> transfer_results(uint16_t op, uint16_t last) {
    std::vector<Bytes> replies;
    for (uint16_t r = 0; r <= last; ++r)
        replies.push_back(transfer_reply(op, transfer_payload(r, 0)));
    return replies;
}

void read_n(CQuillonvardeSDKImpl* impl, TRANSMODE mode, int times) {
    impl->m_uiTransMode = mode;
    char buf[16];
    for (int i = 0; i < times; ++i) {
        unsigned long long size = sizeof buf;
        impl->ReadDisk(1, 0, sizeof buf, buf, size);
    }
}

void write_n(CQuillonvardeSDKImpl* impl, TRANSMODE mode, int times) {
    impl->m_uiTransMode = mode;
    char buf[16] = {};
    for (int i = 0; i < times; ++i) {
        long long len = sizeof buf;
        impl->WriteDisk(1, 0, sizeof buf, buf, len);
    }
}

const std::vector<Provoke> kProvoked = {
    {"ConnectionRefused", nullptr,
     [](CQuillonvardeSDKImpl* impl) {
         unsigned short port = 0;
         {
             Peer gone;  // listens until the end of this block, then the port is closed
             port = gone.port();
         }
         impl->ConnectHXA("127.0.0.1", port, "t", 0);
     }},
    {"OpenResults",
     answer(404, {open_reply(1, 0), open_reply(2, 0), open_reply(3, 0), open_reply(4, 0),
                  open_reply(5, 0), open_reply(0, 0, 10)}),
     [](CQuillonvardeSDKImpl* impl) {
         unsigned int handle = 0;
         for (int i = 0; i < 6; ++i) impl->OpenDisk({}, "/d", OPEN_READONLY, handle, TRANS_LAN);
     }},
    {"OpenReplyCutShort",
     [](Conn& c) {
         c.read_exact(404);
         c.send(Bytes(10, 0));
     },
     [](CQuillonvardeSDKImpl* impl) {
         unsigned int handle = 0;
         impl->OpenDisk({}, "/d", OPEN_READONLY, handle, TRANS_LAN);
     }},
    {"SanOpenWithoutLuns", answer(1, {}),
     [](CQuillonvardeSDKImpl* impl) {
         unsigned int handle = 0;
         impl->OpenDisk({}, "/d", OPEN_READONLY, handle, TRANS_SAN);
     }},
    {"CloseResults",
     answer(22, {close_reply(1), close_reply(5), close_reply(2), close_reply(0, 11)}),
     [](CQuillonvardeSDKImpl* impl) {
         impl->m_uiTransMode = TRANS_LAN;
         for (int i = 0; i < 4; ++i) impl->CloseDisk(7);
     }},
    {"LanReadResults", answer(34, transfer_results(3, 14)),
     [](CQuillonvardeSDKImpl* impl) { read_n(impl, TRANS_LAN, 15); }},
    {"SanReadReplies",
     answer(38, {transfer_reply(12, Bytes{0, 0, 1, 0}), reply_header(12, 0x7FFFFFFF)}),
     [](CQuillonvardeSDKImpl* impl) { read_n(impl, TRANS_SAN, 2); }},
    {"SanReadWithoutItsLun",
     answer(38, {transfer_reply(12, transfer_payload(0, 1, {rec(wwn(3), 0x200000, 16)}))}),
     [](CQuillonvardeSDKImpl* impl) { read_n(impl, TRANS_SAN, 1); }},
    {"SanWriteResults", answer(38, transfer_results(12, 14)),
     [](CQuillonvardeSDKImpl* impl) { write_n(impl, TRANS_SAN, 15); }},
    {"UnknownTransportMode", answer(1, {}),
     [](CQuillonvardeSDKImpl* impl) { read_n(impl, static_cast<TRANSMODE>(3), 1); }},
    {"ClosedDescriptor", nullptr,
     [](CQuillonvardeSDKImpl* impl) {
         int fds[2];
         if (pipe(fds) != 0) return;
         ::close(fds[0]);
         ::close(fds[1]);
         impl->m_iSocket = fds[1];
         char c;
         impl->recv_msg(&c, 1);
         unsigned int handle = 0;
         impl->OpenDisk({}, "/d", OPEN_READONLY, handle, TRANS_LAN);
         impl->m_iSocket = -1;
     }},
    {"CommandFailing", nullptr,
     [](CQuillonvardeSDKImpl*) {
         std::vector<std::string> out;
         CQuillonvardeSDKImpl::executeSystemCommand("/bin/sh", {"sh", "-c", "exit 3"}, out);
         CQuillonvardeSDKImpl::executeSystemCommand("/bin/sh", {"sh", "-c", "kill -TERM $$"}, out);
     }},
    {"NoLunNames", nullptr,
     [](CQuillonvardeSDKImpl*) { CQuillonvardeSDKImpl::isLunAttachedOnBackupNode({}); }},
};

// Names the case in test output.
void PrintTo(const Provoke& p, std::ostream* os) { *os << p.name; }

class LoggedLineNumbers : public SdkTest, public ::testing::WithParamInterface<Provoke> {};

}  // namespace

TEST_P(LoggedLineNumbers, NameTheReportingStatement) {
    const Provoke& p = GetParam();
    if (p.script) {
        peer.serve(p.script);
        connect_plain(impl, peer);
    }
    p.act(impl);
    EXPECT_TRUE(testhost::line_numbers_point_at_source()) << testhost::dump();
}

INSTANTIATE_TEST_SUITE_P(Failures, LoggedLineNumbers, ::testing::ValuesIn(kProvoked),
                         [](const ::testing::TestParamInfo<Provoke>& p) { return p.param.name; });
