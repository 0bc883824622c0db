// Mistakes on qv-disk's command line, run as a user makes them against the real simulator:
// each is refused with its exit status and message before any connection, and leaves no
// file behind. One run that is right shows the checks let it through.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
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
    std::string err;
};

// qv-disk with `args` and QV_TOKEN=token, its journals and run locks in `dir`.
Outcome run_qv(const std::string& dir, const std::vector<std::string>& args,
               const std::string& token) {
    std::vector<std::string> argv = {QV_DISK};
    argv.insert(argv.end(), args.begin(), args.end());
    zev_common::ChildOptions options;
    options.env = {"QV_TOKEN=" + token, "XDG_STATE_HOME=" + dir + "/state"};
    options.in = zev_common::Stream::inherit();
    options.out = zev_common::Stream::null();
    options.err = zev_common::Stream::file(dir + "/qv.err");
    zev_common::ChildProcess qv = zev_common::ChildProcess::start(argv, options);
    Outcome r;
    zev_common::ChildStatus status;
    if (qv.wait(status)) r.status = status.exit_code;
    r.err = testcommon::read_file(dir + "/qv.err");
    return r;
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
         "allowed)"},
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
            args.insert(args.end(), {"-o", out});
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

}  // namespace
