// End-to-end tests of libquillonvarde_sdk through the public interface, against the real
// hxa-simulator program on loopback: open and close in both transports with the service's
// result codes, LAN reads and writes, the data-less write, and whole-image copies between
// the SAN transport (address maps carried out on LUN files under /dev/disk/by-id) and the
// LAN transport, in plain TCP and TLS.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <list>
#include <memory>
#include <string>
#include <thread>

#include "Quillonvarde_sdk.h"
#include "private_mounts.h"
#include "sim_harness.h"
#include "test_host.h"

using namespace simtest;
using testhost::kError;

namespace {

constexpr uint64_t kMiB = 1 << 20;
constexpr uint64_t kFlatSize = 8 * kMiB;
constexpr uint64_t kImageSize = 64 * kMiB;
const char* kToken = "e2e-token";
const char* kReader = "e2e-reader";

struct SdkDeleter {
    void operator()(CQuillonvardeSDK* p) const { CQuillonvardeSDK::DestroyInstance(p); }
};
using Sdk = std::unique_ptr<CQuillonvardeSDK, SdkDeleter>;

class EndToEnd : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        ASSERT_EQ(testhost::install(), 0);
        testhost::clear();
        ASSERT_FALSE(dir.path().empty());
        flat = dir.file("flat.img");
        make_file(flat, kFlatSize, pattern(kFlatSize, 1));
        luns = {{wwn_hex(3), dir.file("lun-a.img")}, {wwn_hex(4), dir.file("lun-b.img")}};
        for (auto& l : luns) make_file(l.path, 80 * kMiB);
    }

    // The LUN devices as the library finds them: names under /dev/disk/by-id that end in
    // the 32 digits of each LUN's identifier, in a private mount namespace. Call before
    // start() (the simulator child then shares the namespace). False: the test is skipped.
    bool provide_lun_devices(bool loop_devices = false) {
        std::string why = mounts.empty_disk_by_id();
        if (!why.empty()) {
            skip_reason =
                "SAN transport needs /dev/disk/by-id in a private mount namespace: " + why;
            return false;
        }
        if (loop_devices) {
            // The simulator and the library then both work on the block devices.
            for (auto& l : luns) {
                loops.push_back(std::make_unique<testcommon::LoopDevice>(l.path));
                if (loops.back()->device().empty()) {
                    skip_reason = "no loop device can be attached here: " + loops.back()->error();
                    return false;
                }
                l.path = loops.back()->device();
            }
        }
        for (const auto& l : luns) {
            std::string link = "/dev/disk/by-id/" + device_name(l);
            if (symlink(l.path.c_str(), link.c_str()) != 0) {
                skip_reason = "cannot create " + link;
                return false;
            }
        }
        return true;
    }
    static std::string device_name(const LunFile& l) { return "wwn-0x" + l.wwn_hex; }
    std::list<std::string> lun_names() const {
        return {device_name(luns[0]), device_name(luns[1])};
    }

    void start(std::vector<std::string> extra = {}) {
        std::vector<std::string> args =
            simulator_args(kToken, kReader, flat, luns, "/vm/image=64M");
        if (GetParam()) args.push_back("--tls");
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_EQ(sim.start(args), "");
    }

    Sdk connect(const std::string& token = kToken) {
        Sdk s(CQuillonvardeSDK::CreateInstance());
        EXPECT_EQ(s->ConnectHXA("127.0.0.1", sim.port(), token, GetParam() ? 1 : 0), 0)
            << testhost::dump();
        return s;
    }

    void TearDown() override {
        if (sim.running()) {
            EXPECT_EQ(sim.stop(SIGTERM), 0) << sim.log();
        }
        if (HasFailure()) std::cerr << "simulator log:\n" << sim.log();
    }

    // Copies `data` into the disk through `s` in pieces of `piece` bytes.
    static void write_all(CQuillonvardeSDK* s, unsigned h, const Bytes& data, uint64_t piece) {
        for (uint64_t off = 0; off < data.size(); off += piece) {
            uint64_t n = std::min<uint64_t>(piece, data.size() - off);
            long long len = static_cast<long long>(n);
            ASSERT_EQ(
                s->WriteDisk(h, off, n, reinterpret_cast<const char*>(data.data()) + off, len), 0)
                << "at " << off << "\n"
                << testhost::dump();
            ASSERT_EQ(len, static_cast<long long>(n));
        }
    }
    static Bytes read_all(CQuillonvardeSDK* s, unsigned h, uint64_t size, uint64_t piece) {
        Bytes out(size, 0xEE);
        for (uint64_t off = 0; off < size; off += piece) {
            uint64_t n = std::min<uint64_t>(piece, size - off);
            unsigned long long cap = n;
            EXPECT_EQ(s->ReadDisk(h, off, n, reinterpret_cast<char*>(out.data()) + off, cap), 0)
                << "at " << off << "\n"
                << testhost::dump();
            EXPECT_EQ(cap, n);
        }
        return out;
    }

    bool logged_error(const std::string& text) { return testhost::logged(kError, text); }

    // Declared first: the private namespace outlives everything that uses it.
    zev_common::PrivateMounts mounts;
    std::vector<std::unique_ptr<testcommon::LoopDevice>> loops;
    std::string skip_reason;
    TempDir dir;
    std::string flat;
    std::vector<LunFile> luns;
    Simulator sim{dir.path()};
};

