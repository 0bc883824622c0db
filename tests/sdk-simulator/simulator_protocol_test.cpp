// The hxa-simulator program, driven over real sockets by a raw protocol client that is
// independent of the library: command line, open/close, LAN transfers, address maps on LUN
// files, malformed input, TLS and clean shutdown.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <set>

#include "sim_harness.h"

using namespace simtest;

namespace {

constexpr uint64_t kMiB = 1 << 20;
constexpr uint64_t kFlatSize = 4 * kMiB;
constexpr uint64_t kSparseSize = 16 * kMiB;
const char* kToken = "secret-token";
const char* kReader = "reader-token";

class SimulatorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dir.path().empty());
        flat = dir.file("flat.img");
        make_file(flat, kFlatSize, pattern(kFlatSize, 1));
        luns = {{wwn_hex(1), dir.file("lun-a.img")}, {wwn_hex(2), dir.file("lun-b.img")}};
        // LUN files start full of stale bytes: storage the simulator hands out must read as
        // zeros all the same.
        for (auto& l : luns) make_file(l.path, 64 * kMiB, pattern(4096, 99));
    }

    std::vector<std::string> base_args() const {
        return simulator_args(kToken, kReader, flat, luns, "/vm/sparse=16M");
    }

    void start(std::vector<std::string> extra = {}) {
        std::vector<std::string> args = base_args();
        args.insert(args.end(), extra.begin(), extra.end());
        std::string why = sim.start(args);
        ASSERT_EQ(why, "");
    }

    void connect(RawClient& c, bool tls = false) { ASSERT_EQ(c.connect(sim.port(), tls), ""); }

    // Starts the simulator with the disks above and connects `c` to it in plain TCP.
    void start_connected(RawClient& c, std::vector<std::string> extra = {}) {
        start(std::move(extra));
        connect(c);
    }

    // Opens the LUN-backed disk on `c` twice: in the SAN transport, and read-write in the LAN one.
    void open_sparse(RawClient& c, uint32_t& san, uint32_t& lan) {
        ASSERT_EQ(c.open_san("/vm/sparse", kToken, san), 0);
        ASSERT_EQ(c.open_lan("/vm/sparse", kToken, 2, lan), 0);
    }

    void TearDown() override {
        if (sim.running()) {
            int status = sim.stop(SIGTERM);
            EXPECT_EQ(status, 0) << "simulator did not exit cleanly:\n" << sim.log();
        }
        if (HasFailure() || getenv("SIM_TEST_SHOW_LOG"))
            std::cerr << "simulator log:\n" << sim.log();
    }

    TempDir dir;
    std::string flat;
    std::vector<LunFile> luns;
    Simulator sim{dir.path()};
};

uint64_t total_length(const std::vector<vhd_Rec>& recs) {
    uint64_t n = 0;
    for (const auto& r : recs) n += r.dataLen;
    return n;
}

}  // namespace

// ---- process life and command line --------------------------------------------------------

TEST_F(SimulatorTest, AnnouncesItsEphemeralPortAndStopsCleanlyOnSigterm) {
    start();
    EXPECT_NE(sim.port(), 0);
    RawClient c;
    connect(c);
    uint32_t h = 0;
    EXPECT_EQ(c.open_lan("/vm/flat", kToken, 2, h), 0);
    EXPECT_EQ(sim.stop(SIGTERM), 0) << sim.log();
    EXPECT_NE(sim.log().find("stopped"), std::string::npos) << sim.log();
    // The open handle of the still-connected client was released on the way out.
    EXPECT_NE(sim.log().find("disk(s) left open were closed"), std::string::npos) << sim.log();
}

TEST_F(SimulatorTest, StopsCleanlyOnSigintWhileClientsAreConnected) {
    start();
    RawClient a, b;
    connect(a);
    connect(b, false);
    Bytes partial(7, 0x35);  // a client stuck in the middle of a header
    ASSERT_TRUE(b.send_bytes(partial.data(), partial.size()));
    uint32_t h = 0;
    ASSERT_EQ(a.open_san("/vm/sparse", kToken, h), 0);
    EXPECT_EQ(sim.stop(SIGINT), 0) << sim.log();
    EXPECT_TRUE(a.peer_closed());
}

