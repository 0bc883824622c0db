// Faults on demand in the real hxa-simulator program, seen through the real library: cut
// connections (closed or reset, plain TCP and TLS, inside read and write data), transfers
// answered with the service's I/O failure, a stalled connection at stop, the seed that fixes
// where connections are cut, the count of data moved, and command-line errors.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Quillonvarde_sdk.h"
#include "sim_harness.h"
#include "test_host.h"

using namespace simtest;

namespace {

constexpr uint64_t kMiB = 1 << 20;
constexpr uint64_t kFlatSize = 4 * kMiB;
const char* kToken = "fault-token";
const char* kReader = "fault-reader";

// Bytes of the requests and replies the library exchanges before the data of a transfer.
constexpr uint64_t kOpenRequest = hxa::kHeaderSize + sizeof(hxa::OpenLanRequest);
constexpr uint64_t kOpenReply = hxa::kHeaderSize + sizeof(hxa::OpenReply);
constexpr uint64_t kTransferRequest = hxa::kHeaderSize + sizeof(hxa::LanTransferRequest);
constexpr uint64_t kTransferReply = hxa::kHeaderSize + sizeof(hxa::TransferReplyHead);

struct SdkDeleter {
    // The library's objects release their connection only in DisConnectHXA, never on
    // destruction; a connection a fault cut is still theirs to release.
    void operator()(CQuillonvardeSDK* p) const {
        p->DisConnectHXA();
        CQuillonvardeSDK::DestroyInstance(p);
    }
};
using Sdk = std::unique_ptr<CQuillonvardeSDK, SdkDeleter>;

// The fault lines of a simulator log, from "conn N: fault:" on.
std::vector<std::string> fault_lines(const std::string& log) {
    std::vector<std::string> lines;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) {
        size_t at = line.find("conn ");
        if (at != std::string::npos && line.find(": fault: ", at) != std::string::npos)
            lines.push_back(line.substr(at));
    }
    return lines;
}

Bytes image(uint64_t offset, uint64_t size) {
    Bytes all = pattern(kFlatSize, 1);
    return Bytes(all.begin() + static_cast<long>(offset),
                 all.begin() + static_cast<long>(offset + size));
}

class Faults : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(testhost::install(), 0);
        testhost::clear();
        flat = dir.file("flat.img");
        make_file(flat, kFlatSize, pattern(kFlatSize, 1));
        luns = {{wwn_hex(7), dir.file("lun.img")}};
        make_file(luns[0].path, 64 * kMiB);
    }

    void TearDown() override {
        if (sim.running()) {
            EXPECT_EQ(sim.stop(SIGTERM), 0) << sim.log();
        }
        if (HasFailure()) std::cerr << "simulator log:\n" << sim.log();
    }

    // Starts the simulator serving the flat disk "/vm/flat" and the LUN-backed "/vm/sparse".
    void start(const std::vector<std::string>& faults, bool tls = false) {
        std::vector<std::string> args =
            simulator_args(kToken, kReader, flat, luns, "/vm/sparse=16M");
        if (tls) args.push_back("--tls");
        args.insert(args.end(), faults.begin(), faults.end());
        ASSERT_EQ(sim.start(args), "");
    }

    // A library object on a new connection, with "/vm/flat" open read-write as `h`.
    Sdk open_flat(unsigned& h, bool tls = false) {
        Sdk s(CQuillonvardeSDK::CreateInstance());
        EXPECT_EQ(s->ConnectHXA("127.0.0.1", sim.port(), kToken, tls ? 1 : 0), 0)
            << testhost::dump();
        EXPECT_EQ(s->OpenDisk({}, "/vm/flat", OPEN_READWRITE, h, TRANS_LAN), 0) << testhost::dump();
        return s;
    }

    // A raw connection with "/vm/sparse" open in the SAN transport twice: `ro` for the
    // read-only token, `rw` for the read-write one.
    void open_sparse_twice(RawClient& c, uint32_t& ro, uint32_t& rw) {
        ASSERT_EQ(c.connect(sim.port()), "");
        ASSERT_EQ(c.open_san("/vm/sparse", kReader, ro), 0);
        ASSERT_EQ(c.open_san("/vm/sparse", kToken, rw), 0);
    }

    static int read(CQuillonvardeSDK* s, unsigned h, uint64_t offset, uint64_t size, Bytes& out) {
        out.assign(size, 0xEE);
        unsigned long long cap = size;
        return s->ReadDisk(h, offset, size, reinterpret_cast<char*>(out.data()), cap);
    }
    static int write(CQuillonvardeSDK* s, unsigned h, uint64_t offset, const Bytes& data) {
        long long len = static_cast<long long>(data.size());
        return s->WriteDisk(h, offset, data.size(), reinterpret_cast<const char*>(data.data()),
                            len);
    }

    TempDir dir;
    std::string flat;
    std::vector<LunFile> luns;
    Simulator sim{dir.path()};
};