#define NEED_LUN_DEVICES()                                       \
    do {                                                         \
        if (!provide_lun_devices()) GTEST_SKIP() << skip_reason; \
    } while (0)

}  // namespace

TEST_P(EndToEnd, LanOpenAndCloseWithTheServiceResultCodes) {
    start();
    Sdk s = connect();
    unsigned h = 0;
    ASSERT_EQ(s->OpenDisk({}, "/vm/flat", OPEN_READWRITE, h, TRANS_LAN), 0) << testhost::dump();
    EXPECT_NE(h, 0u);

    unsigned kept = 4242;
    EXPECT_EQ(s->OpenDisk({}, "/vm/missing", OPEN_READWRITE, kept, TRANS_LAN), 1);
    EXPECT_TRUE(logged_error("OpenDisk: file does not exist!  (line #)")) << testhost::dump();
    EXPECT_EQ(s->OpenDisk({}, "/vm/flat", static_cast<OPENMODE>(3), kept, TRANS_LAN), 1);
    EXPECT_TRUE(logged_error("OpenDisk: file open error!  (line #)")) << testhost::dump();
    EXPECT_EQ(kept, 4242u);

    EXPECT_EQ(s->CloseDisk(h), 0);
    testhost::clear();
    EXPECT_EQ(s->CloseDisk(h), 1);
    EXPECT_TRUE(logged_error("CloseDisk: file handle does not exist!  (line #)"))
        << testhost::dump();
    s->DisConnectHXA();

    Sdk bad = connect("not-the-token");
    EXPECT_EQ(bad->OpenDisk({}, "/vm/flat", OPEN_READONLY, kept, TRANS_LAN), 1);
    EXPECT_TRUE(logged_error("OpenDisk: token error!  (line #)")) << testhost::dump();
    EXPECT_EQ(kept, 4242u);
    bad->DisConnectHXA();
}

TEST_P(EndToEnd, LanReadAndWriteMoveTheImageBytes) {
    start();
    Sdk s = connect();
    unsigned h = 0;
    ASSERT_EQ(s->OpenDisk({}, "/vm/flat", OPEN_READWRITE, h, TRANS_LAN), 0);
    Bytes whole = read_all(s.get(), h, kFlatSize, kFlatSize);
    EXPECT_TRUE(whole == pattern(kFlatSize, 1));

    Bytes block = pattern(300001, 5);
    long long len = static_cast<long long>(block.size());
    ASSERT_EQ(
        s->WriteDisk(h, 77777, block.size(), reinterpret_cast<const char*>(block.data()), len), 0);
    EXPECT_EQ(len, static_cast<long long>(block.size()));
    EXPECT_TRUE(read_file(flat, 77777, block.size()) == block);
    Bytes back(block.size());
    unsigned long long cap = back.size();
    ASSERT_EQ(s->ReadDisk(h, 77777, back.size(), reinterpret_cast<char*>(back.data()), cap), 0);
    EXPECT_TRUE(back == block);
    EXPECT_EQ(s->CloseDisk(h), 0);
    s->DisConnectHXA();
}

