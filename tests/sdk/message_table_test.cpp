// What each disk operation says for each result code of a reply, pinned in one table: every
// code from 1 to 13 and one outside them goes back to open, close, read and write over a real
// connection, and the error each call logs must be the text of its row and column.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "lun_files.h"
#include "sdk_fixture.h"

using namespace sdktest;

namespace {

struct ResultTexts {
    uint16_t result;
    const char* open;
    const char* close;
    const char* read;
    const char* write;
};

const ResultTexts kResultTexts[] = {
    {1, "OpenDisk: operation code error!  (line #)", "CloseDisk: operation code error!  (line #)",
     "ReadDisk: operation code error!  (line #)", "WriteDisk: operation code error!  (line #)"},
    {2, "OpenDisk: file does not exist!  (line #)", "CloseDisk: unknown error!  (line #)",
     "ReadDisk: vhd file not exist!  (line #)", "WriteDisk: vhd file not exist!  (line #)"},
    {3, "OpenDisk: token error!  (line #)", "CloseDisk: unknown error!  (line #)",
     "ReadDisk: token error!  (line #)", "WriteDisk: token error!  (line #)"},
    {4, "OpenDisk: file open error!  (line #)", "CloseDisk: unknown error!  (line #)",
     "ReadDisk: file open flag error!  (line #)", "WriteDisk: file open flag error!  (line #)"},
    {5, "OpenDisk: unknown error!  (line #)", "CloseDisk: file handle does not exist!  (line #)",
     "ReadDisk: file handle does not exist!  (line #)",
     "WriteDisk: file handle does not exist!  (line #)"},
    {6, "OpenDisk: unknown error!  (line #)", "CloseDisk: unknown error!  (line #)",
     "ReadDisk: start block overflow!  (line #)", "WriteDisk: start block overflow!  (line #)"},
    {7, "OpenDisk: unknown error!  (line #)", "CloseDisk: unknown error!  (line #)",
     "ReadDisk: data size readed overflow!  (line #)",
     "WriteDisk: data size readed overflow!  (line #)"},
    {8, "OpenDisk: unknown error!  (line #)", "CloseDisk: unknown error!  (line #)",
     "ReadDisk: read VHDFile failed!  (line #)", "WriteDisk: read VHDFile failed!  (line #)"},
    {9, "OpenDisk: unknown error!  (line #)", "CloseDisk: unknown error!  (line #)",
     "ReadDisk: end block overflow!  (line #)", "WriteDisk: end block overflow!  (line #)"},
    {10, "OpenDisk: unknown error!  (line #)", "CloseDisk: unknown error!  (line #)",
     "ReadDisk: write vhd file failed!  (line #)", "WriteDisk: write vhd file failed!  (line #)"},
    {11, "OpenDisk: unknown error!  (line #)", "CloseDisk: unknown error!  (line #)",
     "ReadDisk: close vhd file failed!  (line #)", "WriteDisk: close vhd file failed!  (line #)"},
    {12, "OpenDisk: unknown error!  (line #)", "CloseDisk: unknown error!  (line #)",
     "ReadDisk: vhd struct error!  (line #)", "WriteDisk: vhd struct error!  (line #)"},
    {13, "OpenDisk: unknown error!  (line #)", "CloseDisk: unknown error!  (line #)",
     "ReadDisk: parse vhd addr error!  (line #)", "WriteDisk: parse vhd addr error!  (line #)"},
    {99, "OpenDisk: unknown error!  (line #)", "CloseDisk: unknown error!  (line #)",
     "ReadDisk: unknown error, result:[99] (line #)", "WriteDisk: unknown error!  (line #)"},
};

// One column of the table: the operation in the LAN transport, the bytes of its request, its
// reply carrying a result, and the column's text.
struct Operation {
    const char* name;
    size_t requestBytes;
    std::function<Bytes(uint16_t)> reply;
    std::function<void(CQuillonvardeSDKImpl*)> call;
    const char* ResultTexts::*text;
};

const Operation kColumns[] = {
    {"Open", 404, [](uint16_t r) { return open_reply(r, 0); },
     [](CQuillonvardeSDKImpl* impl) {
         unsigned int handle = 0;
         impl->OpenDisk({}, "/d", OPEN_READONLY, handle, TRANS_LAN);
     },
     &ResultTexts::open},
    {"Close", 22, [](uint16_t r) { return close_reply(r); },
     [](CQuillonvardeSDKImpl* impl) {
         impl->m_uiTransMode = TRANS_LAN;
         impl->CloseDisk(7);
     },
     &ResultTexts::close},
    {"Read", 34, [](uint16_t r) { return transfer_reply(3, transfer_payload(r, 0)); },
     [](CQuillonvardeSDKImpl* impl) {
         impl->m_uiTransMode = TRANS_LAN;
         char buf[16];
         unsigned long long size = sizeof buf;
         impl->ReadDisk(1, 0, sizeof buf, buf, size);
     },
     &ResultTexts::read},
    {"Write", 34 + 16, [](uint16_t r) { return transfer_reply(4, transfer_payload(r, 0)); },
     [](CQuillonvardeSDKImpl* impl) {
         impl->m_uiTransMode = TRANS_LAN;
         char buf[16] = {};
         long long length = sizeof buf;
         impl->WriteDisk(1, 0, sizeof buf, buf, length);
     },
     &ResultTexts::write},
};

void PrintTo(const Operation& op, std::ostream* os) { *os << op.name; }

class MessageTable : public SdkTest, public ::testing::WithParamInterface<Operation> {};

}  // namespace

TEST_P(MessageTable, EachResultCodeHasItsText) {
    const Operation& op = GetParam();
    peer.serve([&op](Conn& c) {
        for (const ResultTexts& row : kResultTexts)
            if (!c.read_exact(op.requestBytes) || !c.send(op.reply(row.result))) return;
        c.read_all();
    });
    connect_plain(impl, peer);
    std::vector<LogEntry> expected, got;
    for (const ResultTexts& row : kResultTexts) {
        op.call(impl);
        expected.push_back({kError, row.*op.text});
    }
    for (const LogEntry& e : operation_log())
        if (e.level == kError) got.push_back(e);
    EXPECT_TRUE(testhost::same_log(expected, got));
}

INSTANTIATE_TEST_SUITE_P(Lan, MessageTable, ::testing::ValuesIn(kColumns),
                         [](const ::testing::TestParamInfo<Operation>& p) { return p.param.name; });