TEST_F(SimulatorTest, StopsCleanlyWhileATransferIsBlocked) {
    RawClient c;
    start_connected(c);
    uint32_t h = 0;
    ASSERT_EQ(c.open_lan("/vm/sparse", kToken, 0, h), 0);
    // Ask for more data than the socket buffers hold and never read it: the simulator's
    // connection thread is left blocked in a send when the signal comes.
    hxa::LanTransferRequest req{h, 0, static_cast<uint32_t>(kSparseSize)};
    Bytes msg = c.request(hxa::OP_LAN_READ, &req, sizeof req);
    ASSERT_TRUE(c.send_bytes(msg.data(), msg.size()));
    hxa::MsgHeader head;
    ASSERT_TRUE(c.recv_bytes(&head, sizeof head));
    EXPECT_EQ(sim.stop(SIGTERM), 0) << sim.log();
}

TEST(SimulatorCommandLine, RefusesBadOptionsWithAReason) {
    TempDir dir;
    std::string err;
    EXPECT_EQ(run_simulator({"--address", "10.1.2.3"}, err), 2);
    EXPECT_NE(err.find("loopback"), std::string::npos) << err;
    EXPECT_EQ(run_simulator({"--address", "0.0.0.0"}, err), 2);
    EXPECT_EQ(run_simulator({"--port", "70000"}, err), 2);
    EXPECT_EQ(run_simulator({"--lun", "abc=" + dir.file("x")}, err), 2);
    EXPECT_NE(err.find("32 hex digits"), std::string::npos) << err;
    EXPECT_EQ(run_simulator({"--san-disk", "/d=1M"}, err), 2);
    EXPECT_EQ(run_simulator({"--chunk-size", "1000"}, err), 2);
    EXPECT_EQ(run_simulator({"--cert", dir.file("c.pem")}, err), 2);
    EXPECT_EQ(run_simulator({"--bogus"}, err), 2);
    EXPECT_NE(err.find("unknown option"), std::string::npos) << err;
    EXPECT_EQ(run_simulator({"--help"}, err), 0);
}

TEST(SimulatorCommandLine, RefusesInconsistentDisksAtStart) {
    TempDir dir;
    std::string err, w = wwn_hex(5);
    // A LUN file that does not exist and is not to be created: a usage error.
    EXPECT_EQ(run_simulator({"--lun", w + "=" + dir.file("missing.img")}, err), 2);
    EXPECT_NE(err.find("missing.img does not exist; give its size to create it"), std::string::npos)
        << err;
    // A LUN too small to hold one chunk above 2 MiB.
    EXPECT_EQ(run_simulator({"--lun", w + "=" + dir.file("small.img") + ":2M"}, err), 1);
    EXPECT_NE(err.find("no chunk above 2 MiB"), std::string::npos) << err;
    // A disk on an undeclared LUN, and a disk path given twice.
    EXPECT_EQ(run_simulator({"--san-disk", "/d=8M:" + w}, err), 1);
    EXPECT_NE(err.find("not declared"), std::string::npos) << err;
    EXPECT_EQ(run_simulator({"--lun", w + "=" + dir.file("l.img") + ":16M", "--san-disk",
                             "/d=8M:" + w, "--disk", "/d=" + dir.file("l.img")},
                            err),
              1);
    EXPECT_NE(err.find("given twice"), std::string::npos) << err;
    // Two LUNs on the same file would hand out the same storage twice.
    EXPECT_EQ(run_simulator({"--lun", w + "=" + dir.file("l.img") + ":16M", "--lun",
                             wwn_hex(6) + "=" + dir.file("l.img")},
                            err),
              1);
    EXPECT_NE(err.find("already"), std::string::npos) << err;
    // Certificate files that do not exist.
    EXPECT_EQ(run_simulator({"--cert", dir.file("c.pem"), "--key", dir.file("k.pem")}, err), 1);
}

// ---- open and close -------------------------------------------------------------------------

