// Mistakes on qv-disk's command line, run as a user makes them against the real simulator:
// each is refused with its exit status and message before any connection, and leaves no
// file behind. One run that is right shows the checks let it through.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <string>
#include <vector>

#include "child_process.h"
#include "sim_harness.h"

using namespace simtest;

namespace {

const char* kToken = "qv-token";
constexpr uint64_t kDiskSize = 1 << 20;

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

bool has(const std::vector<std::string>& args, const std::string& option) {
    for (const std::string& a : args)
        if (a == option) return true;
    return false;
}

struct Outcome {
    int status = -1;
    std::string out, err;
};

// qv-disk with `args`, QV_TOKEN=token and `env`, its journals and run locks in `dir`.
Outcome run_qv(const std::string& dir, const std::vector<std::string>& args,
               const std::string& token, const std::vector<std::string>& env = {}) {
    std::vector<std::string> argv = {QV_DISK};
    argv.insert(argv.end(), args.begin(), args.end());
    zev_common::ChildOptions options;
    options.env = {"QV_TOKEN=" + token, "XDG_STATE_HOME=" + dir + "/state"};
    options.env.insert(options.env.end(), env.begin(), env.end());
    options.in = zev_common::Stream::inherit();
    options.out = zev_common::Stream::file(dir + "/qv.out");
    options.err = zev_common::Stream::file(dir + "/qv.err");
    zev_common::ChildProcess qv = zev_common::ChildProcess::start(argv, options);
    Outcome r;
    zev_common::ChildStatus status;
    if (qv.wait(status)) r.status = status.exit_code;
    r.out = testcommon::read_file(dir + "/qv.out");
    r.err = testcommon::read_file(dir + "/qv.err");
    return r;
}

// A loopback port nothing listens on: bound once, then closed.
int closed_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n) != 0)
        ADD_FAILURE() << "no loopback port";
    close(fd);
    return ntohs(a.sin_port);
}

