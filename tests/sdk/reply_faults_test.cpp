// Faulty replies to every request kind, on a real socket: a reply with the wrong operation
// or the wrong length, one cut short in its header or its payload, one too short for its
// fields or announcing more than any reply holds, and a connection that is gone. Each call
// fails with its documented message, leaves the caller's values alone, and a rejected reply's
// payload stays on the stream.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lun_files.h"
#include "sdk_fixture.h"

using namespace sdktest;

namespace {

// The request kinds, each with the fixed arguments the cases use.
enum Call { kOpen, kClose, kLanRead, kSanRead, kLanWrite, kLanDatalessWrite, kSanWrite };

struct CallInfo {
    const char* name;
    const char* function;  // as the enter and leave lines name it
    const char* sent;      // the line logged once the request is sent
    TRANSMODE mode;
    size_t request;  // bytes the library sends
};

const char kReadSent[] = "ReadDisk: send addr map cmd to server success! ";
const char kWriteSent[] = "WriteDisk: send addr map cmd to server success! ";
const CallInfo kCalls[] = {
    {"Open", "OpenDisk", "OpenDisk: send open disk cmd to server success!", TRANS_LAN, 404},
    {"Close", "CloseDisk", "CloseDisk: send close disk cmd to server success!", TRANS_LAN, 22},
    {"LanRead", "ReadDisk", kReadSent, TRANS_LAN, 34},
    {"SanRead", "ReadDisk", kReadSent, TRANS_SAN, 38},
    {"LanWrite", "WriteDisk", kWriteSent, TRANS_LAN, 34 + 8},
    {"LanDatalessWrite", "WriteDisk", kWriteSent, TRANS_LAN, 34},
    {"SanWrite", "WriteDisk", kWriteSent, TRANS_SAN, 38},
};

struct Fault {
    const char* name;
    Call call;
    Bytes reply;                // what the peer sends once it has read the request
    bool hang_up;               // the peer closes after the reply instead of reading on
    std::vector<LogEntry> log;  // between the sent line(s) and the leave line
    bool whole = true;          // false: only the last entry of `log` and the leave line count
    size_t queued = 0;          // payload bytes of a rejected reply left on the stream
    std::vector<std::string> alternatives = {};  // further texts accepted for the last entry
};

LogEntry error(const std::string& text) { return {kError, text}; }

std::vector<LogEntry> cut_header_log() {
    std::vector<LogEntry> log;
    for (int k = 1; k <= 100; ++k)
        log.push_back({kInfo, "recv_msg: read " + std::to_string(k) + " zero buf!"});
    log.push_back(error("recv_msg: read 100 zero buf! recv_msg fail!  (line #)"));
    log.push_back(error("OpenDisk: recv req head from server  failed!  (line #)"));
    return log;
}

// Replies: `on` the peer reads on after its reply, `gone` it closes the connection.
constexpr bool on = false, gone = true;
// Logs: `whole` the entire log counts, `tail` only its last error and the leave line.
constexpr bool whole = true, tail = false;

// clang-format off
const std::vector<Fault> kFaults = {
    {"WrongOperation", kOpen, open_reply(0, 1, 10), on,  // SAN code to a LAN request
     {error("OpenDisk: invalid req head ,operation:10!  (line #)")}, whole, 6},
    {"WrongLength", kOpen, concat({reply_header(1, 5), Bytes(5, 0)}), on,
     {error("OpenDisk: invalid req head ,operation:1!  (line #)")}},
    {"HeaderCutShort", kOpen, Bytes(10, 0), gone, cut_header_log()},
    {"PayloadMissing", kOpen, concat({reply_header(1, 6), Bytes{0, 0, 1}}), gone,
     {error("OpenDisk: recv open disk result failed!  (line #)")}, tail},

    {"WrongOperation", kClose, close_reply(0, 11), on,  // SAN code in LAN mode
     {error("CloseDisk: invalid req head,operation:11 !  (line #)")}, whole, 2},
    {"WrongLength", kClose, concat({reply_header(2, 3), Bytes{0, 0, 0}}), on,
     {error("CloseDisk: invalid req head,operation:2 !  (line #)")}},
    {"PayloadMissing", kClose, concat({reply_header(2, 2), Bytes{0}}), gone,
     {error("CloseDisk: recv close disk result failed!  (line #)")}, tail},
    {"HeaderMissing", kClose, {}, gone,
     {error("CloseDisk: recv req head from server failed!  (line #)")}, tail},

    {"WrongOperation", kSanRead, transfer_reply(3, transfer_payload(0, 0)), on,
     {error("ReadDisk:invalid req head,operation:3 (line #)")}, whole, 6},
    {"WrongOperation", kLanRead, transfer_reply(12, transfer_payload(0, 0)), on,
     {error("ReadDisk:invalid req head,operation:12 (line #)")}},
    {"PayloadMissing", kLanRead, concat({reply_header(3, 6), Bytes{0, 0}}), gone,
     {error("ReadDisk: recv addr map result failed!  (line #)")}, tail},
    {"ConnectionGone", kLanRead, {}, gone,
     {error("ReadDisk: recv req head from server  failed!  (line #)")}, tail, 0,
     {"ReadDisk: send addr map cmd to server failed! (line #)"}},
    {"TooShortForCount", kSanRead, transfer_reply(12, Bytes{0, 0, 1, 0}), on,
     {{kInfo, "ReadDisk: recv req head from server success! msg length :4"},
      error("ReadDisk: reply too short for result and count, msg length:4!  (line #)")}},
    {"LengthBeyondLimit", kSanRead, reply_header(12, 0x7FFFFFFF), on,
     {{kInfo, "ReadDisk: recv req head from server success! msg length :2147483647"},
      error("ReadDisk: reply length [2147483647] exceeds the limit [67108870]!  (line #)")}},

    {"WrongOperation", kLanWrite, transfer_reply(5, transfer_payload(0, 0)), on,
     {error("WriteDisk: invalid msg head,operation:5 (line #)")}},
    {"TooShortForResult", kLanDatalessWrite, transfer_reply(5, Bytes{0}), on,
     {{kInfo, "WriteDisk: recv req head from server success! msg length:1"},
      error("WriteDisk: reply too short for its fields, msg length:1!  (line #)")}},
    {"PayloadMissing", kLanDatalessWrite, concat({reply_header(5, 6), Bytes{0, 0}}), gone,
     {error("WriteDisk: recv addr map result failed!  (line #)")}, tail},
    {"ConnectionGone", kLanDatalessWrite, {}, gone,
     {error("WriteDisk: recv req head from server  failed!  (line #)")}, tail, 0,
     {"WriteDisk: send addr map cmd to server failed!  (line #)"}},
    {"TooShortForCount", kSanWrite, transfer_reply(12, Bytes{0, 0, 1}), on,
     {{kInfo, "WriteDisk: recv req head from server success! msg length:3"},
      error("WriteDisk: reply too short for its fields, msg length:3!  (line #)")}},
};
// clang-format on

// Names the case in test output.
void PrintTo(const Fault& f, std::ostream* os) { *os << kCalls[f.call].name << f.name; }

class ReplyFault : public SdkTest, public ::testing::WithParamInterface<Fault> {};

}  // namespace