TEST_F(SimulatorTest, OpenAndCloseAnswerEveryResultCode) {
    RawClient c;
    start_connected(c);
    uint32_t lan = 0, san = 0, other = 0;
    EXPECT_EQ(c.open_lan("/vm/flat", kToken, 2, lan), 0);
    EXPECT_EQ(c.open_san("/vm/sparse", kToken, san), 0);
    EXPECT_EQ(c.open_lan("/vm/sparse", kToken, 0, other), 0);
    EXPECT_NE(lan, 0u);
    EXPECT_EQ((std::set<uint32_t>{lan, san, other}).size(), 3u) << "handles must be distinct";

    uint32_t untouched = 777;
    EXPECT_EQ(c.open_lan("/vm/none", kToken, 2, untouched), 2);
    EXPECT_EQ(c.open_san("/vm/none", kToken, untouched), 2);
    EXPECT_EQ(c.open_lan("/vm/flat", "wrong", 2, untouched), 3);
    EXPECT_EQ(c.open_san("/vm/sparse", "", untouched), 3);
    // A read-only token may not open for writing; it may open for reading.
    EXPECT_EQ(c.open_lan("/vm/flat", kReader, 2, untouched), 3);
    EXPECT_EQ(c.open_lan("/vm/flat", kReader, 1, untouched), 3);
    // No access mode in the open mode; a flat image has no LUN layout for the SAN transport.
    EXPECT_EQ(c.open_lan("/vm/flat", kToken, 3, untouched), 4);
    EXPECT_EQ(c.open_san("/vm/flat", kToken, untouched), 4);
    EXPECT_EQ(untouched, 777u);
    uint32_t ro = 0;
    EXPECT_EQ(c.open_lan("/vm/flat", kReader, 0, ro), 0);

    // Closing: the transport must match the handle's, and a handle closes once.
    EXPECT_EQ(c.close_disk(hxa::OP_LAN_CLOSE, san), 1);
    EXPECT_EQ(c.close_disk(hxa::OP_SAN_CLOSE, san), 0);
    EXPECT_EQ(c.close_disk(hxa::OP_SAN_CLOSE, san), 5);
    EXPECT_EQ(c.close_disk(hxa::OP_LAN_CLOSE, lan), 0);
    EXPECT_EQ(c.close_disk(hxa::OP_LAN_CLOSE, lan), 5);
    EXPECT_EQ(c.close_disk(hxa::OP_LAN_CLOSE, 0xDEADBEEF), 5);
    EXPECT_EQ(c.close_disk(hxa::OP_LAN_CLOSE, other), 0);
    EXPECT_EQ(c.close_disk(hxa::OP_LAN_CLOSE, ro), 0);
}

TEST_F(SimulatorTest, AMissingImageFileIsAMissingDisk) {
    start();
    ASSERT_EQ(unlink(flat.c_str()), 0);
    RawClient c;
    connect(c);
    uint32_t h = 0;
    EXPECT_EQ(c.open_lan("/vm/flat", kToken, 2, h), 2);
}

TEST_F(SimulatorTest, HandlesBelongToTheConnectionThatOpenedThem) {
    start();
    RawClient a, b;
    connect(a);
    connect(b);
    uint32_t h = 0;
    ASSERT_EQ(a.open_lan("/vm/flat", kToken, 2, h), 0);
    Bytes data;
    EXPECT_EQ(b.lan_read(h, 0, 16, data), 5);
    EXPECT_EQ(b.close_disk(hxa::OP_LAN_CLOSE, h), 5);
    EXPECT_EQ(a.lan_read(h, 0, 16, data), 0);
    EXPECT_EQ(a.close_disk(hxa::OP_LAN_CLOSE, h), 0);
}

// ---- LAN transfers on a flat image ------------------------------------------------------------

TEST_F(SimulatorTest, LanReadAndWriteGoToTheImageFile) {
    RawClient c;
    start_connected(c);
    uint32_t h = 0;
    ASSERT_EQ(c.open_lan("/vm/flat", kToken, 2, h), 0);
    Bytes data;
    ASSERT_EQ(c.lan_read(h, 0, static_cast<uint32_t>(kFlatSize), data), 0);
    EXPECT_TRUE(data == read_file(flat, 0, kFlatSize));

    Bytes block = pattern(100000, 7);
    ASSERT_EQ(c.lan_write(h, 12345, block), 0);
    EXPECT_TRUE(read_file(flat, 12345, block.size()) == block);
    Bytes before = pattern(kFlatSize, 1);
    EXPECT_TRUE(read_file(flat, 0, 12345) == Bytes(before.begin(), before.begin() + 12345));
    ASSERT_EQ(c.lan_read(h, 12345, static_cast<uint32_t>(block.size()), data), 0);
    EXPECT_TRUE(data == block);
    // The last byte of the disk can be written and read.
    ASSERT_EQ(c.lan_write(h, kFlatSize - 1, Bytes{0xAB}), 0);
    ASSERT_EQ(c.lan_read(h, kFlatSize - 1, 1, data), 0);
    EXPECT_EQ(data, Bytes{0xAB});
}

