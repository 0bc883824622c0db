// qv-disk as a user runs it: the real program against the real simulator on loopback, in the
// LAN transport (plain and TLS) and the SAN transport (LUN files named under /dev/disk/by-id
// in a private mount namespace, as root), over one and four connections.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

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

struct Outcome {
    int status = -1;
    std::string out, err;
};

// Starts qv-disk with `args` and QV_TOKEN=token; its output goes to files in `dir`.
pid_t start_qv(const std::string& dir, const std::vector<std::string>& args,
               const std::string& token) {
    std::vector<std::string> storage = {QV_DISK};
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : storage) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_storage = {"QV_TOKEN=" + token};
    for (char** e = environ; *e != nullptr; ++e)
        if (std::string(*e).rfind("QV_TOKEN=", 0) != 0) env_storage.push_back(*e);
    std::vector<char*> envp;
    for (auto& e : env_storage) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, (dir + "/qv.out").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, (dir + "/qv.err").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    if (posix_spawn(&pid, QV_DISK, &fa, nullptr, argv.data(), envp.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    return pid;
}

Outcome finish_qv(const std::string& dir, pid_t pid) {
    Outcome r;
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status))
        r.status = WEXITSTATUS(status);
    r.out = slurp(dir + "/qv.out");
    r.err = slurp(dir + "/qv.err");
    return r;
}

// transport: "lan", "tls" or "san"; connections.
using Param = std::tuple<std::string, int>;

class QvDisk : public ::testing::TestWithParam<Param> {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dir.path().empty());
        luns = {{wwn_hex(5), dir.file("lun-a.img")}, {wwn_hex(6), dir.file("lun-b.img")}};
        for (auto& l : luns) make_file(l.path, 12 * kMiB);
        if (transport() == "san") {
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
        if (transport() == "tls") args.push_back("--tls");
        ASSERT_EQ(sim.start(args), "");
    }

    void TearDown() override {
        if (sim.running()) {
            EXPECT_EQ(sim.stop(SIGTERM), 0) << sim.log();
        }
    }

    std::string transport() const { return std::get<0>(GetParam()); }
    static std::string name(const LunFile& l) { return "wwn-0x" + l.wwn_hex; }

    // qv-disk <command> with the server, disk and transport options of this case.
    Outcome qv(const std::string& command, std::vector<std::string> args,
               const std::string& token = kToken, const std::string& disk = "/vm/disk") {
        std::vector<std::string> all = {command,
                                        "--server",
                                        "127.0.0.1:" + std::to_string(sim.port()),
                                        "--disk",
                                        disk,
                                        "--request-size",
                                        "1M",
                                        "--connections",
                                        std::to_string(std::get<1>(GetParam()))};
        if (transport() == "tls") all.push_back("--tls");
        if (transport() == "san") {
            all.push_back("--san");
            for (const auto& l : luns) all.insert(all.end(), {"--lun", name(l)});
        }
        all.insert(all.end(), args.begin(), args.end());
        return finish_qv(dir.path(), start_qv(dir.path(), all, token));
    }

    // Declared first: the private namespace outlives everything that uses it.
    testmounts::PrivateMounts mounts;
    TempDir dir;
    std::vector<LunFile> luns;
    Simulator sim{dir.path()};
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
    } cases[] = {
        {"/vm/disk", "wrong-token", "OpenDisk of /vm/disk failed: OpenDisk: token error!"},
        {"/vm/missing", kToken, "OpenDisk of /vm/missing failed: OpenDisk: file does not exist!"},
    };
    for (const Case& c : cases) {
        Outcome r = qv("read", {"--size", "16M", "-o", dir.file("out.img")}, c.token, c.disk);
        EXPECT_EQ(r.status, 1) << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_NE(access(dir.file("out.img").c_str(), F_OK), 0) << "no output for a failure";
    }
}

INSTANTIATE_TEST_SUITE_P(Transports, QvDisk,
                         ::testing::Combine(::testing::Values("lan", "tls", "san"),
                                            ::testing::Values(1, 4)),
                         [](const auto& info) {
                             return std::get<0>(info.param) + "_" +
                                    std::to_string(std::get<1>(info.param)) + "_connections";
                         });

// SIGINT in the middle of a read: the transfer stops, the disk and the connection are closed
// and what arrived is kept under the name that says it is incomplete.
TEST(QvDiskInterrupt, SigintKeepsThePartialOutputAsIncomplete) {
    TempDir dir;
    Simulator sim{dir.path()};
    ASSERT_EQ(sim.start({"--token", kToken, "--lun", wwn_hex(7) + "=" + dir.file("lun.img") + ":3G",
                         "--san-disk", "/vm/big=2G:" + wwn_hex(7)}),
              "");
    const std::string out = dir.file("big.img");
    pid_t pid = start_qv(dir.path(),
                         {"read", "--server", "127.0.0.1:" + std::to_string(sim.port()), "--disk",
                          "/vm/big", "--size", "2G", "--request-size", "4K", "-o", out},
                         kToken);
    ASSERT_GT(pid, 0);
    struct stat st = {};
    while ((stat((out + ".incomplete").c_str(), &st) != 0 || st.st_size == 0) &&
           waitpid(pid, nullptr, WNOHANG) == 0)
        usleep(10000);
    kill(pid, SIGINT);
    Outcome r = finish_qv(dir.path(), pid);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("partial output kept as " + out + ".incomplete"), std::string::npos)
        << r.err;
    EXPECT_NE(access(out.c_str(), F_OK), 0) << "an interrupted read must not take the final name";
    EXPECT_EQ(sim.stop(SIGTERM), 0) << sim.log();
    EXPECT_NE(sim.log().find("LAN close"), std::string::npos) << "the disk was not closed";
}

}  // namespace