TEST(QvDiskOptions, MistakesAreRefusedBeforeAnyConnection) {
    TempDir dir;
    const Bytes image = pattern(kDiskSize, 5);
    make_file(dir.file("flat.img"), 0);
    write_file(dir.file("flat.img"), 0, image);
    Simulator sim{dir.path()};
    ASSERT_EQ(sim.start({"--token", kToken, "--tls", "--print-fingerprint", "--disk",
                         "/vm/flat=" + dir.file("flat.img")}),
              "");
    const std::string pin = sim.fingerprint();  // "AB:CD:..." as the simulator prints it
    ASSERT_EQ(pin.size(), 95u) << pin;
    std::string bare_pin;  // lower case, no colons
    for (char c : pin)
        if (c != ':') bare_pin += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::string other_pin(64, 'a');
    const std::string server = "127.0.0.1:" + std::to_string(sim.port());
    const std::string out = dir.file("out.img");
    make_file(dir.file("in.img"), 4096);
    testcommon::write_file(dir.file("nul-token"), std::string("qv-\0token\n", 10), 0600);

    struct Case {
        std::string verb;
        std::vector<std::string> args;  // --server, --tls and the verb's files are added
        int status;
        std::string message;
        std::string token = kToken;
        bool tls = true;
    } cases[] = {
        {"read", {"--rate", "-1"}, 2, "--rate: '-1' is not a byte count: it is negative"},
        {"read",
         {"--rate", "18446744073709551616"},
         2,
         "--rate: '18446744073709551616' is not a byte count: it is more than 2^64 - 1"},
        {"read", {"--rate", "-18446744073709551615"}, 2, "is not a byte count: it is negative"},
        {"read",
         {"--rate", "16777216T"},
         2,
         "'16777216T' is not a byte count: it is more than 2^64 - 1 bytes"},
        {"read", {"--rate", ""}, 2, "--rate: '' is not a byte count: it is empty"},
        {"read", {"--rate", "10 furlongs"}, 2, "\" furlongs\" after the number is not a unit"},
        {"read", {"--rate", "10furlongs"}, 2, "\"furlongs\" is not a unit"},
        {"read",
         {"--request-size", "64MB"},
         2,
         "qv-disk: --request-size: \"MB\" in 64MB is ambiguous; write 64M (67108864 bytes) or "
         "the byte count, e.g. 64000000\n"},
        {"read", {"--offset", "0x10"}, 2, "'0x10' is not a byte count: hexadecimal is not taken"},
        {"read",
         {"--retry-delay", "nan"},
         2,
         "--retry-delay: 'nan' is not a number of seconds from 0 to 30"},
        {"read", {"--retry-delay", "inf"}, 2, "'inf' is not a number of seconds"},
        {"read", {"--retry-delay", "31"}, 2, "'31' is not a number of seconds from 0 to 30"},
        {"read", {"--retry-delay", "-1"}, 2, "'-1' is not a number of seconds"},
        {"read", {"--offset", "-1"}, 2, "--offset: '-1' is not a byte count: it is negative"},
        {"read", {"--length", "-5"}, 2, "--length: '-5' is not a byte count: it is negative"},
        {"read", {"--size", "-1"}, 2, "--size: '-1' is not a byte count: it is negative"},
        {"read",
         {"--retries", "-1"},
         2,
         "--retries: '-1' is not a whole number from 0 to 1000: it is negative"},
        {"read",
         {"--connections", "0"},
         2,
         "--connections: '0' is not a whole number from 1 to 64"},
        {"read",
         {"--request-size", "0"},
         2,
         "--request-size: '0' is 0 bytes, not a whole number from 1 to 1073741824"},
        {"read",
         {"--manifest", dir.file("out.man"), "--block-size", "1.5K"},
         2,
         "--block-size: '1.5K' is not a byte count: it has a fraction"},
        {"write", {"--offset", "-1"}, 2, "--offset: '-1' is not a byte count: it is negative"},
        {"write", {"--block-size", "4K"}, 2, "--block-size needs --only-changed or --manifest"},
        {"write",
         {"--only-changed", "--block-size", "64K", "--request-size", "100000"},
         1,
         "--request-size 100000 is not a whole number of blocks of 65536 bytes"},
        {"diff", {"--size", "-1"}, 2, "--size: '-1' is not a byte count: it is negative"},
        // Standard output is written once, in order, with no journal.
        {"read",
         {"-o", "-", "--resume"},
         2,
         "--resume: what went to standard output cannot be taken up again (-o FILE can be "
         "resumed); it cannot be used with -o -"},
        {"read",
         {"-o", "/dev/stdout", "--sparse"},
         2,
         "--sparse: standard output cannot be left with holes; it cannot be used with -o -"},
        {"read",
         {"-o", "-", "--journal", dir.file("j")},
         2,
         "--journal: standard output keeps no journal; it cannot be used with -o -"},
        {"read",
         {"--disk", "/vm/" + std::string(252, 'a')},
         2,
         "--disk: the path is 256 bytes; the service takes at most 255 (511 with --san)"},
        {"read",
         {"--disk", "/vm/" + std::string(508, 'a'), "--san", "--lun", "wwn-0x" + wwn_hex(1)},
         2,
         "--disk: the path is 512 bytes; the service takes at most 511 with --san"},
        {"read", {"--disk", ""}, 2, "--disk: the path is empty"},
        {"read", {"--disk", "/vm/flat\n"}, 2, "--disk: the path holds a line break"},
        {"read",
         {},
         1,
         "the token is 128 bytes; the service takes at most 127 (token from QV_TOKEN)",
         std::string(128, 't')},
        {"read",
         {},
         1,
         "the token holds a NUL byte or a line break; the service takes a token of one line "
         "without NUL bytes (token from QV_TOKEN)",
         "qv-token\nqv-token"},
        {"read",
         {"--token-file", dir.file("nul-token")},
         1,
         "the token holds a NUL byte or a line break"},
        {"read",
         {"--tls-fingerprint", "zz"},
         2,
         "--tls-fingerprint zz: not a SHA-256 fingerprint (64 hexadecimal digits, colons "
         "allowed"},
        {"read",
         {"--tls-fingerprint", bare_pin},
         2,
         "--tls-fingerprint needs --tls: a plain connection has no certificate",
         kToken,
         false},
        // The one mistake found only on the connection: it is made, the token is not sent.
        {"read",
         {"--tls-fingerprint", other_pin},
         1,
         "ConnectHXA to " + server +
             " failed: ConnectHXA: the service's certificate has SHA-256 fingerprint " + pin +
             ", which is not pinned"},
        // Right values still work: a size with a unit, a fraction of a second, a pin among
        // others (as printed, upper case with colons) and the same pin in lower case.
        {"read",
         {"--rate", "1M", "--retry-delay", "0.5", "--tls-fingerprint", other_pin,
          "--tls-fingerprint", pin, "--tls-fingerprint", bare_pin},
         0,
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.verb + " " + (c.args.empty() ? "(token " + c.token + ")" : c.args[0]) + " " +
                     (c.args.size() > 1 ? c.args[1] : ""));
        std::vector<std::string> args = {c.verb, "--server", server};
        if (c.tls) args.push_back("--tls");
        if (!has(c.args, "--disk")) args.insert(args.end(), {"--disk", "/vm/flat"});
        if (c.verb == "read") {
            if (!has(c.args, "--size")) args.insert(args.end(), {"--size", "1M"});
            if (!has(c.args, "-o")) args.insert(args.end(), {"-o", out});
        } else if (c.verb == "write") {
            args.insert(args.end(), {"-i", dir.file("in.img")});
        } else {
            args.insert(args.end(), {"--base-manifest", dir.file("base.man")});
        }
        args.insert(args.end(), c.args.begin(), c.args.end());
        const size_t accepted = count(sim.log(), ": accepted");
        const size_t opened = count(sim.log(), " open \"");

        const Outcome r = run_qv(dir.path(), args, c.token);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        if (c.status == 0) {
            EXPECT_TRUE(read_file(out, 0, kDiskSize + 1) == image);
            EXPECT_EQ(unlink(out.c_str()), 0);
            continue;
        }
        // Only a pin refusal reaches the service, once: the handshake and nothing after it.
        const bool pinned = has(c.args, "--tls-fingerprint") && c.status == 1;
        EXPECT_EQ(count(sim.log(), ": accepted"), accepted + (pinned ? 1 : 0));
        EXPECT_EQ(count(sim.log(), " open \""), opened) << "a disk was opened";
        EXPECT_EQ(r.err.find("; retry "), std::string::npos) << "a refusal is not retried";
        for (const std::string& left :
             {out, out + ".incomplete", out + ".incomplete.journal", dir.file("out.man")})
            EXPECT_FALSE(testcommon::exists(left)) << left;
        // Nothing was locked or journalled either, except by the run that went as far as
        // the service.
        if (!pinned) {
            EXPECT_FALSE(testcommon::exists(dir.file("state")));
        }
    }

    // A token file that others can read is used, with a warning; a private one without.
    for (const unsigned mode : {0644u, 0600u}) {
        const std::string file = dir.file("token");
        testcommon::write_file(file, std::string(kToken) + "\n", mode);
        ASSERT_EQ(chmod(file.c_str(), mode), 0);
        const Outcome r = run_qv(dir.path(),
                                 {"read", "--server", server, "--tls", "--disk", "/vm/flat",
                                  "--size", "1M", "-o", out, "--token-file", file},
                                 "");
        EXPECT_EQ(r.status, 0) << r.err;
        const std::string warning = "warning: the token file " + file +
                                    " can be read by other users (mode 0644); chmod 600 " + file;
        EXPECT_EQ(r.err.find(warning) != std::string::npos, mode == 0644u) << r.err;
        EXPECT_EQ(unlink(out.c_str()), 0);
    }
    EXPECT_EQ(sim.stop(SIGTERM), 0) << sim.log();
}