TEST_F(SimulatorTest, OutOfRangeTransfersAreRefusedAndTheStreamStaysInStep) {
    RawClient c;
    start_connected(c);
    uint32_t h = 0;
    ASSERT_EQ(c.open_lan("/vm/flat", kToken, 2, h), 0);
    Bytes data;
    EXPECT_EQ(c.lan_read(h, kFlatSize, 16, data), 6);
    EXPECT_EQ(c.lan_read(h, kFlatSize - 10, 20, data), 9);
    EXPECT_EQ(c.lan_read(h, 0, 0, data), 7);
    EXPECT_EQ(c.lan_read(h + 100, 0, 16, data), 5);
    // Refused writes still take their data off the connection.
    EXPECT_EQ(c.lan_write(h, kFlatSize, pattern(5000, 3)), 6);
    EXPECT_EQ(c.lan_write(h, kFlatSize - 100, pattern(5000, 3)), 9);
    EXPECT_EQ(c.lan_write(h + 100, 0, pattern(5000, 3)), 5);
    EXPECT_EQ(c.lan_zero(h, kFlatSize + 1, 10), 6);
    EXPECT_TRUE(read_file(flat, 0, kFlatSize) == pattern(kFlatSize, 1)) << "nothing was written";
    ASSERT_EQ(c.lan_read(h, 100, 50, data), 0);
    Bytes expect = pattern(kFlatSize, 1);
    EXPECT_TRUE(data == Bytes(expect.begin() + 100, expect.begin() + 150));
}

TEST_F(SimulatorTest, OpenModeDecidesWhatAHandleMayDo) {
    RawClient c;
    start_connected(c);
    uint32_t ro = 0, wo = 0;
    ASSERT_EQ(c.open_lan("/vm/flat", kToken, 0, ro), 0);
    ASSERT_EQ(c.open_lan("/vm/flat", kToken, 1, wo), 0);
    Bytes data;
    EXPECT_EQ(c.lan_write(ro, 0, pattern(3000, 5)), 4);
    EXPECT_EQ(c.lan_zero(ro, 0, 3000), 4);
    EXPECT_EQ(c.lan_read(wo, 0, 10, data), 4);
    EXPECT_EQ(c.lan_write(wo, 0, pattern(3000, 5)), 0);
    ASSERT_EQ(c.lan_read(ro, 0, 3000, data), 0);
    EXPECT_TRUE(data == pattern(3000, 5));
}

TEST_F(SimulatorTest, DataLessWriteZeroesTheRange) {
    RawClient c;
    start_connected(c);
    uint32_t h = 0;
    ASSERT_EQ(c.open_lan("/vm/flat", kToken, 2, h), 0);
    ASSERT_EQ(c.lan_zero(h, 7000, 5000), 0);
    Bytes expect = pattern(kFlatSize, 1);
    std::fill(expect.begin() + 7000, expect.begin() + 12000, 0);
    EXPECT_TRUE(read_file(flat, 0, kFlatSize) == expect);
}

// ---- LUN-backed disks and address maps ------------------------------------------------------

TEST_F(SimulatorTest, WriteMapsSpreadOverSeveralLunsAboveTwoMiB) {
    RawClient c;
    start_connected(c);
    uint32_t san = 0, lan = 0;
    ASSERT_NO_FATAL_FAILURE(open_sparse(c, san, lan));
    std::vector<vhd_Rec> recs;
    ASSERT_EQ(c.san_map(san, 0, kSparseSize, recs), 0);
    EXPECT_EQ(total_length(recs), kSparseSize);
    std::set<std::string> used;
    for (const auto& r : recs) {
        EXPECT_GE(r.phyOffset, 0x200000u) << "a write map has no holes and nothing below 2 MiB";
        char hex[33];
        for (int i = 0; i < 16; ++i) snprintf(hex + 2 * i, 3, "%02x", r.lunWwn[i]);
        used.insert(hex);
    }
    EXPECT_EQ(used, (std::set<std::string>{luns[0].wwn_hex, luns[1].wwn_hex}));
    EXPECT_GE(recs.size(), 2u);

    // The data placed by the map is what a LAN read of the same disk returns.
    Bytes image = pattern(kSparseSize, 11);
    ASSERT_TRUE(apply_write_map(recs, luns, image));
    Bytes back;
    ASSERT_EQ(c.lan_read(lan, 0, static_cast<uint32_t>(kSparseSize), back), 0);
    EXPECT_TRUE(back == image);
    // A second map of the same range names the same storage.
    std::vector<vhd_Rec> again;
    ASSERT_EQ(c.san_map(san, 0, kSparseSize, again), 0);
    ASSERT_EQ(again.size(), recs.size());
    EXPECT_EQ(std::memcmp(again.data(), recs.data(), recs.size() * sizeof(vhd_Rec)), 0);
}