struct DropCase {
    const char* name;
    const char* mode;  // --drop-mode
    bool tls;
    bool write;  // the cut lands in the data of a write instead of a read
};

void PrintTo(const DropCase& c, std::ostream* os) { *os << c.name; }

class Drops : public Faults, public ::testing::WithParamInterface<DropCase> {};

}  // namespace

TEST_P(Drops, ACutInsideTheDataFailsTheTransferAndTheNextConnectionIsServed) {
    const DropCase& c = GetParam();
    constexpr uint64_t kLimit = 256 << 10;
    start({"--drop-after", "256K", "--drop-mode", c.mode, "--fault-limit", "1"}, c.tls);
    const Bytes block = pattern(kMiB, 5);
    Bytes data;
    unsigned h = 0;
    auto transfer = [&](CQuillonvardeSDK* s) {
        return c.write ? write(s, h, 4096, block) : read(s, h, 4096, kMiB, data);
    };
    {
        Sdk s = open_flat(h, c.tls);
        EXPECT_EQ(transfer(s.get()), 1) << "the transfer went through a cut connection";
    }
    Sdk s = open_flat(h, c.tls);
    ASSERT_EQ(transfer(s.get()), 0) << testhost::dump();
    EXPECT_TRUE(c.write ? read_file(flat, 4096, kMiB) == block : data == image(4096, kMiB));
    s->DisConnectHXA();
    ASSERT_EQ(sim.stop(SIGTERM), 0);

    // Exactly the limit moved: the requests and the open reply, then part of the data.
    const uint64_t received = c.write ? kLimit - kOpenReply : kOpenRequest + kTransferRequest;
    const std::string verb = std::string(c.mode) == "reset" ? "reset" : "closed";
    EXPECT_EQ(fault_lines(sim.log()),
              std::vector<std::string>{"conn 1: fault: connection " + verb + " after " +
                                       std::to_string(kLimit) + " bytes (" +
                                       std::to_string(received) + " received, " +
                                       std::to_string(kLimit - received) + " sent); fault 1 of 1"});
}

