// qv-disk as a user runs it: the real program against the real simulator on loopback, in the
// LAN transport (plain and TLS) and the SAN transport (LUN files named under /dev/disk/by-id
// in a private mount namespace, as root), over one and four connections.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "child_process.h"
#include "private_mounts.h"
#include "sim_harness.h"

using namespace simtest;

namespace {

constexpr uint64_t kMiB = 1 << 20;
constexpr uint64_t kDiskSize = 16 * kMiB;
const char* kToken = "qv-token";

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// The bytes the simulator served, from the line it logs when it stops.
uint64_t moved_at_simulator(const std::string& log, bool reads) {
    size_t at = log.find("data moved: ");
    unsigned long long read = 0, written = 0;
    if (at == std::string::npos ||
        std::sscanf(log.c_str() + at, "data moved: %llu bytes read, %llu bytes written", &read,
                    &written) != 2)
        ADD_FAILURE() << "no \"data moved\" line in the simulator's log:\n" << log;
    return reads ? read : written;
}

std::string sha256_hex(const Bytes& data) {
    unsigned char d[EVP_MAX_MD_SIZE];
    unsigned n = 0;
    EVP_Digest(data.data(), data.size(), d, &n, EVP_sha256(), nullptr);
    std::string s;
    char b[3];
    for (unsigned i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02x", d[i]);
        s += b;
    }
    return s;
}

// The first line of `text` that starts with `start`, without its line break; "" when none.
std::string find_line(const std::string& text, const std::string& start) {
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind(start, 0) == 0) return line;
    return "";
}

// The last line of `text`, without its line break.
std::string last_line(const std::string& text) {
    const size_t end = text.size() > 0 && text.back() == '\n' ? text.size() - 1 : text.size();
    const size_t start = text.rfind('\n', end == 0 ? 0 : end - 1);
    return text.substr(start == std::string::npos ? 0 : start + 1,
                       end - (start == std::string::npos ? 0 : start + 1));
}

std::string run_ok(const std::string& program, const std::vector<std::string>& args) {
    testcommon::RunResult r = testcommon::run_program(program, args);
    EXPECT_EQ(r.exit_code, 0) << program << ": " << r.err;
    return r.out;
}

void put(const std::string& path, const Bytes& data) {
    make_file(path, 0);
    write_file(path, 0, data);
}

struct Outcome {
    int status = -1;
    std::string out, err;
};

// Starts qv-disk with `args` and QV_TOKEN=token; its output goes to files in `dir`, its
// journals and run locks to `state` (default: "state" in `dir`).
zev_common::ChildProcess start_qv(const std::string& dir, const std::vector<std::string>& args,
                                  const std::string& token, const std::string& state = "") {
    std::vector<std::string> argv = {QV_DISK};
    argv.insert(argv.end(), args.begin(), args.end());
    zev_common::ChildOptions options;
    // Journals of writes go to the test's folder, not the user's state folder.
    options.env = {"QV_TOKEN=" + token,
                   "XDG_STATE_HOME=" + (state.empty() ? dir + "/state" : state)};
    options.in = zev_common::Stream::inherit();
    options.out = zev_common::Stream::file(dir + "/qv.out");
    options.err = zev_common::Stream::file(dir + "/qv.err");
    return zev_common::ChildProcess::start(argv, options);
}

Outcome finish_qv(const std::string& dir, zev_common::ChildProcess qv) {
    Outcome r;
    zev_common::ChildStatus status;
    if (qv.wait(status)) r.status = status.exit_code;
    r.out = slurp(dir + "/qv.out");
    r.err = slurp(dir + "/qv.err");
    return r;
}

// A simulator serving the 16 MiB disk "/vm/disk" on two LUN files, in the LAN transport
// (plain or TLS) or the SAN transport, and qv-disk run against it.
class QvDiskCase {
  protected:
    // transport: "lan", "tls" or "san"; `faults`: more options of the simulator.
    void start(const std::string& transport, int connections,
               const std::vector<std::string>& faults = {}) {
        transport_ = transport;
        connections_ = connections;
        ASSERT_FALSE(dir.path().empty());
        luns = {{wwn_hex(5), dir.file("lun-a.img")}, {wwn_hex(6), dir.file("lun-b.img")}};
        for (auto& l : luns) make_file(l.path, 12 * kMiB);
        if (transport == "san") {
            // Before the simulator starts, so that it and every qv-disk share the namespace.
            std::string why = mounts.empty_disk_by_id();
            if (!why.empty()) GTEST_SKIP() << "SAN needs a private /dev/disk/by-id: " << why;
            for (const auto& l : luns)
                ASSERT_EQ(symlink(l.path.c_str(), ("/dev/disk/by-id/" + name(l)).c_str()), 0);
        }
        std::vector<std::string> args = {
            "--token",    kToken,
            "--lun",      luns[0].wwn_hex + "=" + luns[0].path,
            "--lun",      luns[1].wwn_hex + "=" + luns[1].path,
            "--san-disk", "/vm/disk=16M:" + luns[0].wwn_hex + "," + luns[1].wwn_hex};
        if (transport == "tls") args.push_back("--tls");
        args.insert(args.end(), faults.begin(), faults.end());
        ASSERT_EQ(sim.start(args), "");
    }

    void stop() {
        if (sim.running()) {
            EXPECT_EQ(sim.stop(SIGTERM), 0) << sim.log();
        }
    }

    static std::string name(const LunFile& l) { return "wwn-0x" + l.wwn_hex; }

    // qv-disk <command> with the server, disk and transport options of this case.
    std::vector<std::string> command(const std::string& verb, const std::vector<std::string>& args,
                                     const std::string& disk = "/vm/disk") const {
        std::vector<std::string> all = {verb, "--server", "127.0.0.1:" + std::to_string(sim.port()),
                                        "--disk", disk};
        if (verb != "info")
            all.insert(all.end(),
                       {"--request-size", "1M", "--connections", std::to_string(connections_)});
        if (transport_ == "tls") all.push_back("--tls");
        if (transport_ == "san") {
            all.push_back("--san");
            for (const auto& l : luns) all.insert(all.end(), {"--lun", name(l)});
        }
        all.insert(all.end(), args.begin(), args.end());
        return all;
    }
    Outcome qv(const std::string& verb, std::vector<std::string> args,
               const std::string& token = kToken, const std::string& disk = "/vm/disk") {
        return finish_qv(dir.path(), start_qv(dir.path(), command(verb, args, disk), token));
    }

    // The disk's bytes, read with qv-disk into a file of the test.
    Bytes disk_contents() {
        Outcome r = qv("read", {"--size", "16M", "-o", dir.file("contents.img")});
        EXPECT_EQ(r.status, 0) << r.err;
        return read_file(dir.file("contents.img"), 0, kDiskSize);
    }

    // Declared first: the private namespace outlives everything that uses it.
    zev_common::PrivateMounts mounts;
    TempDir dir;
    std::vector<LunFile> luns;
    Simulator sim{dir.path()};
    std::string transport_;
    int connections_ = 1;
};

// transport: "lan", "tls" or "san"; connections.
using Param = std::tuple<std::string, int>;

class QvDisk : public QvDiskCase, public ::testing::TestWithParam<Param> {
  protected:
    void SetUp() override { start(std::get<0>(GetParam()), std::get<1>(GetParam())); }
    void TearDown() override { stop(); }
};