TEST_F(SimulatorTest, LanWritesAreReadBackThroughAddressMaps) {
    RawClient c;
    start_connected(c, {"--chunk-size", "256K"});
    uint32_t san = 0, lan = 0;
    ASSERT_NO_FATAL_FAILURE(open_sparse(c, san, lan));
    // An unaligned range: the first and last extents are parts of chunks.
    const uint64_t off = 3 * kMiB / 2 + 1000, len = 3 * kMiB + 77;
    Bytes data = pattern(len, 21);
    ASSERT_EQ(c.lan_write(lan, off, data), 0);
    std::vector<vhd_Rec> recs;
    ASSERT_EQ(c.san_map(san, off, len, recs), 0);
    EXPECT_EQ(total_length(recs), len);
    Bytes back;
    ASSERT_TRUE(apply_read_map(recs, luns, back));
    EXPECT_TRUE(back == data);
    // Around the written range the disk still reads as zeros, not as the LUN's stale bytes.
    ASSERT_EQ(c.lan_read(lan, off - 1000, 1000, back), 0);
    EXPECT_EQ(back, Bytes(1000, 0));
}

TEST_F(SimulatorTest, ReadOnlyMapsShowUnallocatedChunksAsHoles) {
    start();
    RawClient writer, reader;
    connect(writer);
    connect(reader);
    uint32_t lan = 0, ro = 0;
    ASSERT_EQ(writer.open_lan("/vm/sparse", kToken, 2, lan), 0);
    ASSERT_EQ(reader.open_san("/vm/sparse", kReader, ro), 0);
    Bytes data = pattern(kMiB, 31);
    ASSERT_EQ(writer.lan_write(lan, 4 * kMiB, data), 0);

    std::vector<vhd_Rec> recs;
    ASSERT_EQ(reader.san_map(ro, 2 * kMiB, 6 * kMiB, recs), 0);
    ASSERT_EQ(recs.size(), 3u);
    EXPECT_EQ(recs[0].phyOffset, 0u);
    EXPECT_EQ(recs[0].dataLen, 2 * kMiB);
    EXPECT_GE(recs[1].phyOffset, 0x200000u);
    EXPECT_EQ(recs[1].dataLen, kMiB);
    EXPECT_EQ(recs[2].phyOffset, 0u);
    EXPECT_EQ(recs[2].dataLen, 3 * kMiB);
    Bytes back;
    ASSERT_TRUE(apply_read_map(recs, luns, back));
    Bytes expect(6 * kMiB, 0);
    std::copy(data.begin(), data.end(), expect.begin() + 2 * static_cast<long>(kMiB));
    EXPECT_TRUE(back == expect);
    // Read-only maps allocate nothing: asking again gives the same holes.
    std::vector<vhd_Rec> again;
    ASSERT_EQ(reader.san_map(ro, 2 * kMiB, 6 * kMiB, again), 0);
    EXPECT_EQ(again.size(), 3u);
}

TEST_F(SimulatorTest, DataLessWriteZeroesAllocatedStorageOfALunBackedDisk) {
    RawClient c;
    start_connected(c);
    uint32_t lan = 0, san = 0;
    ASSERT_EQ(c.open_lan("/vm/sparse", kToken, 2, lan), 0);
    ASSERT_EQ(c.open_san("/vm/sparse", kToken, san), 0);
    ASSERT_EQ(c.lan_write(lan, 0, pattern(2 * kMiB, 41)), 0);
    ASSERT_EQ(c.lan_zero(lan, 1000, 3 * kMiB), 0);  // partly over unallocated chunks
    Bytes back;
    ASSERT_EQ(c.lan_read(lan, 0, static_cast<uint32_t>(4 * kMiB), back), 0);
    Bytes expect(4 * kMiB, 0);
    Bytes head = pattern(2 * kMiB, 41);
    std::copy(head.begin(), head.begin() + 1000, expect.begin());
    EXPECT_TRUE(back == expect);
}

