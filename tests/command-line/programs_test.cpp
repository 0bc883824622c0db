// Every program but the diff tool, run as a child as a user runs it: the same version line,
// a help with value names, defaults and examples, usage errors with exit status 2 and the
// program's name on every line, ambiguous sizes refused; and the simulator refusing a flat
// image or a LUN file that is missing unless it is told to create it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ostream>
#include <string>
#include <vector>

#include "sim_harness.h"
#include "test_common.h"

namespace {

using testcommon::run_program;
using testcommon::RunResult;

struct Program {
    std::string name;
    std::string path;
    std::vector<std::string> required;  // the arguments a run cannot do without
    std::string help_of;                // the subcommand whose help shows the options
    bool sizes;                         // takes a size: --size-option 64MB is tried
    std::string size_option;
};

void PrintTo(const Program& p, std::ostream* out) { *out << p.name; }

std::vector<Program> programs() {
    return {
        {"qv-disk",
         QV_DISK,
         {"read", "--server", "127.0.0.1:1", "--disk", "/d", "-o", "/nonexistent/out", "--size",
          "1M"},
         "read",
         true,
         "--size"},
        {"hxa-simulator", HXA_SIMULATOR, {}, "", true, "--chunk-size"},
        {"zev-block-apply", ZEV_APPLY, {"/nonexistent/target"}, "", false, ""},
        {"zev-block-manifest",
         ZEV_MANIFEST,
         {"/nonexistent/image", "-o", "/nonexistent/out"},
         "",
         true,
         "--block-size"},
        {"zev-block-merge", ZEV_MERGE, {"/nonexistent/stream"}, "", false, ""},
    };
}

std::vector<std::string> with(std::vector<std::string> args, const std::vector<std::string>& more) {
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

// True when every line of `text` begins with `prefix`.
bool every_line_begins_with(const std::string& text, const std::string& prefix) {
    for (size_t at = 0; at < text.size();) {
        if (text.compare(at, prefix.size(), prefix) != 0) return false;
        const size_t end = text.find('\n', at);
        at = end == std::string::npos ? text.size() : end + 1;
    }
    return !text.empty();
}

class EveryProgram : public testing::TestWithParam<Program> {};

TEST_P(EveryProgram, PrintsTheProjectVersion) {
    const Program& p = GetParam();
    const RunResult r = run_program(p.path, {"--version"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, p.name + " " + PROJECT_VERSION_TEXT + "\n");
    EXPECT_EQ(r.err, "");
}

TEST_P(EveryProgram, HelpShowsValueNamesDefaultsAndExamples) {
    const Program& p = GetParam();
    const RunResult r =
        run_program(p.path, p.help_of.empty() ? std::vector<std::string>{"--help"}
                                              : std::vector<std::string>{p.help_of, "--help"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("Usage: " + p.name), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("(default: "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\nExamples:\n  " + p.name + " "), std::string::npos) << r.out;
    for (const char* noise : {"UINT", "TEXT", "INT in", "[b, kb", "REQUIRED", "Excludes:"})
        EXPECT_EQ(r.out.find(noise), std::string::npos) << noise << " in\n" << r.out;
    if (p.sizes) {
        EXPECT_NE(r.out.find(" SIZE "), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("KB, MB, GB and TB are refused"), std::string::npos) << r.out;
    }
}

TEST_P(EveryProgram, UnknownOptionIsAUsageError) {
    const Program& p = GetParam();
    const RunResult r = run_program(p.path, with(p.required, {"--no-such-option"}));
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(every_line_begins_with(r.err, p.name + ": ")) << r.err;
    EXPECT_NE(r.err.find("--no-such-option"), std::string::npos) << r.err;
}

TEST_P(EveryProgram, AmbiguousSizeIsAUsageErrorThatSaysWhatToWrite) {
    const Program& p = GetParam();
    if (!p.sizes) GTEST_SKIP() << p.name << " takes no size";
    const RunResult r = run_program(p.path, with(p.required, {p.size_option, "64MB"}));
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.err.substr(0, r.err.find('\n') + 1),
              p.name + ": " + p.size_option +
                  ": \"MB\" in 64MB is ambiguous; write 64M (67108864 bytes) or the byte count, "
                  "e.g. 64000000\n");
    EXPECT_TRUE(every_line_begins_with(r.err, p.name + ": ")) << r.err;
}

INSTANTIATE_TEST_SUITE_P(Programs, EveryProgram, testing::ValuesIn(programs()),
                         [](const testing::TestParamInfo<Program>& info) {
                             std::string name;
                             for (char c : info.param.name)
                                 if (c != '-') name += c;
                             return name;
                         });

// A file the simulator is to serve must exist, unless SIZE tells it to create the file.
TEST(SimulatorFiles, MissingImageOrLunFileIsRefusedAtStart) {
    simtest::TempDir dir;
    const std::string missing = dir.file("missing.img");
    const std::string wwn = simtest::wwn_hex(1);
    simtest::make_file(dir.file("a:b.img"), 4096);
    struct Case {
        std::vector<std::string> args;
        std::string message;  // the first line of standard error
    } cases[] = {
        {{"--disk", "/vm/d=" + missing},
         "hxa-simulator: --disk /vm/d=" + missing + ": " + missing +
             " does not exist; give its size to create it (--disk /vm/d=" + missing + ":SIZE)"},
        {{"--lun", wwn + "=" + missing},
         "hxa-simulator: --lun " + wwn + "=" + missing + ": " + missing +
             " does not exist; give its size to create it (--lun " + wwn + "=" + missing +
             ":SIZE)"},
        {{"--disk", "/vm/d=" + missing + ":64MB"},
         "hxa-simulator: --disk: \"MB\" in 64MB is ambiguous; write 64M (67108864 bytes) or the "
         "byte count, e.g. 64000000 (the text after the last ':' is the size; a file name with "
         "a ':' ends with one more ':')"},
        {{"--disk", "/vm/d=" + dir.file("a:b.img")},
         "hxa-simulator: --disk: 'b.img' is not a byte count: it does not start with a digit "
         "(the text after the last ':' is the size; a file name with a ':' ends with one more "
         "':')"},
        {{"--disk", "/vm/d=" + missing + ":0"}, "hxa-simulator: --disk: the size must not be 0"},
    };
    for (const Case& c : cases) {
        std::string err;
        EXPECT_EQ(simtest::run_simulator(c.args, err), 2) << c.args[1];
        EXPECT_EQ(err.substr(0, err.find('\n')), c.message);
        EXPECT_TRUE(every_line_begins_with(err, "hxa-simulator: ")) << err;
        EXPECT_FALSE(testcommon::exists(missing));
    }
}

TEST(SimulatorFiles, SizeCreatesOrExtendsTheFileSparse) {
    simtest::TempDir dir;
    const std::string created = dir.file("new.img"), grown = dir.file("a:b.img");
    simtest::make_file(grown, 4096);
    simtest::Simulator sim{dir.path()};
    ASSERT_EQ(sim.start({"--token", "t", "--disk", "/vm/new=" + created + ":3M", "--disk",
                         "/vm/grown=" + grown + ":", "--disk", "/vm/grown2=" + grown + ":8K"}),
              "");
    EXPECT_EQ(sim.stop(), 0) << sim.log();
    struct stat st;
    ASSERT_EQ(stat(created.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 3 << 20);
    EXPECT_LT(st.st_blocks * 512, st.st_size) << "created sparse";
    ASSERT_EQ(stat(grown.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 8192) << "a name with ':' ends with one more ':'";
}

}  // namespace