TEST_P(QvDisk, WriteReadPatchReadGivesTheDiskBackByteForByteWithHoles) {
    // A disk image whose middle quarter is zeros: a sparse read leaves it as a hole.
    Bytes image = pattern(kDiskSize, 11);
    std::fill(image.begin() + 4 * kMiB, image.begin() + 8 * kMiB, 0);
    make_file(dir.file("image.img"), 0);
    write_file(dir.file("image.img"), 0, image);

    Outcome w = qv("write", {"-i", dir.file("image.img")});
    ASSERT_EQ(w.status, 0) << w.err;
    Outcome r = qv("read", {"--size", "16M", "-o", dir.file("full.img"), "--sparse", "--sha256"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(read_file(dir.file("full.img"), 0, kDiskSize) == image);
    EXPECT_NE(r.out.find("sha256 " + sha256_hex(image)), std::string::npos) << r.out;
    struct stat st;
    ASSERT_EQ(stat(dir.file("full.img").c_str(), &st), 0);
    EXPECT_LE(static_cast<uint64_t>(st.st_blocks) * 512, kDiskSize - 4 * kMiB)
        << "the zero quarter was written, not left as a hole";

    // A patch across the edge of the zero quarter, read back as a range.
    Bytes patch = pattern(300000, 12);
    make_file(dir.file("patch.bin"), 0);
    write_file(dir.file("patch.bin"), 0, patch);
    const uint64_t at = 4 * kMiB - 100000;
    w = qv("write", {"-i", dir.file("patch.bin"), "--offset", std::to_string(at)});
    ASSERT_EQ(w.status, 0) << w.err;
    std::copy(patch.begin(), patch.end(), image.begin() + static_cast<long>(at));
    r = qv("read", {"--size", "16M", "-o", dir.file("second.img")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(read_file(dir.file("second.img"), 0, kDiskSize) == image);
    r = qv("read", {"--size", "16M", "--offset", std::to_string(at), "--length", "300000", "-o",
                    dir.file("range.bin")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(read_file(dir.file("range.bin"), 0, patch.size() + 1) == patch);
}

TEST_P(QvDisk, FailuresExitOneWithTheOperationAndTheLibrarysMessage) {
    struct Case {
        const char* disk;
        const char* token;
        const char* message;
        const char* json;  // the message as the last progress object's "error" holds it
    } cases[] = {
        {"/vm/disk", "wrong-token", "OpenDisk of /vm/disk failed: OpenDisk: token error!",
         R"("error":"OpenDisk of /vm/disk failed: OpenDisk: token error!)"},
        {"/vm/missing", kToken, "OpenDisk of /vm/missing failed: OpenDisk: file does not exist!",
         R"("error":"OpenDisk of /vm/missing failed: OpenDisk: file does not exist!)"},
        {"/vm/a\"b\\c\td", kToken,
         "OpenDisk of /vm/a\"b\\c\td failed: OpenDisk: file does not exist!",
         R"("error":"OpenDisk of /vm/a\"b\\c\td failed: OpenDisk: file does not exist!)"},
    };
    for (const Case& c : cases) {
        size_t before = count(sim.log(), ": accepted");
        Outcome r = qv("read", {"--size", "16M", "-o", dir.file("out.img"), "--progress", "json"},
                       c.token, c.disk);
        EXPECT_EQ(r.status, 1) << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        // The progress ends with the one final object, which names the reason.
        const std::string last = last_line(r.err);
        EXPECT_EQ(last.rfind("{\"state\":\"failed\",", 0), 0u) << r.err;
        EXPECT_NE(last.find(c.json), std::string::npos) << last;
        EXPECT_EQ(count(r.err, "{\"state\":\"failed\""), 1u) << r.err;
        EXPECT_EQ(r.err.find("retry"), std::string::npos) << "a refusal is not retried: " << r.err;
        EXPECT_EQ(count(sim.log(), ": accepted"), before + 1) << "one connection, no retry";
        EXPECT_NE(access(dir.file("out.img").c_str(), F_OK), 0) << "no output for a failure";
    }
}

// A range the disk does not hold is refused before any data moves: the disk and the output
// stay as they were.
TEST_P(QvDisk, RangesTheDiskDoesNotHoldAreRefusedWithNothingChanged) {
    const Bytes image = pattern(kDiskSize, 21);
    make_file(dir.file("image.img"), 0);
    write_file(dir.file("image.img"), 0, image);
    ASSERT_EQ(qv("write", {"-i", dir.file("image.img")}).status, 0);
    make_file(dir.file("big.img"), 0);
    write_file(dir.file("big.img"), 0, pattern(20 * kMiB, 22));
    for (const char* how : {"--sha256", "--only-changed"}) {
        Outcome w = qv("write", {"-i", dir.file("big.img"), how});
        EXPECT_EQ(w.status, 1) << how;
        EXPECT_NE(w.err.find("refused before moving any data: the disk /vm/disk holds no byte "
                             "at offset 20971519"),
                  std::string::npos)
            << w.err;
    }
    Outcome r = qv("read", {"--size", "20M", "-o", dir.file("out.img")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("refused before moving any data"), std::string::npos) << r.err;
    for (const char* left : {"out.img", "out.img.incomplete", "out.img.incomplete.journal"})
        EXPECT_FALSE(testcommon::exists(dir.file(left))) << left;
    EXPECT_TRUE(disk_contents() == image) << "the refused write changed the disk";
}

// A rollback (--only-changed) onto a disk: everything differs at first, then a few damaged
// blocks, then nothing. The disk ends equal to the image each time, only the differing blocks
// reach the simulator, and the manifest written is the image's.
TEST_P(QvDisk, OnlyChangedWritesTheDifferingBlocksAndLeavesTheDiskEqualToTheImage) {
    constexpr uint64_t kBlock = 65536, kBlocks = kDiskSize / kBlock;
    const Bytes image = pattern(kDiskSize, 61);
    put(dir.file("image.img"), image);
    // Damage: one byte in block 5, 200000 bytes across blocks 100 to 103, the last block.
    struct Patch {
        uint64_t at, size;
    } patches[] = {{5 * kBlock + 7, 1}, {100 * kBlock + 10, 200000}, {kDiskSize - 3, 3}};
    const uint64_t damaged = 1 + 4 + 1;
    uint64_t patch_bytes = 0;
    struct Run {
        const char* what;
        uint64_t differ;
    } runs[] = {{"everything differs", kBlocks}, {"damaged", damaged}, {"nothing differs", 0}};
    for (const Run& run : runs) {
        SCOPED_TRACE(run.what);
        if (run.differ == damaged) {
            for (const Patch& p : patches) {
                put(dir.file("patch.bin"), Bytes(p.size, 0xA5));
                ASSERT_EQ(
                    qv("write", {"-i", dir.file("patch.bin"), "--offset", std::to_string(p.at)})
                        .status,
                    0);
                patch_bytes += p.size;
            }
        }
        Outcome w = qv("write", {"-i", dir.file("image.img"), "--only-changed", "--manifest",
                                 dir.file("rolled.manifest"), "--progress", "json"});
        ASSERT_EQ(w.status, 0) << w.err;
        const std::string counts = std::to_string(run.differ) + " of " + std::to_string(kBlocks) +
                                   " blocks of 65536 bytes differed and were written (" +
                                   std::to_string(run.differ * kBlock) + " bytes)";
        EXPECT_NE(w.out.find(counts), std::string::npos) << w.out;
        EXPECT_NE(w.err.find("\"blocks_compared\":" + std::to_string(kBlocks) +
                             ",\"blocks_written\":" + std::to_string(run.differ) + "}"),
                  std::string::npos)
            << w.err;
        EXPECT_TRUE(disk_contents() == image);
        EXPECT_EQ(testcommon::read_file(dir.file("rolled.manifest")),
                  run_ok(ZEV_MANIFEST, {dir.file("image.img"), "-o", "-"}));
    }
    // What the simulator was sent: the first rollback wrote every block, the patches their
    // bytes, the second rollback the damaged blocks, the third nothing. (In the SAN transport
    // the data moves on the LUN devices, and the simulator counts address maps by the open
    // mode, not by the bytes' direction.)
    if (transport_ == "san") return;
    stop();
    EXPECT_EQ(moved_at_simulator(sim.log(), false), kDiskSize + patch_bytes + damaged * kBlock);
}

INSTANTIATE_TEST_SUITE_P(Transports, QvDisk,
                         ::testing::Combine(::testing::Values("lan", "tls", "san"),
                                            ::testing::Values(1, 4)),
                         [](const auto& info) {
                             return std::get<0>(info.param) + "_" +
                                    std::to_string(std::get<1>(info.param)) + "_connections";
                         });

// Disks of odd sizes beside the 16 MiB one: `qv-disk info` finds each size exactly by asking
// the service (and, over TLS, shows the certificate's fingerprint as the simulator printed
// it), and a read without --size copies the whole disk.
class QvDiskSizes : public QvDiskCase, public ::testing::TestWithParam<std::string> {
  protected:
    void SetUp() override {
        const std::string wwns = wwn_hex(5) + "," + wwn_hex(6);
        std::vector<std::string> disks = {"--san-disk", "/vm/odd=1000003:" + wwns, "--san-disk",
                                          "/vm/one=1:" + wwns};
        if (GetParam() == "tls") disks.push_back("--print-fingerprint");
        start(GetParam(), 1, disks);
    }
    void TearDown() override { stop(); }
};

TEST_P(QvDiskSizes, InfoGivesTheExactSizeAndReadNeedsNone) {
    const bool tls = GetParam() == "tls";
    for (const uint64_t size : {kDiskSize, uint64_t{1000003}, uint64_t{1}}) {
        const std::string disk = size == kDiskSize ? "/vm/disk" : size == 1 ? "/vm/one" : "/vm/odd";
        SCOPED_TRACE(disk);
        Outcome r = qv("info", {}, kToken, disk);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("size: " + std::to_string(size) + " bytes ("), std::string::npos)
            << r.out;
        EXPECT_EQ(r.out.find("tls-fingerprint: " + sim.fingerprint() + "\n") != std::string::npos,
                  tls)
            << r.out;
        r = qv("info", {"--json"}, kToken, disk);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("\"size\":" + std::to_string(size) + ","), std::string::npos) << r.out;

        const Bytes image = pattern(size, static_cast<unsigned>(size % 251));
        put(dir.file("image.img"), image);
        ASSERT_EQ(qv("write", {"-i", dir.file("image.img")}, kToken, disk).status, 0);
        r = qv("read", {"-o", dir.file("copy.img")}, kToken, disk);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(read_file(dir.file("copy.img"), 0, size + 1) == image);
        // A --size given must be the disk's.
        r = qv("read", {"-o", dir.file("short.img"), "--size", std::to_string(size + 1)}, kToken,
               disk);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("the disk " + disk + " holds " + std::to_string(size) +
                             " bytes, not the " + std::to_string(size + 1) + " bytes --size"),
                  std::string::npos)
            << r.err;
    }
}

INSTANTIATE_TEST_SUITE_P(Transports, QvDiskSizes, ::testing::Values("lan", "tls", "san"));

// SIGINT in the middle of a read: the transfer stops, the disk and the connection are closed
// and what arrived is kept under the name that says it is incomplete.
TEST(QvDiskInterrupt, SigintKeepsThePartialOutputAsIncomplete) {
    TempDir dir;
    Simulator sim{dir.path()};
    ASSERT_EQ(sim.start({"--token", kToken, "--lun", wwn_hex(7) + "=" + dir.file("lun.img") + ":3G",
                         "--san-disk", "/vm/big=2G:" + wwn_hex(7)}),
              "");
    const std::string out = dir.file("big.img");
    zev_common::ChildProcess qv =
        start_qv(dir.path(),
                 {"read", "--server", "127.0.0.1:" + std::to_string(sim.port()), "--disk",
                  "/vm/big", "--size", "2G", "--request-size", "4K", "-o", out},
                 kToken);
    ASSERT_TRUE(qv.running()) << qv.error();
    struct stat st = {};
    zev_common::ChildStatus ended;
    while ((stat((out + ".incomplete").c_str(), &st) != 0 || st.st_size == 0) && !qv.wait(ended, 0))
        usleep(10000);
    qv.send_signal(SIGINT);
    Outcome r = finish_qv(dir.path(), std::move(qv));
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("partial output kept as " + out + ".incomplete"), std::string::npos)
        << r.err;
    EXPECT_NE(access(out.c_str(), F_OK), 0) << "an interrupted read must not take the final name";
    EXPECT_EQ(sim.stop(SIGTERM), 0) << sim.log();
    EXPECT_NE(sim.log().find("LAN close"), std::string::npos) << "the disk was not closed";
}

// Faults of the simulator, each kind over every transport and one or four connections:
// writes and reads retry on new connections and give the same bytes.
using FaultParam = std::tuple<std::string, int, std::string>;

class QvDiskFaults : public QvDiskCase, public ::testing::TestWithParam<FaultParam> {
  protected:
    void SetUp() override {
        const std::string transport = std::get<0>(GetParam()), fault = std::get<2>(GetParam());
        // SAN connections carry only address maps, so they are cut after fewer bytes.
        const bool san = transport == "san";
        std::vector<std::string> faults = {"--fault-seed", "3", "--fault-limit", "4"};
        if (fault == "io-error") {
            faults.insert(faults.end(), {"--io-error-rate", "0.25"});
        } else {
            faults.insert(faults.end(), {"--drop-after", san ? "1K" : "3M", "--drop-jitter",
                                         san ? "256" : "1M", "--drop-mode", fault});
        }
        start(transport, std::get<1>(GetParam()), faults);
    }
    void TearDown() override { stop(); }
};

TEST_P(QvDiskFaults, WritesAndReadsRetryAndGiveTheSameBytes) {
    const Bytes image = pattern(kDiskSize, 31);
    make_file(dir.file("image.img"), 0);
    write_file(dir.file("image.img"), 0, image);
    Outcome w = qv("write", {"-i", dir.file("image.img"), "--retry-delay", "0.01"});
    ASSERT_EQ(w.status, 0) << w.err;
    Outcome r = qv(
        "read", {"--size", "16M", "-o", dir.file("out.img"), "--sha256", "--retry-delay", "0.01"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(read_file(dir.file("out.img"), 0, kDiskSize) == image);
    EXPECT_NE(r.out.find("sha256 " + sha256_hex(image)), std::string::npos) << r.out;
    EXPECT_EQ(count(sim.log(), ": fault: "), 4u) << sim.log();
    EXPECT_EQ(count(w.err + r.err, "; retry "), 4u) << w.err << r.err;
    EXPECT_NE((w.err + r.err).find("; retry 1 of 5 in 0.0 s"), std::string::npos);
    EXPECT_TRUE(disk_contents() == image);
}

INSTANTIATE_TEST_SUITE_P(Faults, QvDiskFaults,
                         ::testing::Combine(::testing::Values("lan", "tls", "san"),
                                            ::testing::Values(1, 4),
                                            ::testing::Values("close", "reset", "io-error")),
                         [](const auto& info) {
                             return std::get<0>(info.param) + "_" +
                                    std::to_string(std::get<1>(info.param)) + "_connections_" +
                                    (std::get<2>(info.param) == "io-error"
                                         ? std::string("io_error")
                                         : std::get<2>(info.param));
                         });

// A transfer killed part-way (SIGKILL) and run again with --resume gives the same bytes as an
// uninterrupted one and moves little again; a journal of another transfer is refused.
TEST(QvDiskResume, KilledTransfersResumeAndMoveLittleAgain) {
    constexpr uint64_t kSize = 64 * kMiB, kRequest = 64 * 1024;
    for (const char* kind : {"read", "write", "rollback"}) {
        SCOPED_TRACE(kind);
        const bool reading = kind == std::string("read");
        const bool rollback = kind == std::string("rollback");
        TempDir dir;
        const Bytes image = pattern(kSize, reading ? 41 : 42);
        // A rollback's disk differs from the image in every eighth request.
        Bytes disk = reading ? image : rollback ? image : Bytes(kSize, 0);
        for (uint64_t at = 0; rollback && at < kSize; at += 8 * kRequest) disk[at] ^= 1;
        make_file(dir.file("flat.img"), 0);
        write_file(dir.file("flat.img"), 0, disk);
        if (!reading) {
            make_file(dir.file("input.img"), 0);
            write_file(dir.file("input.img"), 0, image);
        }
        Simulator sim{dir.path()};
        // Each reply waits a little, so that the kill lands in the middle.
        ASSERT_EQ(sim.start({"--token", kToken, "--disk", "/vm/flat=" + dir.file("flat.img"),
                             "--reply-delay", "1"}),
                  "");
        const std::string out = dir.file("out.img");
        auto args = [&](const std::string& disk, const std::string& connections) {
            std::vector<std::string> a = {reading ? "read" : "write",
                                          "--server",
                                          "127.0.0.1:" + std::to_string(sim.port()),
                                          "--disk",
                                          disk,
                                          "--request-size",
                                          std::to_string(kRequest),
                                          "--connections",
                                          connections};
            if (reading)
                a.insert(a.end(), {"--size", std::to_string(kSize), "-o", out});
            else
                a.insert(a.end(), {"-i", dir.file("input.img")});
            if (rollback) a.push_back("--only-changed");
            return a;
        };
        const std::string journal =
            reading ? out + ".incomplete.journal" : dir.file("state/qv-disk");
        auto done_lines = [&] {
            std::string text;
            if (reading) {
                text = testcommon::read_file(journal);
            } else if (DIR* d = opendir(journal.c_str())) {
                while (dirent* e = readdir(d))
                    if (e->d_name[0] != '.')
                        text += testcommon::read_file(journal + "/" + e->d_name);
                closedir(d);
            }
            return count(text, "\ndone ");
        };
        zev_common::ChildProcess qv = start_qv(dir.path(), args("/vm/flat", "3"), kToken);
        ASSERT_TRUE(qv.running()) << qv.error();
        zev_common::ChildStatus ended;
        while (done_lines() < 3 && !qv.wait(ended, 0)) usleep(5000);
        qv.send_signal(SIGKILL);
        ASSERT_EQ(finish_qv(dir.path(), std::move(qv)).status, -1)
            << "finished before it was killed";

        if (reading) {
            const std::string partial = testcommon::read_file(out + ".incomplete");
            const std::string kept = testcommon::read_file(journal);
            std::vector<std::string> other = args("/vm/other", "3");
            other.push_back("--resume");
            Outcome refused = finish_qv(dir.path(), start_qv(dir.path(), other, kToken));
            EXPECT_EQ(refused.status, 1);
            EXPECT_NE(refused.err.find("--resume refused: the journal " + journal +
                                       " is of another transfer: its disk is /vm/flat, this "
                                       "command's is /vm/other; nothing was changed"),
                      std::string::npos)
                << refused.err;
            EXPECT_TRUE(testcommon::read_file(out + ".incomplete") == partial);
            EXPECT_TRUE(testcommon::read_file(journal) == kept);
        }

        std::vector<std::string> again = args("/vm/flat", "2");
        again.push_back("--resume");
        Outcome r = finish_qv(dir.path(), start_qv(dir.path(), again, kToken));
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.err.find("were done before and are not moved again"), std::string::npos)
            << r.err;
        EXPECT_TRUE(read_file(reading ? out : dir.file("flat.img"), 0, kSize) == image);
        EXPECT_EQ(done_lines(), 0u) << "the journal of a finished transfer is removed";
        ASSERT_EQ(sim.stop(SIGTERM), 0);
        // Again: what was in flight or not yet written down (at most 4 MiB) per connection. A
        // rollback reads the disk to compare and writes each differing block once: a block
        // written before the kill compares equal when it is read again.
        const uint64_t moved = moved_at_simulator(sim.log(), reading || rollback);
        EXPECT_GE(moved, kSize);
        EXPECT_LE(moved, kSize + 4 * kMiB + 3 * kRequest + 16) << sim.log();
        if (rollback) {
            EXPECT_EQ(moved_at_simulator(sim.log(), false), kSize / 8);
        }
    }
}

// An output that exists and is not a regular file is written in place: /dev/null stays the
// null device, a block device (as root) receives the disk. --progress json lines parse.
TEST(QvDiskDevices, OutputsThatAreDevicesAreWrittenInPlace) {
    TempDir dir;
    const Bytes image = pattern(kDiskSize, 51);
    make_file(dir.file("flat.img"), 0);
    write_file(dir.file("flat.img"), 0, image);
    make_file(dir.file("backing.img"), kDiskSize);
    Simulator sim{dir.path()};
    ASSERT_EQ(sim.start({"--token", kToken, "--disk", "/vm/flat=" + dir.file("flat.img")}), "");
    testcommon::LoopDevice loop(dir.file("backing.img"));
    std::vector<std::string> outputs = {"/dev/null"};
    if (!loop.device().empty()) outputs.push_back(loop.device());
    for (const std::string& device : outputs) {
        SCOPED_TRACE(device);
        Outcome r = finish_qv(
            dir.path(),
            start_qv(dir.path(),
                     {"read", "--server", "127.0.0.1:" + std::to_string(sim.port()), "--disk",
                      "/vm/flat", "--size", "16M", "--request-size", "1M", "--connections", "2",
                      "-o", device, "--sha256", "--progress", "json"},
                     kToken));
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("sha256 " + sha256_hex(image)), std::string::npos) << r.out;
        struct stat st = {};
        ASSERT_EQ(stat(device.c_str(), &st), 0);
        EXPECT_TRUE(device == "/dev/null" ? S_ISCHR(st.st_mode) : S_ISBLK(st.st_mode));
        EXPECT_FALSE(testcommon::exists(device + ".incomplete"));
        // Every line on standard error is a progress object; the last one says done.
        std::istringstream lines(r.err);
        std::string line, last;
        while (std::getline(lines, line)) {
            unsigned long long done = 0, total = 0;
            unsigned connections = 0;
            char state[16] = {};
            ASSERT_EQ(
                std::sscanf(line.c_str(),
                            "{\"state\":\"%15[a-z]\",\"bytes_done\":%llu,\"bytes_total\":%llu,"
                            "\"bytes_per_second\":%*f,\"seconds_left\":%*[0-9.nul],"
                            "\"elapsed_seconds\":%*f,\"retries\":0,\"connections\":%u}",
                            state, &done, &total, &connections),
                4)
                << line;
            EXPECT_EQ(total, kDiskSize);
            last = line;
        }
        EXPECT_EQ(last.rfind("{\"state\":\"done\",\"bytes_done\":16777216,", 0), 0u) << r.err;
    }
    if (!loop.device().empty())
        EXPECT_TRUE(read_file(dir.file("backing.img"), 0, kDiskSize) == image);
    else
        std::printf("SKIPPED: the block device output needs a loop device: %s\n",
                    loop.error().c_str());
    EXPECT_EQ(sim.stop(SIGTERM), 0);
}

// ---------------------------------------------------------------------------------------------
// Incremental backups: qv-disk diff against the manifest of the last backup writes the stream
// that zev-block-diff-tool writes for the backup's image and the disk's new contents, and the
// manifests qv-disk writes equal those zev-block-manifest makes of the same images.

struct DiffCase {
    const char* transport;
    int connections;
    uint64_t block_size;
    const char* content;  // "random", "sparse" or "unchanged"
    bool odd;             // a disk of 5000003 bytes: a shorter last block
};

std::ostream& operator<<(std::ostream& out, const DiffCase& c) {
    return out << c.transport << "_" << c.connections << "_" << c.block_size << "_" << c.content
               << (c.odd ? "_odd" : "");
}

class QvDiskDiff : public QvDiskCase, public ::testing::TestWithParam<DiffCase> {
  protected:
    void SetUp() override {
        start(GetParam().transport, GetParam().connections,
              {"--san-disk", "/vm/odd=5000003:" + wwn_hex(5) + "," + wwn_hex(6)});
    }
    void TearDown() override { stop(); }
};

TEST_P(QvDiskDiff, StreamAndManifestsEqualThoseOfTheImageTools) {
    const DiffCase& c = GetParam();
    const std::string disk = c.odd ? "/vm/odd" : "/vm/disk";
    const uint64_t size = c.odd ? 5000003 : kDiskSize;
    const std::string bs = std::to_string(c.block_size);
    Bytes a = pattern(size, 51);
    if (std::string(c.content) == "sparse") {
        std::fill(a.begin(), a.end(), 0);
        std::copy_n(pattern(300000, 52).begin(), 300000, a.begin() + 1000000);
    }
    Bytes b = a;
    if (std::string(c.content) != "unchanged") {
        // Changes in the first block, across a request boundary, zeros over data, and in the
        // last block.
        for (uint64_t at : {uint64_t{10}, kMiB - 2, size - 3}) b[at] ^= 0x5a;
        std::fill_n(b.begin() + 1100000, 70000, 0);
        std::copy_n(pattern(9000, 53).begin(), 9000, b.begin() + 3 * kMiB + 100);
    }
    put(dir.file("a.img"), a);
    put(dir.file("b.img"), b);
    ASSERT_EQ(qv("write", {"-i", dir.file("a.img")}, kToken, disk).status, 0);

    // The full backup with its manifest, equal to the manifest of the file it wrote.
    Outcome r = qv("read",
                   {"--size", std::to_string(size), "-o", dir.file("backup.img"), "--manifest",
                    dir.file("base.man"), "--block-size", bs},
                   kToken, disk);
    ASSERT_EQ(r.status, 0) << r.err;
    run_ok(ZEV_MANIFEST,
           {dir.file("backup.img"), "-o", dir.file("backup.man"), "--block-size", bs});
    EXPECT_EQ(slurp(dir.file("base.man")), slurp(dir.file("backup.man")));

    // The disk changes; its diff against the manifest is the diff tool's stream of the images.
    ASSERT_EQ(qv("write", {"-i", dir.file("b.img")}, kToken, disk).status, 0);
    Outcome d =
        qv("diff", {"--base-manifest", dir.file("base.man"), "--manifest", dir.file("new.man")},
           kToken, disk);
    ASSERT_EQ(d.status, 0) << d.err;
    const std::string expected =
        run_ok(ZEV_DIFF_TOOL, {dir.file("a.img"), dir.file("b.img"), "--block-size", bs});
    EXPECT_TRUE(d.out == expected) << "qv-disk diff:\n"
                                   << d.out.substr(0, 2000) << "\nzev-block-diff-tool:\n"
                                   << expected.substr(0, 2000);
    run_ok(ZEV_MANIFEST, {dir.file("b.img"), "-o", dir.file("b.man"), "--block-size", bs});
    EXPECT_EQ(slurp(dir.file("new.man")), slurp(dir.file("b.man")));

    // The restore, proven by both manifests.
    put(dir.file("stream.jsonl"), Bytes(d.out.begin(), d.out.end()));
    run_ok(ZEV_APPLY,
           {dir.file("backup.img"), "--input", dir.file("stream.jsonl"), "--base-manifest",
            dir.file("base.man"), "--result-manifest", dir.file("new.man")});
    EXPECT_TRUE(read_file(dir.file("backup.img"), 0, size) == b);
}

INSTANTIATE_TEST_SUITE_P(Images, QvDiskDiff,
                         ::testing::Values(DiffCase{"lan", 1, 64 * 1024, "random", false},
                                           DiffCase{"lan", 4, 4096, "random", true},
                                           DiffCase{"lan", 4, kMiB, "sparse", true},
                                           DiffCase{"lan", 1, 64 * 1024, "unchanged", false},
                                           DiffCase{"tls", 4, 64 * 1024, "sparse", false},
                                           DiffCase{"tls", 1, kMiB, "unchanged", true},
                                           DiffCase{"san", 4, 64 * 1024, "random", true},
                                           DiffCase{"san", 1, 4096, "sparse", false}),
                         [](const auto& info) {
                             std::ostringstream name;
                             name << info.param;
                             return name.str();
                         });

// The simulator and qv-disk for a plain test, which starts and stops them itself.
struct SimulatorCase : QvDiskCase {
    using QvDiskCase::command;
    using QvDiskCase::dir;
    using QvDiskCase::disk_contents;
    using QvDiskCase::qv;
    using QvDiskCase::sim;
    using QvDiskCase::start;
    using QvDiskCase::stop;
};

// What a diff refuses, before it writes any record.
TEST(QvDiskDiffRefusals, WrongManifestsAndSizesWriteNoRecord) {
    SimulatorCase f;
    f.start("lan", 1);
    const TempDir& dir = f.dir;
    put(dir.file("disk.img"), pattern(kDiskSize, 61));
    ASSERT_EQ(f.qv("write", {"-i", dir.file("disk.img")}).status, 0);
    for (const char* name : {"small", "large"}) {
        put(dir.file(std::string(name) + ".img"),
            pattern(std::string(name) == "small" ? 8 * kMiB : 20 * kMiB, 62));
        run_ok(ZEV_MANIFEST,
               {dir.file(std::string(name) + ".img"), "-o", dir.file(std::string(name) + ".man")});
    }
    run_ok(ZEV_MANIFEST, {dir.file("disk.img"), "-o", dir.file("damaged.man")});
    run_ok(ZEV_MANIFEST,
           {dir.file("disk.img"), "-o", dir.file("3m-blocks.man"), "--block-size", "3M"});
    {
        std::fstream damage(dir.file("damaged.man"), std::ios::in | std::ios::out);
        damage.seekp(100);
        damage.put('\x7f');
    }
    struct Case {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{"--base-manifest", dir.file("damaged.man")}, "--base-manifest "},
        {{"--base-manifest", dir.file("small.man")},
         "the disk /vm/disk holds 16777216 bytes, not the 8388608 bytes"},
        {{"--base-manifest", dir.file("large.man")},
         "the disk /vm/disk holds 16777216 bytes, not the 20971520 bytes"},
        {{"--base-manifest", dir.file("disk.man-missing")}, "--base-manifest "},
        {{"--base-manifest", dir.file("small.man"), "--size", "16M"},
         "--size 16777216 differs from the 8388608 bytes"},
        {{"--base-manifest", dir.file("3m-blocks.man")},
         "--request-size 1048576 is not a whole number of blocks of 3145728 bytes"},
    };
    for (const Case& c : cases) {
        Outcome r = f.qv("diff", c.args);
        EXPECT_EQ(r.status, 1) << c.message << "\n" << r.err;
        EXPECT_EQ(r.out, "") << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    f.stop();
}

// A disk that cannot be read to its end: the stream ends with a final record short of the
// disk's size, which zev-block-apply takes as an incomplete diff.
TEST(QvDiskDiffFaults, AnUnreadableDiskEndsTheStreamShortOfItsSize) {
    SimulatorCase f;
    // Every connection is cut after 5 MiB: the range checks pass, the diff's connection not.
    f.start("lan", 1, {"--drop-after", "5M"});
    const TempDir& dir = f.dir;
    put(dir.file("a.img"), pattern(kDiskSize, 71));
    ASSERT_EQ(f.qv("write", {"-i", dir.file("a.img"), "--retry-delay", "0"}).status, 0);
    // The diff's connection carries four requests of 1 MiB and, with the headers, not all of
    // the fifth.
    run_ok(ZEV_MANIFEST, {dir.file("a.img"), "-o", dir.file("a.man")});
    Outcome r = f.qv("diff", {"--base-manifest", dir.file("a.man"), "--retries", "0"});
    EXPECT_EQ(r.status, 1) << r.err;
    const size_t last = r.out.rfind("{\"offset\":");
    ASSERT_NE(last, std::string::npos) << r.out;
    unsigned long long offset = 0;
    ASSERT_EQ(std::sscanf(r.out.c_str() + last,
                          "{\"offset\":%llu,\"length\":0,\"data\":\"\",\"last\":true}", &offset),
              1)
        << r.out.substr(last);
    EXPECT_EQ(offset, 4 * kMiB);
    EXPECT_NE(r.err.find("the stream stops at offset " + std::to_string(offset)), std::string::npos)
        << r.err;
    put(dir.file("stream.jsonl"), Bytes(r.out.begin(), r.out.end()));
    testcommon::RunResult apply = testcommon::run_program(
        ZEV_APPLY, {dir.file("a.img"), "--input", dir.file("stream.jsonl")});
    EXPECT_EQ(apply.exit_code, 3) << apply.err;
    f.stop();
}

// Standard output as the destination of the data: `read -o -` (and the system's names of
// standard output) writes the range in order with no journal, and everything else the run
// says goes to standard error; a --manifest still comes with it.
TEST(QvDiskStandardOutput, ReadWritesTheRangeAndSaysTheRestOnStandardError) {
    SimulatorCase f;
    f.start("lan", 4);
    const TempDir& dir = f.dir;
    const Bytes image = pattern(kDiskSize, 95);
    put(dir.file("image.img"), image);
    ASSERT_EQ(f.qv("write", {"-i", dir.file("image.img")}).status, 0);
    put(dir.file("range.img"), Bytes(image.begin() + 1000, image.begin() + 1000 + 3 * kMiB));
    const std::string manifest = run_ok(ZEV_MANIFEST, {dir.file("range.img"), "-o", "-"});
    for (const char* name : {"-", "/dev/stdout", "/dev/fd/1", "/proc/self/fd/1"}) {
        SCOPED_TRACE(name);
        unlink(dir.file("out.man").c_str());
        Outcome r = f.qv("read", {"--size", "16M", "--offset", "1000", "--length", "3M", "-o", name,
                                  "--sha256", "--manifest", dir.file("out.man")});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(Bytes(r.out.begin(), r.out.end()) ==
                    read_file(dir.file("range.img"), 0, 3 * kMiB + 1));
        EXPECT_NE(r.err.find("read 3145728 bytes of /vm/disk at offset 1000 into standard output "
                             "in "),
                  std::string::npos)
            << r.err;
        EXPECT_NE(r.err.find(", sha256 " +
                             sha256_hex(read_file(dir.file("range.img"), 0, 3 * kMiB + 1)) + "\n"),
                  std::string::npos)
            << r.err;
        EXPECT_NE(r.err.find("manifest of 48 blocks of 65536 bytes written to "), std::string::npos)
            << r.err;
        EXPECT_EQ(testcommon::read_file(dir.file("out.man")), manifest);
        EXPECT_FALSE(testcommon::exists(std::string(name) + ".incomplete"));
        // No journal, and no lock: nothing of the run is left in the state folder.
        DIR* d = opendir(dir.file("state/qv-disk").c_str());
        while (dirent* e = d ? readdir(d) : nullptr)
            EXPECT_EQ(std::string(e->d_name).rfind("read-", 0), std::string::npos) << e->d_name;
        if (d) closedir(d);
    }
    f.stop();
}

// qv-disk diff -o FILE: FILE holds exactly the stream standard output receives, and takes its
// name only then; a diff that fails or is refused leaves nothing at FILE (a file already there
// stays as it was) and no new file beside it. The last progress object names the outcome and
// every object carries the block counts.
TEST(QvDiskDiffOutput, TheFileIsTheWholeStreamOrNothing) {
    SimulatorCase f;
    // Every connection is cut after 5 MiB: a diff gets through only by its retries.
    f.start("lan", 1, {"--drop-after", "5M"});
    const TempDir& dir = f.dir;
    constexpr uint64_t kBlock = 65536;
    Bytes disk = pattern(kDiskSize, 91);
    put(dir.file("base.img"), disk);
    for (uint64_t block : {0, 100, 255}) disk[block * kBlock + 5] ^= 0x33;
    put(dir.file("disk.img"), disk);
    ASSERT_EQ(f.qv("write", {"-i", dir.file("disk.img"), "--retry-delay", "0"}).status, 0);
    run_ok(ZEV_MANIFEST, {dir.file("base.img"), "-o", dir.file("base.man")});
    const std::string stream = run_ok(ZEV_DIFF_TOOL, {dir.file("base.img"), dir.file("disk.img")});
    const std::string out = dir.file("out.jsonl");
    ASSERT_EQ(mkdir(dir.file("folder").c_str(), 0700), 0);

    struct Case {
        const char* what;
        std::vector<std::string> args;
        std::string token;
        bool existing;  // a file at FILE before the run
        int status;
        std::string message;
    } cases[] = {
        {"complete", {"--retry-delay", "0"}, kToken, false, 0, ""},
        {"complete over an older file", {"--retry-delay", "0"}, kToken, true, 0, ""},
        {"standard output", {"--retry-delay", "0", "-o", "-"}, kToken, false, 0, ""},
        {"a wrong token", {}, "wrong-token", false, 1, "OpenDisk: token error!"},
        {"a connection cut, no retry",
         {"--retries", "0"},
         kToken,
         false,
         1,
         "nothing was written to " + out},
        {"a connection cut over an older file",
         {"--retries", "0"},
         kToken,
         true,
         1,
         "nothing was written to " + out},
        {"-o naming the base manifest",
         {"-o", dir.file("base.man")},
         kToken,
         false,
         2,
         "--base-manifest " + dir.file("base.man") + " and -o " + dir.file("base.man") +
             " are the same file"},
        {"-o naming the new manifest",
         {"--manifest", out},
         kToken,
         false,
         2,
         "--manifest " + out + " and -o " + out + " are the same file"},
        {"-o naming a folder",
         {"-o", dir.file("folder")},
         kToken,
         false,
         1,
         "-o " + dir.file("folder") + " is a directory"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        unlink(out.c_str());
        if (c.existing) put(out, Bytes(10, 'o'));
        std::vector<std::string> args = {"--base-manifest", dir.file("base.man"), "--progress",
                                         "json"};
        if (std::find(c.args.begin(), c.args.end(), "-o") == c.args.end())
            args.insert(args.end(), {"-o", out});
        args.insert(args.end(), c.args.begin(), c.args.end());
        Outcome r = f.qv("diff", args, c.token);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(testcommon::names_with(dir.path(), "out.jsonl.").size(), 0u)
            << "a new file was left";
        const bool to_file = std::find(c.args.begin(), c.args.end(), "-") == c.args.end();
        EXPECT_EQ(r.out, to_file || c.status != 0 ? "" : stream);
        if (c.status == 0 && to_file) {
            EXPECT_TRUE(testcommon::read_file(out) == stream);
            struct stat st = {};
            ASSERT_EQ(stat(out.c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 0777, 0600u) << "a stream holds the disk's blocks";
        } else if (c.existing) {
            EXPECT_TRUE(read_file(out, 0, 11) == Bytes(10, 'o')) << "the older file changed";
        } else {
            EXPECT_FALSE(testcommon::exists(out));
        }
        // A usage error gives no progress object; any other run ends with one object of its
        // outcome after those of the running copy, and every object carries the block counts.
        if (c.status == 2) {
            EXPECT_EQ(count(r.err, "{\"state\":"), 0u) << r.err;
            continue;
        }
        EXPECT_EQ(count(r.err, "{\"state\":"), count(r.err, ",\"blocks_compared\":")) << r.err;
        EXPECT_EQ(count(r.err, "{\"state\":\"running\","), count(r.err, "{\"state\":") - 1)
            << r.err;
        const std::string end =
            find_line(r.err, c.status == 0 ? "{\"state\":\"done\"," : "{\"state\":\"failed\",");
        if (c.status == 0) {
            EXPECT_NE(end.find(",\"blocks_compared\":256,\"blocks_changed\":3}"), std::string::npos)
                << r.err;
        } else {
            EXPECT_NE(end.find(",\"error\":\""), std::string::npos) << r.err;
            if (c.token != kToken) {
                EXPECT_NE(end.find(c.message), std::string::npos) << end;
            }
        }
    }
    f.stop();
}

// Signals that end a diff -o FILE at once: one before the copy (during the range check), and
// a second one during the copy. The process ends by the signal, FILE and its new file are
// gone, and the progress ends with one "interrupted" object.
TEST(QvDiskDiffOutput, SignalsThatEndTheProcessLeaveNothing) {
    SimulatorCase f;
    // Every reply waits, so that each signal lands where it is meant to.
    f.start("lan", 1, {"--reply-delay", "300"});
    const TempDir& dir = f.dir;
    put(dir.file("base.img"), pattern(kDiskSize, 97));
    run_ok(ZEV_MANIFEST, {dir.file("base.img"), "-o", dir.file("base.man")});
    const std::string out = dir.file("out.jsonl");
    size_t accepted = 0;  // connections the simulator accepted before the run
    struct Case {
        const char* what;
        std::function<bool()> ready;  // when to send the signals
        std::vector<int> signals;
        int ends_by;
    } cases[] = {
        {"SIGTERM before the copy",
         [&] { return count(f.sim.log(), ": accepted") > accepted; },
         {SIGTERM},
         SIGTERM},
        {"SIGINT then SIGTERM during the copy",
         [&] { return !testcommon::names_with(dir.path(), "out.jsonl.").empty(); },
         {SIGINT, SIGTERM},
         SIGTERM},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        accepted = count(f.sim.log(), ": accepted");
        zev_common::ChildProcess qv = start_qv(
            dir.path(),
            f.command("diff",
                      {"--base-manifest", dir.file("base.man"), "-o", out, "--progress", "json"}),
            kToken);
        ASSERT_TRUE(qv.running()) << qv.error();
        zev_common::ChildStatus ended;
        while (!c.ready() && !qv.wait(ended, 0)) usleep(2000);
        for (int sig : c.signals) qv.send_signal(sig);
        ASSERT_TRUE(qv.wait(ended));
        EXPECT_EQ(ended.signal, c.ends_by) << testcommon::read_file(dir.file("qv.err"));
        const std::string err = testcommon::read_file(dir.file("qv.err"));
        EXPECT_EQ(last_line(err).rfind("{\"state\":\"interrupted\",", 0), 0u) << err;
        EXPECT_EQ(count(err, "{\"state\":") - count(err, "{\"state\":\"running\","), 1u) << err;
        EXPECT_FALSE(testcommon::exists(out));
        EXPECT_EQ(testcommon::names_with(dir.path(), "out.jsonl").size(), 0u);
    }
    f.stop();
}

// ---------------------------------------------------------------------------------------------
// What a careless operator or a hostile local user does to the files of a run: each mistake
// is refused (or the run succeeds with exactly the right bytes), and nothing outside the
// target changes: the other run's output, a link's target, the input, the disk.
TEST(QvDiskMistakes, AreRefusedAndChangeNothingOutsideTheTarget) {
    SimulatorCase f;
    f.start("lan", 1);
    Simulator other{f.dir.path() + "/other"};
    const TempDir& dir = f.dir;
    ASSERT_EQ(mkdir(dir.file("other").c_str(), 0700), 0);
    put(dir.file("other/disk.img"), pattern(kDiskSize, 82));
    ASSERT_EQ(other.start({"--token", kToken, "--disk", "/vm/disk=" + dir.file("other/disk.img")}),
              "");
    const Bytes image = pattern(kDiskSize, 81);
    put(dir.file("image.img"), image);
    ASSERT_EQ(f.qv("write", {"-i", dir.file("image.img")}).status, 0);
    put(dir.file("victim"), Bytes(100, 'v'));
    const std::string out = dir.file("out.img"), partial = out + ".incomplete";
    const std::string journal = partial + ".journal";
    auto reset = [&] {
        for (const std::string& p : {out, partial, journal, dir.file("out.man")}) unlink(p.c_str());
    };
    // A read or write left part-way: SIGINT once its journal names a finished stretch.
    auto interrupted = [&](const std::vector<std::string>& args, const std::string& where) {
        zev_common::ChildProcess qv =
            start_qv(dir.path(), f.command(args[0], {args.begin() + 1, args.end()}), kToken);
        zev_common::ChildStatus ended;
        auto done = [&] {
            std::string text;
            if (DIR* d = opendir(where.c_str())) {
                while (dirent* e = readdir(d))
                    if (std::string(e->d_name).find(".journal") != std::string::npos)
                        text += testcommon::read_file(where + "/" + e->d_name);
                closedir(d);
            }
            return text.find("\ndone ") != std::string::npos;
        };
        while (!done() && !qv.wait(ended, 0)) usleep(5000);
        qv.send_signal(SIGINT);
        EXPECT_EQ(finish_qv(dir.path(), std::move(qv)).status, 1);
    };
    const std::vector<std::string> slow_read = {"read", "--size", "16M", "-o", out, "--rate", "4M"};
    const std::string state = dir.file("state/qv-disk");
    // A run started while `first` runs (once `started` says so) is refused, naming the first,
    // which ends as if alone.
    auto second_run = [&](const std::vector<std::string>& first_args,
                          const std::function<bool()>& started,
                          const std::vector<std::string>& second_args, const std::string& text) {
        zev_common::ChildProcess first = start_qv(
            dir.file("other"), f.command(first_args[0], {first_args.begin() + 1, first_args.end()}),
            kToken, dir.file("state"));
        while (!started()) usleep(2000);
        Outcome second = f.qv(second_args[0], {second_args.begin() + 1, second_args.end()});
        EXPECT_EQ(second.status, 1);
        EXPECT_NE(second.err.find("another qv-disk run (process " + std::to_string(first.pid()) +
                                  ") " + text),
                  std::string::npos)
            << second.err;
        EXPECT_EQ(finish_qv(dir.file("other"), std::move(first)).status, 0);
    };
    const std::string other_server = "127.0.0.1:" + std::to_string(other.port());

    struct Case {
        const char* what;
        std::function<void()> before;
        std::vector<std::string> args;
        std::string server;  // another server than the simulator of the case
        int status;
        std::string message;
        std::function<void()> after;
    } cases[] = {
        {"a symbolic link at the partial output's name",
         [&] { ASSERT_EQ(symlink(dir.file("victim").c_str(), partial.c_str()), 0); },
         {"read", "--size", "16M", "-o", out},
         "",
         1,
         partial + " is in the way (it is a symbolic link)",
         [] {}},
        {"a hard link at the partial output's name",
         [&] { ASSERT_EQ(link(dir.file("victim").c_str(), partial.c_str()), 0); },
         {"read", "--size", "16M", "-o", out},
         "",
         1,
         "(it has another name (a hard link))",
         [] {}},
        {"a symbolic link at the journal's name is replaced, not written through",
         [&] { ASSERT_EQ(symlink(dir.file("victim").c_str(), journal.c_str()), 0); },
         {"read", "--size", "16M", "-o", out},
         "",
         0,
         "",
         [&] { EXPECT_TRUE(read_file(out, 0, kDiskSize) == image); }},
        {"the output named as the journal",
         [&] { put(out, Bytes(10, 'o')); },
         {"read", "--size", "16M", "-o", out, "--journal", out},
         "",
         2,
         "are the same file",
         [&] { EXPECT_TRUE(read_file(out, 0, 11) == Bytes(10, 'o')); }},
        {"the output named as the manifest",
         [&] { put(out, Bytes(10, 'o')); },
         {"read", "--size", "16M", "-o", out, "--manifest", out},
         "",
         2,
         "are the same file",
         [&] { EXPECT_TRUE(read_file(out, 0, 11) == Bytes(10, 'o')); }},
        {"the input named as the journal",
         [] {},
         {"write", "-i", dir.file("image.img"), "--journal", dir.file("image.img")},
         "",
         2,
         "are the same file",
         [] {}},
        {"a --size smaller than the disk",
         [] {},
         {"read", "--size", "1K", "-o", out},
         "",
         1,
         "the disk /vm/disk holds 16777216 bytes, not the 1024 bytes --size describes",
         [&] { EXPECT_FALSE(testcommon::exists(out) || testcommon::exists(partial)); }},
        {"a manifest that cannot be saved: the image is complete, no journal is left",
         [] {},
         {"read", "--size", "16M", "-o", out, "--manifest", dir.file("missing/out.man")},
         "",
         1,
         "the image is complete in " + out + ", but its manifest was not written",
         [&] {
             EXPECT_TRUE(read_file(out, 0, kDiskSize) == image);
             EXPECT_FALSE(testcommon::exists(journal));
         }},
        {"a second run on the output of a running one",
         [&] {
             second_run(
                 slow_read, [&] { return testcommon::exists(partial); },
                 {"read", "--size", "16M", "-o", out}, "is writing " + out);
         },
         {"read", "--size", "16M", "-o", out, "--resume"},
         "",
         0,
         "",
         [&] { EXPECT_TRUE(read_file(out, 0, kDiskSize) == image); }},
        {"a second write to the disk of a running one",
         [&] {
             second_run(
                 {"write", "-i", dir.file("image.img"), "--rate", "4M"},
                 [&] {
                     DIR* d = opendir(state.c_str());
                     bool found = false;
                     while (dirent* e = d ? readdir(d) : nullptr)
                         found = found || std::string(e->d_name).rfind("write-", 0) == 0;
                     if (d) closedir(d);
                     return found;
                 },
                 {"write", "-i", dir.file("victim"), "--offset", "4096"},
                 "is writing the disk /vm/disk");
         },
         {"read", "--size", "16M", "-o", out},
         "",
         0,
         "",
         [&] { EXPECT_TRUE(read_file(out, 0, kDiskSize) == image); }},
        {"a read resumed against another server",
         [&] { interrupted(slow_read, dir.path()); },
         {"read", "--size", "16M", "-o", out, "--rate", "4M", "--resume"},
         other_server,
         1,
         "its server is 127.0.0.1:" + std::to_string(f.sim.port()),
         [&] { EXPECT_TRUE(testcommon::exists(partial) && testcommon::exists(journal)); }},
        {"a read resumed after its partial output was cut",
         [&] {
             interrupted(slow_read, dir.path());
             ASSERT_EQ(truncate(partial.c_str(), 4096), 0);
         },
         {"read", "--size", "16M", "-o", out, "--rate", "4M", "--resume"},
         "",
         1,
         "but the partial output holds only 4096 bytes",
         [] {}},
        {"a write resumed after its input was replaced by another of the same size",
         [&] {
             put(dir.file("new.img"), pattern(kDiskSize, 83));
             interrupted({"write", "-i", dir.file("new.img"), "--rate", "4M"}, state);
             put(dir.file("new2.img"), pattern(kDiskSize, 84));
             ASSERT_EQ(rename(dir.file("new2.img").c_str(), dir.file("new.img").c_str()), 0);
         },
         {"write", "-i", dir.file("new.img"), "--resume"},
         "",
         1,
         "its input is size 16777216",
         [] {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        reset();
        put(dir.file("victim"), Bytes(100, 'v'));
        c.before();
        const Bytes before = f.disk_contents();
        std::vector<std::string> args = f.command(c.args[0], {c.args.begin() + 1, c.args.end()});
        if (!c.server.empty()) args[2] = c.server;
        Outcome r = finish_qv(dir.path(), start_qv(dir.path(), args, kToken));
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_TRUE(read_file(dir.file("victim"), 0, 101) == Bytes(100, 'v'));
        EXPECT_TRUE(read_file(dir.file("image.img"), 0, kDiskSize) == image);
        EXPECT_TRUE(f.disk_contents() == before);
        c.after();
    }
    // Every image and manifest is private.
    reset();
    ASSERT_EQ(f.qv("read", {"--size", "16M", "-o", out, "--manifest", dir.file("out.man")}).status,
              0);
    for (const std::string& p : {out, dir.file("out.man")}) {
        struct stat st = {};
        ASSERT_EQ(stat(p.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u) << p;
    }
    EXPECT_EQ(other.stop(SIGTERM), 0);
    f.stop();
}

}  // namespace