TEST_F(SimulatorTest, AddressMapsAreCheckedLikeLanTransfers) {
    RawClient c;
    start_connected(c, {"--max-extents", "4"});
    uint32_t san = 0, lan = 0;
    ASSERT_NO_FATAL_FAILURE(open_sparse(c, san, lan));
    std::vector<vhd_Rec> recs;
    EXPECT_EQ(c.san_map(san, kSparseSize, 1, recs), 6);
    EXPECT_EQ(c.san_map(san, kSparseSize - 10, 11, recs), 9);
    EXPECT_EQ(c.san_map(san, 0, ~uint64_t(0), recs), 9);
    EXPECT_EQ(c.san_map(san, 0, 0, recs), 7);
    EXPECT_EQ(c.san_map(san, 0, 5 * kMiB, recs), 7) << "more extents than allowed";
    EXPECT_EQ(c.san_map(san, 0, 4 * kMiB, recs), 0);
    EXPECT_EQ(c.san_map(san + 1000, 0, 10, recs), 5);
    // A handle of the other transport.
    EXPECT_EQ(c.san_map(lan, 0, 10, recs), 1);
    Bytes data;
    EXPECT_EQ(c.lan_read(san, 0, 10, data), 1);
}

TEST_F(SimulatorTest, FullLunsRefuseNewStorage) {
    std::string small = dir.file("small.img"), w = wwn_hex(9);
    // Room for exactly two 1 MiB chunks above the 2 MiB floor.
    make_file(small, 4 * kMiB);
    RawClient c;
    start_connected(c, {"--lun", w + "=" + small, "--san-disk", "/vm/tiny=8M:" + w});
    uint32_t san = 0, lan = 0;
    ASSERT_EQ(c.open_san("/vm/tiny", kToken, san), 0);
    ASSERT_EQ(c.open_lan("/vm/tiny", kToken, 2, lan), 0);
    std::vector<vhd_Rec> recs;
    EXPECT_EQ(c.san_map(san, 0, 2 * kMiB, recs), 0);
    EXPECT_EQ(c.san_map(san, 2 * kMiB, 1, recs), 10);
    EXPECT_EQ(c.lan_write(lan, 5 * kMiB, pattern(1000, 1)), 10);
    // Reading unallocated storage needs none.
    Bytes data;
    EXPECT_EQ(c.lan_read(lan, 6 * kMiB, 100, data), 0);
    EXPECT_EQ(data, Bytes(100, 0));
}

// ---- malformed requests -----------------------------------------------------------------------

TEST_F(SimulatorTest, BadMagicOrChecksumIsRefusedWithResultOne) {
    RawClient c;
    start_connected(c);
    hxa::OpenLanRequest req{};
    std::strcpy(req.diskPath, "/vm/flat");
    std::strcpy(req.token, kToken);
    req.openMode = 2;
    for (int which = 0; which < 2; ++which) {
        Bytes msg = c.request(hxa::OP_LAN_OPEN, &req, sizeof req);
        if (which == 0)
            msg[0] = 0x36;  // magic
        else
            msg[15] ^= 0x01;  // checksum
        ASSERT_TRUE(c.send_bytes(msg.data(), msg.size()));
        hxa::MsgHeader h;
        Bytes p;
        ASSERT_TRUE(c.reply(h, p));
        EXPECT_EQ(h.operation, hxa::OP_LAN_OPEN);
        ASSERT_EQ(p.size(), 6u);
        EXPECT_EQ(p[0], 1);
    }
    uint32_t handle = 0;
    EXPECT_EQ(c.open_lan("/vm/flat", kToken, 2, handle), 0) << "the stream is still in step";
}

TEST_F(SimulatorTest, LenientHeadersAcceptAnyMagicAndChecksum) {
    RawClient c;
    start_connected(c, {"--lenient-headers"});
    hxa::CloseRequest req{12345};
    Bytes msg = c.request(hxa::OP_LAN_CLOSE, &req, sizeof req);
    msg[0] = 0;
    msg[14] ^= 0xFF;
    ASSERT_TRUE(c.send_bytes(msg.data(), msg.size()));
    hxa::MsgHeader h;
    Bytes p;
    ASSERT_TRUE(c.reply(h, p));
    ASSERT_EQ(p.size(), 2u);
    EXPECT_EQ(p[0], 5) << "judged on its content: an unknown handle";
}