TEST_P(EndToEnd, RangesOutsideTheDiskAreRefusedWithTheirMessages) {
    start();
    Sdk s = connect();
    unsigned h = 0;
    ASSERT_EQ(s->OpenDisk({}, "/vm/flat", OPEN_READWRITE, h, TRANS_LAN), 0);
    Bytes buf(4096);
    char* p = reinterpret_cast<char*>(buf.data());
    unsigned long long cap = buf.size();
    EXPECT_EQ(s->ReadDisk(h, kFlatSize, 4096, p, cap), 1);
    EXPECT_TRUE(logged_error("ReadDisk: start block overflow!  (line #)")) << testhost::dump();
    EXPECT_EQ(s->ReadDisk(h, kFlatSize - 100, 4096, p, cap), 1);
    EXPECT_TRUE(logged_error("ReadDisk: end block overflow!  (line #)")) << testhost::dump();
    EXPECT_EQ(s->ReadDisk(h + 1000, 0, 4096, p, cap), 1);
    EXPECT_TRUE(logged_error("ReadDisk: file handle does not exist!  (line #)"))
        << testhost::dump();
    EXPECT_EQ(cap, 4096u);
    long long len = 4096;
    EXPECT_EQ(s->WriteDisk(h, kFlatSize - 100, 4096, p, len), 1);
    EXPECT_TRUE(logged_error("WriteDisk: end block overflow!  (line #)")) << testhost::dump();
    EXPECT_EQ(len, 4096);
    EXPECT_TRUE(read_file(flat, 0, kFlatSize) == pattern(kFlatSize, 1)) << "nothing written";
    // The connection is still in step after every refusal.
    EXPECT_EQ(s->ReadDisk(h, 0, 4096, p, cap), 0);
    Bytes original = pattern(kFlatSize, 1);
    EXPECT_TRUE(buf == Bytes(original.begin(), original.begin() + 4096));

    // A handle opened read-only refuses writes with the open-flag code.
    unsigned ro = 0;
    ASSERT_EQ(s->OpenDisk({}, "/vm/flat", OPEN_READONLY, ro, TRANS_LAN), 0);
    EXPECT_EQ(s->WriteDisk(ro, 0, 4096, p, len), 1);
    EXPECT_TRUE(logged_error("WriteDisk: file open flag error!  (line #)")) << testhost::dump();
    s->DisConnectHXA();
}

TEST_P(EndToEnd, DataLessWriteZeroesTheRange) {
    start();
    Sdk s = connect();
    unsigned h = 0;
    ASSERT_EQ(s->OpenDisk({}, "/vm/flat", OPEN_READWRITE, h, TRANS_LAN), 0);
    long long len = -5;  // not examined for a data-less write
    ASSERT_EQ(s->WriteDisk(h, 1 * kMiB + 3, 2 * kMiB, nullptr, len), 0) << testhost::dump();
    EXPECT_EQ(len, 0);
    Bytes expect = pattern(kFlatSize, 1);
    std::fill(expect.begin() + static_cast<long>(kMiB + 3),
              expect.begin() + static_cast<long>(3 * kMiB + 3), 0);
    EXPECT_TRUE(read_file(flat, 0, kFlatSize) == expect);
    EXPECT_TRUE(read_all(s.get(), h, kFlatSize, 3 * kMiB) == expect);
    s->DisConnectHXA();
}

TEST_P(EndToEnd, SanOpenAndCloseWithTheServiceResultCodes) {
    NEED_LUN_DEVICES();
    start();
    Sdk s = connect();
    unsigned h = 0, kept = 99;
    ASSERT_EQ(s->OpenDisk(lun_names(), "/vm/image", OPEN_READWRITE, h, TRANS_SAN), 0)
        << testhost::dump();
    EXPECT_EQ(s->CloseDisk(h), 0);
    EXPECT_EQ(s->OpenDisk(lun_names(), "/vm/none", OPEN_READWRITE, kept, TRANS_SAN), 1);
    EXPECT_TRUE(logged_error("OpenDisk: file does not exist!  (line #)")) << testhost::dump();
    EXPECT_EQ(s->CloseDisk(12345), 1);
    EXPECT_TRUE(logged_error("CloseDisk: file handle does not exist!  (line #)"));
    // A flat image has no LUN layout to hand out.
    EXPECT_EQ(s->OpenDisk(lun_names(), "/vm/flat", OPEN_READWRITE, kept, TRANS_SAN), 1);
    EXPECT_TRUE(logged_error("OpenDisk: file open error!  (line #)")) << testhost::dump();
    EXPECT_EQ(s->CloseDisk(12345), 1);
    s->DisConnectHXA();

    Sdk bad = connect("wrong");
    EXPECT_EQ(bad->OpenDisk(lun_names(), "/vm/image", OPEN_READWRITE, kept, TRANS_SAN), 1);
    EXPECT_TRUE(logged_error("OpenDisk: token error!  (line #)")) << testhost::dump();
    EXPECT_EQ(kept, 99u);
    bad->CloseDisk(0);
    bad->DisConnectHXA();
}