TEST_P(ReplyFault, FailsWithItsMessageAndLeavesTheCallersValues) {
    const Fault& f = GetParam();
    const CallInfo& call = kCalls[f.call];
    const std::string function = call.function;
    const LogEntry failed{kTrace, "leave CQuillonvardeSDKImpl::" + function + ": NOK"};
    // A connection that is gone: the peer leaves without reading the request.
    const size_t request = f.name == std::string("ConnectionGone") ? 0 : call.request;
    peer.serve([&f, request](Conn& c) {
        if (!c.read_exact(request)) return;
        c.send(f.reply);
        if (!f.hang_up) c.read_all();
    });
    connect_plain(impl, peer);
    impl->m_uiTransMode = call.mode;

    unsigned int handle = 3;
    char buf[64] = {};
    unsigned long long size = sizeof buf;
    long long len = f.call == kLanDatalessWrite ? 0 : 8;
    switch (f.call) {
        case kOpen:
            EXPECT_EQ(impl->OpenDisk({}, "/d", OPEN_READONLY, handle, TRANS_LAN), 1);
            break;
        case kClose:
            EXPECT_EQ(impl->CloseDisk(7), 1);
            break;
        case kLanRead:
        case kSanRead:
            EXPECT_EQ(impl->ReadDisk(1, 0, sizeof buf, buf, size), 1);
            break;
        case kLanWrite:
        case kSanWrite:
            EXPECT_EQ(impl->WriteDisk(1, 0, 8, buf, len), 1);
            break;
        case kLanDatalessWrite:
            EXPECT_EQ(impl->WriteDisk(1, 0, 16, nullptr, len), 1);
            break;
    }
    EXPECT_EQ(handle, 3u);
    EXPECT_EQ(size, sizeof buf);
    EXPECT_EQ(len, f.call == kLanDatalessWrite ? 0 : 8);

    if (f.whole) {
        std::vector<LogEntry> expected = {
            {kTrace, "enter CQuillonvardeSDKImpl::" + function + "..."}, {kInfo, call.sent}};
        expected.insert(expected.end(), f.log.begin(), f.log.end());
        expected.push_back(failed);
        EXPECT_TRUE(log_is(expected, kOperations));
    } else {
        std::vector<LogEntry> log = operation_log();
        ASSERT_GE(log.size(), 2u) << testhost::dump();
        const LogEntry& last = log[log.size() - 2];
        bool known = last.level == kError && last.text == f.log.back().text;
        for (const std::string& text : f.alternatives) known = known || last.text == text;
        EXPECT_TRUE(known) << last.level << " " << last.text;
        EXPECT_TRUE(testhost::same_log({failed}, {log.back()}));
    }
    if (f.queued > 0) {
        std::vector<char> rest(f.queued);
        EXPECT_EQ(impl->recv_msg(rest.data(), f.queued), 0) << "the payload stays on the stream";
    }
}

INSTANTIATE_TEST_SUITE_P(AllRequests, ReplyFault, ::testing::ValuesIn(kFaults),
                         [](const ::testing::TestParamInfo<Fault>& p) {
                             return std::string(kCalls[p.param.call].name) + p.param.name;
                         });