INSTANTIATE_TEST_SUITE_P(Modes, Drops,
                         ::testing::Values(DropCase{"ClosedInReadPlain", "close", false, false},
                                           DropCase{"ResetInReadPlain", "reset", false, false},
                                           DropCase{"ClosedInReadTls", "close", true, false},
                                           DropCase{"ResetInReadTls", "reset", true, false},
                                           DropCase{"ClosedInWritePlain", "close", false, true},
                                           DropCase{"ResetInWriteTls", "reset", true, true}),
                         [](const ::testing::TestParamInfo<DropCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(Faults, TheSeedFixesWhereEveryConnectionIsCut) {
    auto run = [&](const char* seed) {
        start({"--drop-after", "512K", "--drop-jitter", "384K", "--fault-seed", seed});
        for (int i = 0; i < 3; ++i) {
            unsigned h = 0;
            Bytes data;
            Sdk s = open_flat(h);
            EXPECT_EQ(read(s.get(), h, 0, 2 * kMiB, data), 1);
        }
        EXPECT_EQ(sim.stop(SIGTERM), 0);
        return fault_lines(sim.log());
    };
    const std::vector<std::string> first = run("7");
    ASSERT_EQ(first.size(), 3u) << sim.log();
    EXPECT_NE(first[0], first[1]) << "each connection draws its own limit";
    EXPECT_EQ(run("7"), first);
    EXPECT_NE(run("8"), first);
}

struct IoErrorCase {
    const char* name;
    bool write;
    unsigned result;
    const char* message;  // what the library logs
};

void PrintTo(const IoErrorCase& c, std::ostream* os) { *os << c.name; }

class IoErrors : public Faults, public ::testing::WithParamInterface<IoErrorCase> {};

TEST_P(IoErrors, OneTransferIsAnsweredWithTheFailureAndTheNextIsCarriedOut) {
    const IoErrorCase& c = GetParam();
    start({"--io-error-rate", "1", "--fault-limit", "1"});
    unsigned h = 0;
    Sdk s = open_flat(h);
    const Bytes block = pattern(100000, 9);
    Bytes data;
    auto transfer = [&] {
        return c.write ? write(s.get(), h, 4096, block)
                       : read(s.get(), h, 4096, block.size(), data);
    };
    EXPECT_EQ(transfer(), 1);
    EXPECT_TRUE(testhost::logged(testhost::kError, c.message)) << testhost::dump();
    EXPECT_TRUE(read_file(flat, 0, kFlatSize) == pattern(kFlatSize, 1)) << "nothing written";
    // The same connection, still in step (a write's data was taken off it).
    EXPECT_EQ(transfer(), 0) << testhost::dump();
    EXPECT_TRUE(c.write ? read_file(flat, 4096, block.size()) == block
                        : data == image(4096, block.size()));
    s->DisConnectHXA();
    ASSERT_EQ(sim.stop(SIGTERM), 0);
    EXPECT_EQ(fault_lines(sim.log()),
              std::vector<std::string>{
                  "conn 1: fault: LAN " + std::string(c.write ? "write" : "read") + " handle " +
                  std::to_string(h) + " offset 4096 length 100000 answered with result " +
                  std::to_string(c.result) + " instead of being carried out; fault 1 of 1"});
}

INSTANTIATE_TEST_SUITE_P(
    Transfers, IoErrors,
    ::testing::Values(IoErrorCase{"Read", false, 8, "ReadDisk: read VHDFile failed!  (line #)"},
                      IoErrorCase{"Write", true, 10,
                                  "WriteDisk: write vhd file failed!  (line #)"}),
    [](const ::testing::TestParamInfo<IoErrorCase>& info) { return std::string(info.param.name); });

TEST_F(Faults, AddressMapsFailWithTheResultOfTheirDirection) {
    start({"--io-error-rate", "1", "--fault-limit", "2"});
    RawClient c;
    uint32_t ro = 0, rw = 0;
    std::vector<vhd_Rec> records;
    ASSERT_NO_FATAL_FAILURE(open_sparse_twice(c, ro, rw));
    EXPECT_EQ(c.san_map(ro, 0, kMiB, records), hxa::RES_READ_FAILED);
    EXPECT_EQ(c.san_map(rw, 0, kMiB, records), hxa::RES_WRITE_FAILED);
    EXPECT_EQ(c.san_map(rw, 0, kMiB, records), hxa::RES_OK) << "the fault limit is used up";
}

TEST_F(Faults, AStalledConnectionIsLeftOpenUntilSigtermStopsTheSimulator) {
    start({"--stall-after", "1"});
    unsigned h = 0;
    Sdk s = open_flat(h);  // the one request answered
    int result = -1;
    std::thread reader([&] {
        Bytes data;
        result = read(s.get(), h, 0, 4096, data);
    });
    // The stall is logged before the connection waits; the wait only bounds a broken run.
    for (int i = 0; i < 3000 && fault_lines(sim.log()).empty(); ++i) usleep(10000);
    EXPECT_EQ(sim.stop(SIGTERM), 0);
    reader.join();
    EXPECT_EQ(result, 1) << "the read was answered";
    const std::string log = sim.log();
    EXPECT_EQ(fault_lines(log),
              std::vector<std::string>{"conn 1: fault: stalled after 1 requests: nothing more is "
                                       "read or answered until the peer closes the connection; "
                                       "fault 1"});
    EXPECT_NE(log.find("data moved: 0 bytes read, 0 bytes written\n"), std::string::npos) << log;
    EXPECT_NE(log.find("stopped"), std::string::npos) << log;
}

TEST_F(Faults, TheStopLogCountsTheDataMoved) {
    start({});
    unsigned h = 0;
    Sdk s = open_flat(h);
    Bytes data;
    ASSERT_EQ(read(s.get(), h, 0, kFlatSize, data), 0);
    ASSERT_EQ(read(s.get(), h, 5, 3000, data), 0);
    ASSERT_EQ(write(s.get(), h, 777, pattern(300001, 3)), 0);
    EXPECT_EQ(read(s.get(), h, kFlatSize, 4096, data), 1) << "refused, moves nothing";
    s->DisConnectHXA();
    // Address maps count their ranges: a reader's map as read, a writer's as written.
    RawClient c;
    uint32_t ro = 0, rw = 0;
    std::vector<vhd_Rec> records;
    ASSERT_NO_FATAL_FAILURE(open_sparse_twice(c, ro, rw));
    ASSERT_EQ(c.san_map(ro, 0, 2 * kMiB, records), 0);
    ASSERT_EQ(c.san_map(rw, kMiB, 3 * kMiB, records), 0);
    c.close();
    ASSERT_EQ(sim.stop(SIGTERM), 0);
    const std::string expected = "data moved: " + std::to_string(kFlatSize + 3000 + 2 * kMiB) +
                                 " bytes read, " + std::to_string(300001 + 3 * kMiB) +
                                 " bytes written\n";
    EXPECT_NE(sim.log().find(expected), std::string::npos) << expected;
    // Every byte on the connections: the write's data and a few small requests in, the reads'
    // data and small replies out.
    unsigned long long in = 0, out = 0;
    const size_t at = sim.log().find("bytes on the connections: ");
    ASSERT_NE(at, std::string::npos) << sim.log();
    ASSERT_EQ(std::sscanf(sim.log().c_str() + at,
                          "bytes on the connections: %llu received, %llu sent", &in, &out),
              2);
    EXPECT_GT(in, 300001u);
    EXPECT_LT(in, 300001u + 4096);
    EXPECT_GT(out, kFlatSize + 3000);
    EXPECT_LT(out, kFlatSize + 3000 + 4096);
}

TEST(FaultCommandLine, BadFaultOptionsExitWithTwoAndTheReason) {
    struct Case {
        std::vector<std::string> args;
        std::string reason;
    };
    for (const Case& c : std::vector<Case>{
             {{"--io-error-rate", "1.5"}, "--io-error-rate needs a share from 0 to 1, got '1.5'"},
             {{"--reply-delay", "-1"}, "--reply-delay needs milliseconds from 0 to 3600000"},
             {{"--drop-after", "0"}, "--drop-after needs a size of 1 or more, got '0'"},
             {{"--drop-jitter", "4K"}, "--drop-jitter needs --drop-after"},
             {{"--drop-after", "4K", "--drop-jitter", "4K"},
              "--drop-jitter must be smaller than --drop-after"},
             {{"--drop-after", "4K", "--drop-mode", "abort"},
              "--drop-mode must be close or reset, got 'abort'"},
             {{"--stall-after", "one"}, "--stall-after needs a number of requests, got 'one'"},
             {{"--fault-limit"}, "--fault-limit"},
             {{"--fault-seed", "1", "--faults"}, "unknown option '--faults'"}}) {
        std::string err;
        EXPECT_EQ(run_simulator(c.args, err), 2) << c.args[0];
        EXPECT_NE(err.find("hxa-simulator: " + c.reason), std::string::npos) << err;
    }
}