TEST_P(EndToEnd, ImageWrittenThroughSanReadsBackThroughLanAndTheReverse) {
    NEED_LUN_DEVICES();
    start();
    Sdk s = connect();
    // SAN out, LAN back. Pieces that do not line up with the simulator's 1 MiB chunks.
    Bytes image = pattern(kImageSize, 71);
    unsigned h = 0;
    ASSERT_EQ(s->OpenDisk(lun_names(), "/vm/image", OPEN_READWRITE, h, TRANS_SAN), 0)
        << testhost::dump();
    testhost::clear();
    write_all(s.get(), h, image, 7 * kMiB + 4096);
    // The data went through both LUN devices.
    EXPECT_TRUE(testhost::logged(testhost::kInfo, "String2Hex: dev = " + luns[0].wwn_hex));
    EXPECT_TRUE(testhost::logged(testhost::kInfo, "String2Hex: dev = " + luns[1].wwn_hex));
    ASSERT_EQ(s->CloseDisk(h), 0);
    ASSERT_EQ(s->OpenDisk({}, "/vm/image", OPEN_READWRITE, h, TRANS_LAN), 0);
    Bytes back = read_all(s.get(), h, kImageSize, 16 * kMiB);
    EXPECT_TRUE(back == image) << "LAN read differs from the SAN write";

    // LAN out, SAN back, in one call each.
    Bytes second = pattern(kImageSize, 72);
    write_all(s.get(), h, second, kImageSize);
    ASSERT_EQ(s->CloseDisk(h), 0);
    ASSERT_EQ(s->OpenDisk(lun_names(), "/vm/image", OPEN_READWRITE, h, TRANS_SAN), 0);
    back = read_all(s.get(), h, kImageSize, kImageSize);
    EXPECT_TRUE(back == second) << "SAN read differs from the LAN write";
    ASSERT_EQ(s->CloseDisk(h), 0);
    s->DisConnectHXA();
}

TEST_P(EndToEnd, SanReadOfASparseRangeGivesZerosForTheHoles) {
    NEED_LUN_DEVICES();
    start();
    // Data in one chunk only (2 MiB to 3 MiB), written through the LAN transport.
    Sdk writer = connect();
    unsigned w = 0;
    ASSERT_EQ(writer->OpenDisk({}, "/vm/image", OPEN_READWRITE, w, TRANS_LAN), 0);
    Bytes data = pattern(kMiB, 81);
    long long written = static_cast<long long>(kMiB);
    ASSERT_EQ(
        writer->WriteDisk(w, 2 * kMiB, kMiB, reinterpret_cast<const char*>(data.data()), written),
        0);
    ASSERT_EQ(writer->CloseDisk(w), 0);
    writer->DisConnectHXA();

    // A reader's maps allocate nothing: the unwritten chunks come as holes.
    Sdk reader = connect(kReader);
    unsigned r = 0;
    ASSERT_EQ(reader->OpenDisk(lun_names(), "/vm/image", OPEN_READONLY, r, TRANS_SAN), 0);
    Bytes buf(6 * kMiB, 0xEE);
    unsigned long long cap = buf.size();
    ASSERT_EQ(reader->ReadDisk(r, 0, buf.size(), reinterpret_cast<char*>(buf.data()), cap), 0)
        << testhost::dump();
    EXPECT_EQ(cap, buf.size());
    Bytes expect(6 * kMiB, 0);
    std::copy(data.begin(), data.end(), expect.begin() + 2 * static_cast<long>(kMiB));
    EXPECT_TRUE(buf == expect);
    EXPECT_NE(sim.log().find("-> 3 extents, 2 holes"), std::string::npos) << sim.log();

    // Writing through such a map is refused by the library: a hole has no device.
    testhost::clear();
    long long len = static_cast<long long>(kMiB);
    EXPECT_EQ(reader->WriteDisk(r, 3 * kMiB, kMiB, reinterpret_cast<const char*>(data.data()), len),
              1);
    EXPECT_TRUE(logged_error("WriteLun: related LUN not found!  (line #)")) << testhost::dump();
    ASSERT_EQ(reader->CloseDisk(r), 0);
    reader->DisConnectHXA();
}