TEST_F(SimulatorTest, UnknownOperationsAndWrongLengthsAreAnsweredWithResultOne) {
    RawClient c;
    start_connected(c);
    struct Case {
        uint16_t op;
        uint32_t length;
        size_t reply_length;
    } cases[] = {{0, 0, 6},
                 {7, 16, 6},
                 {99, 100, 6},
                 {hxa::OP_LAN_OPEN, 10, 6},
                 {hxa::OP_SAN_OPEN, 386, 6},
                 {hxa::OP_LAN_CLOSE, 3, 2},
                 {hxa::OP_SAN_CLOSE, 0, 2},
                 {hxa::OP_LAN_READ, 20, 6},
                 {hxa::OP_LAN_WRITE_NODATA, 0, 6},
                 {hxa::OP_SAN_ADDR_MAP, 16, 6}};
    for (const auto& k : cases) {
        Bytes payload(k.length, 0x5A);
        Bytes msg = c.request(k.op, payload.data(), k.length);
        ASSERT_TRUE(c.send_bytes(msg.data(), msg.size()));
        hxa::MsgHeader h;
        Bytes p;
        ASSERT_TRUE(c.reply(h, p)) << "op " << k.op;
        EXPECT_EQ(h.operation, k.op);
        ASSERT_EQ(p.size(), k.reply_length) << "op " << k.op;
        EXPECT_EQ(p[0], 1) << "op " << k.op;
    }
    uint32_t handle = 0;
    EXPECT_EQ(c.open_lan("/vm/flat", kToken, 2, handle), 0);
}

TEST_F(SimulatorTest, RequestsWithoutAMessageBoundaryCloseOnlyTheirConnection) {
    start();
    {
        // A write whose payload cannot say how much data follows: answered, then closed.
        RawClient c;
        connect(c);
        Bytes payload(8, 0);
        Bytes msg = c.request(hxa::OP_LAN_WRITE, payload.data(), 8);
        ASSERT_TRUE(c.send_bytes(msg.data(), msg.size()));
        hxa::MsgHeader h;
        Bytes p;
        ASSERT_TRUE(c.reply(h, p));
        EXPECT_EQ(p[0], 1);
        EXPECT_TRUE(c.peer_closed());
    }
    {
        // A header announcing more payload than any request has: closed without reading it.
        RawClient c;
        connect(c);
        Bytes msg = c.request(hxa::OP_LAN_OPEN, nullptr, 0);
        hxa::MsgHeader h;
        std::memcpy(&h, msg.data(), sizeof h);
        h.length = 0xFFFFFFFF;
        ASSERT_TRUE(c.send_bytes(&h, sizeof h));
        EXPECT_TRUE(c.peer_closed());
    }
    {
        // A client that goes away in the middle of a payload and of write data.
        RawClient c;
        connect(c);
        Bytes msg = c.request(hxa::OP_SAN_OPEN, Bytes(640, 1).data(), 640);
        ASSERT_TRUE(c.send_bytes(msg.data(), 100));
        c.close();
        connect(c);
        uint32_t h = 0;
        ASSERT_EQ(c.open_lan("/vm/flat", kToken, 2, h), 0);
        hxa::LanTransferRequest req{h, 0, 100000};
        Bytes w = c.request(hxa::OP_LAN_WRITE, &req, sizeof req);
        ASSERT_TRUE(c.send_bytes(w.data(), w.size()));
        ASSERT_TRUE(c.send_bytes(pattern(5000, 1).data(), 5000));
    }
    RawClient c;
    connect(c);
    uint32_t h = 0;
    EXPECT_EQ(c.open_lan("/vm/flat", kToken, 2, h), 0) << "the simulator still serves";
}