// The environment stands for --server and --tls-fingerprint (an option given wins), and a
// service that cannot be reached ends the run at once, retries or not.
TEST(QvDiskOptions, EnvironmentStandsForOptionsAndAnUnreachableServiceFailsAtOnce) {
    TempDir dir;
    make_file(dir.file("flat.img"), 1000003);
    Simulator sim{dir.path()};
    ASSERT_EQ(sim.start({"--token", kToken, "--tls", "--print-fingerprint", "--disk",
                         "/vm/flat=" + dir.file("flat.img")}),
              "");
    const std::string server = "127.0.0.1:" + std::to_string(sim.port());
    const std::string other_pin(64, 'a');
    const std::string nowhere = "127.0.0.1:" + std::to_string(closed_port());
    struct Case {
        std::vector<std::string> args;  // after "info --disk /vm/flat"
        std::vector<std::string> env;
        int status;
        std::string message;  // in the output (status 0) or on standard error
    } cases[] = {
        {{"--tls"}, {"QV_SERVER=" + server}, 0, "size: 1000003 bytes (976.6 KiB)"},
        {{"--tls", "--server", server}, {"QV_SERVER=" + nowhere}, 0, "size: 1000003 bytes"},
        {{"--tls"},
         {"QV_SERVER=" + server, "QV_TLS_FINGERPRINT=" + other_pin + "," + sim.fingerprint()},
         0,
         "tls-fingerprint: " + sim.fingerprint()},
        {{"--tls", "--tls-fingerprint", sim.fingerprint()},
         {"QV_SERVER=" + server, "QV_TLS_FINGERPRINT=" + other_pin},
         0,
         "size: 1000003 bytes"},
        {{"--tls"},
         {"QV_SERVER=" + server, "QV_TLS_FINGERPRINT=" + other_pin},
         1,
         "which is not pinned"},
        {{},
         {"QV_SERVER=" + server, "QV_TLS_FINGERPRINT=" + other_pin},
         2,
         "QV_TLS_FINGERPRINT or --tls-fingerprint needs --tls"},
        {{}, {}, 2, "no service: give --server ADDR[:PORT] or set QV_SERVER"},
        {{"--tls"}, {"QV_SERVER=" + nowhere}, 1, "cannot reach the HXA service at " + nowhere},
        {{"--server", "no-such-host.invalid"}, {}, 2, "no IPv4 address for 'no-such-host.invalid'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args) + " " + testing::PrintToString(c.env));
        std::vector<std::string> args = {"info", "--disk", "/vm/flat"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const auto started = std::chrono::steady_clock::now();
        const Outcome r = run_qv(dir.path(), args, kToken, c.env);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_NE((c.status == 0 ? r.out : r.err).find(c.message), std::string::npos)
            << r.out << r.err;
        EXPECT_EQ(r.err.find("retry"), std::string::npos) << r.err;
        // The default five retries with their waits would take half a minute.
        EXPECT_LT(seconds, 10.0);
    }
    // A read finds the service the same way.
    const Outcome r = run_qv(dir.path(), {"read", "--disk", "/vm/flat", "-o", dir.file("out.img")},
                             kToken, {"QV_SERVER=" + nowhere});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot reach the HXA service at " + nowhere), std::string::npos) << r.err;
    EXPECT_FALSE(testcommon::exists(dir.file("out.img")));
    EXPECT_EQ(sim.stop(SIGTERM), 0) << sim.log();
}

// `arg` quoted for the shell.
std::string quoted(const std::string& arg) {
    std::string q = "'";
    for (char c : arg) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// The data never goes to a terminal: read -o - (or a name of standard output) and a diff to
// standard output are refused when it is one, as a usage error before any connection. The
// terminal is the one script(1) gives its command.
TEST(QvDiskOptions, DataIsNeverWrittenToATerminal) {
    if (access("/usr/bin/script", X_OK) != 0) GTEST_SKIP() << "needs script(1) for a terminal";
    TempDir dir;
    Simulator sim{dir.path()};
    make_file(dir.file("flat.img"), kDiskSize);
    ASSERT_EQ(sim.start({"--token", kToken, "--disk", "/vm/flat=" + dir.file("flat.img")}), "");
    const std::string server = "127.0.0.1:" + std::to_string(sim.port());
    const std::vector<std::vector<std::string>> cases = {
        {"read", "--size", "1M", "-o", "-"},
        {"read", "--size", "1M", "-o", "/dev/stdout"},
        {"diff", "--base-manifest", dir.file("base.man")},
        {"diff", "--base-manifest", dir.file("base.man"), "-o", "-"},
    };
    for (const std::vector<std::string>& c : cases) {
        SCOPED_TRACE(c[0] + " " + c.back());
        std::string command =
            "env QV_TOKEN=" + std::string(kToken) + " XDG_STATE_HOME=" + quoted(dir.file("state")) +
            " " + quoted(QV_DISK) + " " + c[0] + " --server " + server + " --disk /vm/flat";
        for (size_t i = 1; i < c.size(); ++i) command += " " + quoted(c[i]);
        const size_t accepted = count(sim.log(), ": accepted");
        const testcommon::RunResult r =
            testcommon::run_program("/usr/bin/script", {"-qec", command, "/dev/null"});
        EXPECT_EQ(r.exit_code, 2) << r.out << r.err;
        EXPECT_NE(r.out.find("qv-disk: standard output is a terminal; redirect it (> FILE or | "
                             "PROGRAM) or give -o FILE"),
                  std::string::npos)
            << r.out;
        EXPECT_EQ(count(sim.log(), ": accepted"), accepted);
        EXPECT_FALSE(testcommon::exists(dir.file("state")));
    }
    EXPECT_EQ(sim.stop(SIGTERM), 0) << sim.log();
}

}  // namespace