TEST_P(EndToEnd, TwoHostsCopyAtOnceInBothTransports) {
    NEED_LUN_DEVICES();
    start();
    // Separate objects on separate threads: one writes the first half through SAN, the
    // other the second half through LAN, while the simulator allocates for both.
    Bytes first = pattern(32 * kMiB, 101), second = pattern(32 * kMiB, 102);
    Sdk san = connect(), lan = connect();
    unsigned hs = 0, hl = 0;
    ASSERT_EQ(san->OpenDisk(lun_names(), "/vm/image", OPEN_READWRITE, hs, TRANS_SAN), 0);
    ASSERT_EQ(lan->OpenDisk({}, "/vm/image", OPEN_READWRITE, hl, TRANS_LAN), 0);
    int san_failures = 0, lan_failures = 0;
    auto copy = [](CQuillonvardeSDK* s, unsigned h, uint64_t base, const Bytes& data,
                   int& failures) {
        for (uint64_t off = 0; off < data.size(); off += 3 * kMiB) {
            uint64_t n = std::min<uint64_t>(3 * kMiB, data.size() - off);
            long long len = static_cast<long long>(n);
            if (s->WriteDisk(h, base + off, n, reinterpret_cast<const char*>(data.data()) + off,
                             len) != 0)
                ++failures;
        }
    };
    std::thread a(copy, san.get(), hs, 0, std::cref(first), std::ref(san_failures));
    std::thread b(copy, lan.get(), hl, 32 * kMiB, std::cref(second), std::ref(lan_failures));
    a.join();
    b.join();
    EXPECT_EQ(san_failures, 0) << testhost::dump();
    EXPECT_EQ(lan_failures, 0) << testhost::dump();
    Bytes whole = first;
    whole.insert(whole.end(), second.begin(), second.end());
    EXPECT_TRUE(read_all(lan.get(), hl, kImageSize, 8 * kMiB) == whole);
    EXPECT_TRUE(read_all(san.get(), hs, kImageSize, 8 * kMiB) == whole);
    EXPECT_EQ(san->CloseDisk(hs), 0);
    EXPECT_EQ(lan->CloseDisk(hl), 0);
    san->DisConnectHXA();
    lan->DisConnectHXA();
}

TEST_P(EndToEnd, LunsOnLoopDevicesCarryTheSanTransport) {
    if (!provide_lun_devices(true)) GTEST_SKIP() << skip_reason;
    start();
    Sdk s = connect();
    Bytes image = pattern(16 * kMiB, 91);
    unsigned h = 0;
    ASSERT_EQ(s->OpenDisk(lun_names(), "/vm/image", OPEN_READWRITE, h, TRANS_SAN), 0)
        << testhost::dump();
    write_all(s.get(), h, image, 5 * kMiB);
    ASSERT_EQ(s->CloseDisk(h), 0);
    ASSERT_EQ(s->OpenDisk({}, "/vm/image", OPEN_READONLY, h, TRANS_LAN), 0);
    EXPECT_TRUE(read_all(s.get(), h, image.size(), 4 * kMiB) == image);
    ASSERT_EQ(s->CloseDisk(h), 0);
    s->DisConnectHXA();
    // Stop the simulator before the loop devices go.
    EXPECT_EQ(sim.stop(SIGTERM), 0) << sim.log();
}

INSTANTIATE_TEST_SUITE_P(Transport, EndToEnd, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? std::string("Tls") : std::string("Plain");
                         });