TEST_F(SimulatorTest, SurvivesRandomInput) {
    start();
    uint32_t seed = 1;
    auto next = [&seed]() {
        seed = seed * 1103515245u + 12345u;
        return seed >> 8;
    };
    for (int round = 0; round < 150; ++round) {
        RawClient c;
        connect(c);
        uint32_t handle = 0;
        if (round % 3 == 0) {
            ASSERT_EQ(c.open_lan("/vm/sparse", kToken, 2, handle), 0);
        }
        // A plausible header with random fields and a correct checksum, then random bytes.
        uint16_t ops[] = {0, 1, 2, 3, 4, 5, 10, 11, 12, 13, 0xFFFF};
        hxa::LanTransferRequest t{handle, next() % (32u << 20), next() % 5000};
        uint16_t op = ops[next() % (sizeof ops / sizeof ops[0])];
        // Mostly the length the operation expects, so that requests reach the disks.
        size_t expected = op == 1               ? 386
                          : op == 10            ? 640
                          : op == 2 || op == 11 ? 4
                          : op == 12            ? 20
                                                : 16;
        Bytes payload(round % 4 == 3 ? next() % 700 : expected);
        for (auto& b : payload) b = static_cast<unsigned char>(next());
        if (round % 2 == 0 && payload.size() >= sizeof t) std::memcpy(payload.data(), &t, sizeof t);
        Bytes msg = c.request(op, payload.data(), static_cast<uint32_t>(payload.size()));
        if (round % 5 == 0) msg[10 + next() % 4] = static_cast<unsigned char>(next());
        Bytes tail(next() % 3000);
        for (auto& b : tail) b = static_cast<unsigned char>(next());
        msg.insert(msg.end(), tail.begin(), tail.end());
        c.send_bytes(msg.data(), msg.size());
    }
    RawClient c;
    connect(c);
    uint32_t h = 0;
    EXPECT_EQ(c.open_lan("/vm/flat", kToken, 2, h), 0);
    EXPECT_EQ(sim.stop(SIGTERM), 0) << sim.log();
}

// ---- several connections and TLS ------------------------------------------------------------

TEST_F(SimulatorTest, ServesSeveralConnectionsAtOnce) {
    start();
    RawClient a, b;
    connect(a);
    connect(b);
    uint32_t ha = 0, hb = 0;
    ASSERT_EQ(a.open_lan("/vm/sparse", kToken, 2, ha), 0);
    ASSERT_EQ(b.open_san("/vm/sparse", kToken, hb), 0);
    Bytes one = pattern(300000, 51);
    ASSERT_EQ(a.lan_write(ha, 0, one), 0);
    std::vector<vhd_Rec> recs;
    ASSERT_EQ(b.san_map(hb, 0, one.size(), recs), 0);
    Bytes back;
    ASSERT_TRUE(apply_read_map(recs, luns, back));
    EXPECT_TRUE(back == one);
}

TEST_F(SimulatorTest, ServesTlsWithAThrowawayCertificate) {
    start({"--tls"});
    RawClient c;
    connect(c, true);
    uint32_t h = 0;
    ASSERT_EQ(c.open_lan("/vm/flat", kToken, 2, h), 0);
    Bytes data;
    ASSERT_EQ(c.lan_read(h, 0, static_cast<uint32_t>(kFlatSize), data), 0);
    EXPECT_TRUE(data == pattern(kFlatSize, 1));
    Bytes block = pattern(70000, 61);
    ASSERT_EQ(c.lan_write(h, 5, block), 0);
    EXPECT_TRUE(read_file(flat, 5, block.size()) == block);
    EXPECT_EQ(c.close_disk(hxa::OP_LAN_CLOSE, h), 0);

    // A client that does not speak TLS is dropped; TLS clients are still served.
    RawClient plain;
    connect(plain);
    uint32_t ignored = 0;
    EXPECT_EQ(plain.open_lan("/vm/flat", kToken, 2, ignored), kExchangeFailed);
    RawClient again;
    connect(again, true);
    EXPECT_EQ(again.open_lan("/vm/flat", kToken, 0, h), 0);
}

TEST_F(SimulatorTest, ServesTlsWithGivenCertificateFiles) {
    std::string cert = dir.file("cert.pem"), key = dir.file("key.pem");
    ASSERT_EQ(write_certificate(cert, key), "");
    start({"--cert", cert, "--key", key});
    RawClient c;
    connect(c, true);
    uint32_t h = 0;
    EXPECT_EQ(c.open_san("/vm/sparse", kToken, h), 0);
}

TEST_F(SimulatorTest, ATlsClientAgainstAPlainServerFailsCleanly) {
    start();
    RawClient c;
    EXPECT_NE(c.connect(sim.port(), true), "");
    RawClient ok;
    connect(ok);
    uint32_t h = 0;
    EXPECT_EQ(ok.open_lan("/vm/flat", kToken, 2, h), 0);
}
