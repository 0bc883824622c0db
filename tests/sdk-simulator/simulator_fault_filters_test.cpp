// The simulator's faults, each on its own over a fake link or a fake disk service: what
// passes, where the connection is cut, when a reply waits, which result a transfer gets.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "fault_filters.h"
#include "faults.h"
#include "hxa_protocol.h"
#include "stream.h"

using namespace hxasim;

namespace {

// Hands out `input`, keeps what is sent, and records cuts and waits.
struct FakeLink : Link {
    std::string input, sent;
    std::vector<double> waits;
    int cuts = 0;
    bool reset = false;
    ssize_t receive(void* data, size_t size) override {
        const size_t n = std::min(size, input.size());
        std::memcpy(data, input.data(), n);
        input.erase(0, n);
        return static_cast<ssize_t>(n);
    }
    ssize_t send(const void* data, size_t size) override {
        sent.append(static_cast<const char*>(data), size);
        return static_cast<ssize_t>(size);
    }
    bool flush() override { return true; }
    bool wait_for_close(double timeout_ms) override {
        waits.push_back(timeout_ms);
        return false;
    }
    void cut(bool r) override {
        ++cuts;
        reset = r;
    }
};

// Resolves every transfer to one extent; handle 2 may write.
struct FakeService : DiskService {
    uint16_t open(uint64_t, Transport, const std::string&, const std::string&, uint16_t,
                  uint32_t& handle, std::string&) override {
        handle = 1;
        return 0;
    }
    uint16_t close(uint64_t, Transport, uint32_t, std::string&) override { return 0; }
    TransferPlan plan(uint64_t, Transport, TransferKind, uint32_t, uint64_t offset,
                      uint64_t length) override {
        TransferPlan p;
        p.extents.push_back({3, -1, offset, length});
        return p;
    }
    bool may_write(uint64_t, uint32_t handle) override { return handle == 2; }
    const unsigned char* lun_wwn(int) const override { return nullptr; }
};

struct Faults {
    FaultSettings settings;
    FaultCounter counter;
    ConnectionFaults for_conn(uint64_t conn = 1) { return {settings, counter, conn}; }
};

}  // namespace

class DropModes : public ::testing::TestWithParam<DropMode> {};

TEST_P(DropModes, NoBytePassesTheLimitAndTheLinkIsCutThere) {
    Faults f;
    f.settings.drop_after = 10;
    f.settings.drop_mode = GetParam();
    ConnectionFaults faults = f.for_conn();
    FakeLink link;
    link.input = "abcd";
    DropFilter drop(link, faults);
    Stream stream(drop);
    char in[4];
    ASSERT_EQ(stream.read_exact(in, 4), Stream::ReadResult::kOk);
    EXPECT_FALSE(stream.write_all("0123456789", 10)) << "only 6 of them fit";
    EXPECT_EQ(link.sent, "012345");
    EXPECT_EQ(link.cuts, 1);
    EXPECT_EQ(link.reset, GetParam() == DropMode::kReset);
    EXPECT_EQ(drop.receive(in, 1), -1);
    EXPECT_EQ(drop.send("x", 1), -1);
}

INSTANTIATE_TEST_SUITE_P(Simulator, DropModes,
                         ::testing::Values(DropMode::kClose, DropMode::kReset),
                         [](const ::testing::TestParamInfo<DropMode>& info) {
                             return std::string(info.param == DropMode::kClose ? "Close" : "Reset");
                         });

TEST(SimulatorFaultLimit, AConnectionPastTheLimitIsNeverCut) {
    Faults f;
    f.settings.drop_after = 2;
    FaultLimit limit(f.counter, 1);
    std::string label;
    ASSERT_TRUE(limit.claim(label));
    EXPECT_EQ(label, "fault 1 of 1");
    ConnectionFaults faults(f.settings, limit, 2);
    FakeLink link;
    DropFilter drop(link, faults);
    Stream stream(drop);
    EXPECT_TRUE(stream.write_all("0123456789", 10));
    EXPECT_EQ(link.cuts, 0);
    EXPECT_EQ(link.sent, "0123456789");
}

TEST(SimulatorStall, AfterTheSetNumberOfAnsweredRequestsNothingMoreIsRead) {
    Faults f;
    f.settings.stall_after = 1;
    ConnectionFaults faults = f.for_conn();
    FakeLink link;
    link.input = "request 1";
    StallFilter stall(link, faults);
    Stream stream(stall);
    char in[9];
    ASSERT_EQ(stream.read_exact(in, 9), Stream::ReadResult::kOk);
    ASSERT_TRUE(stream.write_all("reply 1", 7));
    link.input = "request 2";
    EXPECT_EQ(stream.read_exact(in, 9), Stream::ReadResult::kEndedByFault);
    EXPECT_EQ(link.waits, std::vector<double>{-1}) << "waits for the peer to close";
    EXPECT_EQ(stream.read_exact(in, 9), Stream::ReadResult::kEndedByFault);
}

TEST(SimulatorDelay, EveryReplyWaitsOnceBeforeItsFirstByte) {
    FakeLink link;
    link.input = "ab";
    DelayFilter delay(link, 25);
    char in;
    for (int request = 0; request < 2; ++request) {
        ASSERT_EQ(delay.receive(&in, 1), 1);
        ASSERT_EQ(delay.send("head", 4), 4);
        ASSERT_EQ(delay.send("data", 4), 4);
    }
    EXPECT_EQ(link.waits, (std::vector<double>{25, 25}));
    EXPECT_EQ(link.sent, "headdataheaddata");
}

TEST(SimulatorIoErrors, ATransferFailsWithTheResultOfItsKindAndTheFaultLabel) {
    struct Case {
        TransferKind kind;
        uint32_t handle;
        uint16_t result;
    };
    const Case cases[] = {{TransferKind::kRead, 1, hxa::RES_READ_FAILED},
                          {TransferKind::kWrite, 1, hxa::RES_WRITE_FAILED},
                          {TransferKind::kZero, 1, hxa::RES_WRITE_FAILED},
                          {TransferKind::kMap, 1, hxa::RES_READ_FAILED},
                          {TransferKind::kMap, 2, hxa::RES_WRITE_FAILED}};
    Faults f;
    f.settings.io_error_rate = 1;
    FakeService disks;
    int n = 0;
    for (const Case& c : cases) {
        ConnectionFaults faults = f.for_conn();
        IoErrorService service(disks, faults);
        const TransferPlan p = service.plan(1, Transport::kLan, c.kind, c.handle, 0, 512);
        EXPECT_EQ(p.result, c.result) << "case " << n;
        EXPECT_EQ(p.why, "fault injected");
        EXPECT_EQ(p.fault, "fault " + std::to_string(++n));
        EXPECT_TRUE(p.extents.empty());
    }
    f.settings.io_error_rate = 0;
    ConnectionFaults faults = f.for_conn();
    const TransferPlan p =
        IoErrorService(disks, faults).plan(1, Transport::kLan, TransferKind::kRead, 1, 0, 512);
    EXPECT_EQ(p.result, 0);
    EXPECT_TRUE(p.fault.empty());
    EXPECT_EQ(p.extents.size(), 1u);
}
