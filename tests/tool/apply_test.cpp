// End-to-end tests of zev-block-apply: streams made by the real diff tool, applied by the real
// program to real files; exit status, standard error and the target's bytes are checked.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <lz4.h>
#include <poll.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "base64.h"
#include "block-manifest.h"
#include "child_process.h"
#include "tool_test_support.h"

namespace {

using namespace zev_test;
using namespace testcommon;

const std::string kApply = ZEV_APPLY_PATH;

RunResult run_apply(const std::vector<std::string>& args, const std::string& stream_path = "") {
    RunOptions options;
    int fd = -1;
    if (!stream_path.empty()) {
        fd = open(stream_path.c_str(), O_RDONLY | O_CLOEXEC);
        options.stdin_fd = fd;
    }
    RunResult r = run_program(kApply, args, options);
    if (fd >= 0) close(fd);
    return r;
}

// Runs the diff tool on two images and returns its stream.
std::string diff(const TempDir& dir, const std::string& a, const std::string& b,
                 uint64_t block_size) {
    write_file(dir.file("a.img"), a);
    write_file(dir.file("b.img"), b);
    const RunResult r = run_tool(
        {dir.file("a.img"), dir.file("b.img"), "--block-size", std::to_string(block_size)});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return r.out;
}

// ---------------------------------------------------------------------------------------------
// Round trip: diff A -> B, apply to a copy of A, get B

enum class Content { kRandom, kSparse, kEmpty };

struct RoundTripCase {
    const char* name;
    Content content;
    uint64_t size;
    uint64_t block_size;
    bool input_option;  // the stream through --input instead of standard input
};

std::ostream& operator<<(std::ostream& out, const RoundTripCase& c) { return out << c.name; }

class RoundTrip : public testing::TestWithParam<RoundTripCase> {};

TEST_P(RoundTrip, ApplyingTheStreamToACopyOfTheFirstImageGivesTheSecond) {
    const RoundTripCase& c = GetParam();
    TempDir dir;
    std::string a;
    std::string b;
    if (c.content == Content::kRandom) {
        a = pattern<std::string>(c.size, 1);
        b = a;
        // Every third block changes, the last one always.
        for (uint64_t off = 0; off < c.size; off += 3 * c.block_size) b[off] ^= 0x5A;
        b[c.size - 1] ^= 0x01;
        const std::string text = mixed_content(c.size / 4, 2);
        b.replace(c.size / 3, text.size(), text);
    } else if (c.content == Content::kSparse) {
        a.assign(c.size, '\0');
        b = a;
        b.replace(c.block_size + 7, 100, pattern<std::string>(100, 3));
        b.replace(c.size - 50, 50, std::string(50, 'z'));
    }
    const std::string stream = diff(dir, a, b, c.block_size);
    write_file(dir.file("stream"), stream);
    // The target starts as a sparse copy of A's size holding A's bytes.
    const std::string target = dir.file("target.img");
    ASSERT_EQ(truncate(dir.file("a.img").c_str(), static_cast<off_t>(c.size)), 0);
    write_file(target, a);
    const RunResult r = c.input_option ? run_apply({target, "--input", dir.file("stream")})
                                       : run_apply({target}, dir.file("stream"));
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    uint64_t records = 0, bytes = 0;
    for (const Record& record : parse_stream(stream)) {
        if (record.kind != Record::kChange) continue;
        records += 1;
        bytes += record.length;
    }
    EXPECT_EQ(mask_seconds(r.out), "applied " + std::to_string(records) + " change record" +
                                       (records == 1 ? "" : "s") + " (" + std::to_string(bytes) +
                                       " bytes) to " + target + " in T s\n");
    EXPECT_TRUE(read_file(target) == b) << "the target is not the second image";
}

INSTANTIATE_TEST_SUITE_P(
    Apply, RoundTrip,
    testing::Values(
        RoundTripCase{"RandomWithShorterLastBlock", Content::kRandom, (1 << 20) + 12345, 65536,
                      false},
        RoundTripCase{"RandomThroughInputOption", Content::kRandom, 300000, 65536, true},
        RoundTripCase{"SparseImages", Content::kSparse, 4 << 20, 65536, false},
        RoundTripCase{"EmptyImages", Content::kEmpty, 0, 65536, false},
        RoundTripCase{"OddBlockSize", Content::kRandom, 10007, 1000, false},
        RoundTripCase{"BlocksOfOneByte", Content::kRandom, 50, 1, false},
        RoundTripCase{"LinesLongerThanOneRead", Content::kRandom, 9 << 20, 4 << 20, false},
        RoundTripCase{"BlockLargerThanTheImage", Content::kRandom, 70000, 1 << 20, true}),
    [](const testing::TestParamInfo<RoundTripCase>& info) { return info.param.name; });

// ---------------------------------------------------------------------------------------------
// Refused and incomplete streams. The base stream: 20000-byte images in blocks of 4096, every
// block differing except block 2, so the lines are
//   1 change 0, 2 heartbeat 4096, 3 change 4096, 4 heartbeat 8192, 5 heartbeat 12288,
//   6 change 12288, 7 heartbeat 16384, 8 change 16384 (3616 bytes), 9 heartbeat 20000, 10 final.

using Lines = std::vector<std::string>;

std::string join(const Lines& lines) {
    std::string s;
    for (const std::string& l : lines) s += l + "\n";
    return s;
}

// A stream made from the base stream: its first `keep` lines, with `from` replaced by `to` in
// line `line` (when given), `drop` bytes cut off the end, and `tail` appended.
struct StreamCase {
    const char* name;
    size_t keep;
    size_t line;
    const char* from;
    const char* to;
    size_t drop;
    const char* tail;
    int status;
    const char* err;
    size_t applied_lines;  // lines whose blocks are in the target after the run
};

std::ostream& operator<<(std::ostream& out, const StreamCase& c) { return out << c.name; }

std::string make_stream(Lines lines, const StreamCase& c) {
    if (c.line != 0) {
        std::string& l = lines[c.line - 1];
        const size_t at = l.find(c.from);
        EXPECT_NE(at, std::string::npos) << c.from;
        if (at != std::string::npos) l.replace(at, strlen(c.from), c.to);
    }
    lines.resize(c.keep);
    std::string s = join(lines);
    return s.substr(0, s.size() - c.drop) + c.tail;
}

class BadStream : public testing::TestWithParam<std::tuple<StreamCase, bool>> {};

TEST_P(BadStream, RefusedWithItsLineAndTheTargetUntouchedByIt) {
    const StreamCase& c = std::get<0>(GetParam());
    const bool check_only = std::get<1>(GetParam());
    TempDir dir;
    const uint64_t size = 20000;
    const std::string a = pattern<std::string>(size, 11);
    std::string b = pattern<std::string>(size, 12);
    b.replace(8192, 4096, a, 8192, 4096);
    Lines lines;
    const std::string stream = diff(dir, a, b, 4096);
    for (size_t at = 0, end; (end = stream.find('\n', at)) != std::string::npos; at = end + 1) {
        lines.push_back(stream.substr(at, end - at));
    }
    ASSERT_EQ(lines.size(), 10u) << stream;

    // What the target must hold: A with the blocks of the lines before the refused one.
    std::string expected = a;
    for (const Record& r :
         parse_stream(join(Lines(lines.begin(), lines.begin() + c.applied_lines)))) {
        if (r.kind == Record::kChange && !check_only) {
            expected.replace(r.offset, r.length, decode_change_data(r.data, r.length));
        }
    }

    write_file(dir.file("stream"), make_stream(lines, c));
    const std::string target = dir.file("target.img");
    write_file(target, a);
    std::vector<std::string> args = {target};
    if (check_only) args.push_back("--check");
    RunResult r = run_apply(args, dir.file("stream"));
    EXPECT_EQ(r.exit_code, c.status);
    std::string err = said("zev-block-apply", c.err);
    // A check names what applying would give.
    const size_t phrase = err.find("the target is not");
    if (check_only && phrase != std::string::npos) {
        err.replace(phrase, 17, "the target would not be");
    }
    EXPECT_EQ(r.err, err);
    EXPECT_TRUE(read_file(target) == expected) << "the target holds other bytes than expected";
}

const char kForm[] = "line 6: not one of the three record forms of the diff stream\n";

// clang-format off
const StreamCase kStreams[] = {
    {"Valid", 10, 0, "", "", 0, "", 0, "", 10},
    {"FinalRecordStopsEarly", 7, 0, "", "", 0,
     "{\"offset\":16384,\"length\":0,\"data\":\"\",\"last\":true}\n", 3,
     "the diff stopped at offset 16384 of 20000 bytes: the target is not a complete copy\n", 7},
    {"CharactersOutsideBase64", 10, 6, "\"data\":\"", "\"data\":\"****", 0, "", 1,
     "line 6: data is not valid Base64\n", 5},
    {"WrongPadding", 10, 6, "\"}", "=\"}", 0, "", 1,
     "line 6: data is not Base64 with correct padding\n", 5},
    {"WrongLength", 10, 6, "\"length\":4096", "\"length\":4095", 0, "", 1,
     "line 6: data does not decode to 4095 bytes\n", 5},
    {"RecordBeyondTheEnd", 10, 6, "12288", "16000", 0, "", 1,
     "line 6: offset 16000 and length 4096 reach beyond the target size 20000\n", 5},
    {"KeysOutOfOrder", 10, 6, "\"offset\":12288,\"length\":4096",
     "\"length\":4096,\"offset\":12288", 0, "", 1, kForm, 5},
    {"BlankInsideARecord", 10, 6, ":12288", ": 12288", 0, "", 1, kForm, 5},
    {"LeadingZero", 10, 6, ":12288", ":012288", 0, "", 1, kForm, 5},
    {"ChangeGoesBack", 10, 6, "12288", "4096", 0, "", 1,
     "line 6: change record at offset 4096 starts before the end of the previous one at 8192\n", 5},
    {"ChangeOverlapsThePrevious", 10, 6, "12288", "8000", 0, "", 1,
     "line 6: change record at offset 8000 starts before the end of the previous one at 8192\n", 5},
    {"HeartbeatGoesBack", 10, 7, "16384", "4096", 0, "", 1,
     "line 7: offset 4096 goes back from the previous heartbeat at 12288\n", 6},
    {"StreamCutInsideALine", 6, 0, "", "", 1000, "", 1,
     "line 6: stream cut inside the line (no line break)\n", 5},
    {"StreamWithoutFinalRecord", 9, 0, "", "", 0, "", 1,
     "stream ended without its final record after line 9\n", 9},
    {"EmptyStream", 0, 0, "", "", 0, "", 1,
     "stream ended without its final record after line 0\n", 0},
    {"LineAfterTheFinalRecord", 10, 0, "", "", 0,
     "{\"offset\":20000,\"length\":0,\"data\":\"\",\"last\":false}\n", 1,
     "line 11: line after the final record\n", 10},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Apply, BadStream,
                         testing::Combine(testing::ValuesIn(kStreams), testing::Bool()),
                         [](const testing::TestParamInfo<std::tuple<StreamCase, bool>>& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) ? "Checked" : "Applied");
                         });

// ---------------------------------------------------------------------------------------------
// Command line, target and write failures

TEST(ApplyCommandLine, UsageErrorsExitWithTwoAndOpenFailuresWithOne) {
    TempDir dir;
    write_file(dir.file("t.img"), "abc");
    // A FIFO is refused by its type, before an open that would wait for a reader.
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    const struct {
        std::vector<std::string> args;
        int status;
        std::string err_start;
    } cases[] = {
        {{}, 2, "target is required\nrun 'zev-block-apply --help' for the options\n"},
        {{dir.file("t.img"), "--bogus"}, 2, "The following argument was not expected: --bogus\n"},
        {{dir.file("missing")}, 1, dir.file("missing") + ": No such file or directory\n"},
        {{dir.path()}, 1, dir.path() + ": Is a directory\n"},
        {{"/dev/null"}, 1, "/dev/null: Block device required\n"},
        {{dir.file("fifo")}, 1, dir.file("fifo") + ": Block device required\n"},
        {{dir.file("t.img"), "--input", dir.file("none")},
         1,
         dir.file("none") + ": No such file or directory\n"},
    };
    for (const auto& c : cases) {
        const RunResult r = run_apply(c.args);
        EXPECT_EQ(r.exit_code, c.status) << c.err_start;
        const std::string start = said("zev-block-apply", c.err_start);
        EXPECT_EQ(r.err.substr(0, start.size()), start);
    }
    const RunResult help = run_apply({"--help"});
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_NE(help.out.find("Usage: zev-block-apply [OPTIONS] target"), std::string::npos);
    const RunResult version = run_apply({"--version"});
    EXPECT_EQ(version.exit_code, 0);
    EXPECT_EQ(version.out.rfind("zev-block-apply ", 0), 0u) << version.out;
}

TEST(ApplyWriteFailure, RefusedWriteEndsWithOneAndNamesTheOffset) {
    // A file-size limit of 8192 bytes makes every write reaching beyond it fail with EFBIG,
    // a real write error inside a target that keeps its size.
    TempDir dir;
    const std::string a = pattern<std::string>(20000, 21);
    const std::string b = pattern<std::string>(20000, 22);
    write_file(dir.file("stream"), diff(dir, a, b, 4096));
    const std::string target = dir.file("target.img");
    write_file(target, a);
    const int stream_fd = open(dir.file("stream").c_str(), O_RDONLY | O_CLOEXEC);
    const std::string err_path = dir.file("stderr");
    zev_common::ChildOptions io;
    io.in = zev_common::Stream::from_fd(stream_fd);
    io.out = zev_common::Stream::null();
    io.err = zev_common::Stream::file(err_path);
    io.file_size = 8192;
    zev_common::ChildProcess child = zev_common::ChildProcess::start({kApply, target}, io);
    close(stream_fd);
    EXPECT_EQ(wait_status(child), "exit 1");
    EXPECT_EQ(read_file(err_path),
              "zev-block-apply: " + target + ": write at offset 8192 failed: File too large\n");
    EXPECT_TRUE(read_file(target) == b.substr(0, 8192) + a.substr(8192));
}

// ---------------------------------------------------------------------------------------------
// Block manifests: the target proven to be the stream's base before anything is written, and
// the image the stream leads to after the writes. Monday and Tuesday are 20000 bytes in blocks
// of 4096 (the manifests too), differing in the blocks at 0, 12288 and 16384; Sunday differs
// from Monday in the block at 4096. The manifests: monday.zbm, tuesday.zbm, damaged.zbm
// (Tuesday's with a flipped digest bit) and longer.zbm (of a 20001-byte image).

enum class Stream { kTuesday, kAltered, kStopsEarly };
enum class Result { kUntouched, kTuesday, kAltered, kUpTo16384 };

struct ManifestCase {
    const char* name;
    bool sunday;  // the target starts as Sunday instead of Monday
    Stream stream;
    std::vector<std::string> args;  // after the target; {d} stands for the test's folder
    int status;
    const char* err;  // {d} as in args; "*" at the end: only a prefix
    Result target;
    const char* out;  // {d} as in args, the time as " in T s"
};

std::ostream& operator<<(std::ostream& out, const ManifestCase& c) { return out << c.name; }

std::string in_dir(std::string s, const TempDir& dir) {
    for (size_t at; (at = s.find("{d}")) != std::string::npos;) s.replace(at, 3, dir.path());
    return s;
}

void save_manifest(const std::string& image, const std::string& path) {
    const int fd = open(image.c_str(), O_RDONLY | O_CLOEXEC);
    zev::Manifest manifest;
    std::string error;
    EXPECT_TRUE(zev::hash_image(fd, image, 4096, 1, manifest, error) && manifest.save(path, error))
        << error;
    close(fd);
}

class ManifestCheck : public testing::TestWithParam<ManifestCase> {};

TEST_P(ManifestCheck, TargetCheckedBeforeAndAfterTheWrites) {
    const ManifestCase& c = GetParam();
    TempDir dir;
    const std::string monday = pattern<std::string>(20000, 31);
    std::string tuesday = monday;
    for (size_t off : {0, 12288, 19000}) tuesday[off] ^= 0x33;
    std::string sunday = monday;
    sunday[5000] ^= 0x01;
    std::string altered = tuesday;
    altered[12300] ^= 0x40;
    std::string stream = diff(dir, monday, tuesday, 4096);  // leaves a.img and b.img
    write_file(dir.file("longer.img"), monday + "x");
    save_manifest(dir.file("a.img"), dir.file("monday.zbm"));
    save_manifest(dir.file("b.img"), dir.file("tuesday.zbm"));
    save_manifest(dir.file("longer.img"), dir.file("longer.zbm"));
    std::string damaged = read_file(dir.file("tuesday.zbm"));
    damaged[40] ^= 0x01;  // inside the first block digest
    write_file(dir.file("damaged.zbm"), damaged);

    if (c.stream == Stream::kAltered) {
        // Well-formed: the altered block, LZ4-compressed and in Base64, with its true length.
        const std::string record = "{\"offset\":12288,\"length\":4096,\"data\":\"";
        const size_t data = stream.find(record) + record.size();
        std::string lz4(LZ4_compressBound(4096), '\0');
        lz4.resize(LZ4_compress_default(&altered[12288], &lz4[0], 4096, lz4.size()));
        std::string text(base64_encoded_length(lz4.size()), '\0');
        base64_encode_to(reinterpret_cast<const unsigned char*>(lz4.data()), lz4.size(), &text[0]);
        stream.replace(data, stream.find('"', data) - data, text);
    } else if (c.stream == Stream::kStopsEarly) {
        stream = stream.substr(0, stream.find("{\"offset\":16384,")) +
                 "{\"offset\":16384,\"length\":0,\"data\":\"\",\"last\":true}\n";
    }
    write_file(dir.file("stream"), stream);
    const std::string target = dir.file("target.img");
    const std::string start = c.sunday ? sunday : monday;
    write_file(target, start);
    struct stat before, after;
    ASSERT_EQ(stat(target.c_str(), &before), 0);
    std::vector<std::string> args = {target};
    for (const std::string& arg : c.args) args.push_back(in_dir(arg, dir));
    RunResult r = run_apply(args, dir.file("stream"));

    EXPECT_EQ(r.exit_code, c.status);
    std::string err = said("zev-block-apply", in_dir(c.err, dir));
    if (!err.empty() && err.back() == '*') {
        err.pop_back();
        r.err.resize(std::min(r.err.size(), err.size()));
    }
    EXPECT_EQ(r.err, err);
    EXPECT_EQ(mask_seconds(r.out), in_dir(c.out, dir));
    const std::string expected[] = {start, tuesday, altered,
                                    tuesday.substr(0, 16384) + monday.substr(16384)};
    EXPECT_TRUE(read_file(target) == expected[int(c.target)]) << "the target holds other bytes";
    ASSERT_EQ(stat(target.c_str(), &after), 0);
    if (c.target == Result::kUntouched) {  // not written at all, not even with the same bytes
        EXPECT_TRUE(after.st_mtim.tv_sec == before.st_mtim.tv_sec &&
                    after.st_mtim.tv_nsec == before.st_mtim.tv_nsec);
    }
}

const std::string kBase = "--base-manifest", kResult = "--result-manifest";

// clang-format off
const ManifestCase kManifestCases[] = {
    {"BothChecksPass", false, Stream::kTuesday,
     {kBase, "{d}/monday.zbm", kResult, "{d}/tuesday.zbm"}, 0, "", Result::kTuesday,
     "applied 3 change records (11808 bytes) to {d}/target.img in T s; base and result manifests "
     "match\n"},
    {"BaseCheckPasses", false, Stream::kTuesday, {kBase, "{d}/monday.zbm"}, 0, "",
     Result::kTuesday,
     "applied 3 change records (11808 bytes) to {d}/target.img in T s; base manifest matches\n"},
    {"ResultCheckPasses", false, Stream::kTuesday, {kResult, "{d}/tuesday.zbm"}, 0, "",
     Result::kTuesday,
     "applied 3 change records (11808 bytes) to {d}/target.img in T s; result manifest matches\n"},
    {"BaseCheckPassesWithCheck", false, Stream::kTuesday, {"--check", kBase, "{d}/monday.zbm"}, 0,
     "", Result::kUntouched,
     "checked 3 change records (11808 bytes) for {d}/target.img in T s: valid and complete, "
     "nothing written; base manifest matches\n"},
    {"WrongBaseRefused", true, Stream::kTuesday,
     {kBase, "{d}/monday.zbm", kResult, "{d}/tuesday.zbm"}, 1,
     "{d}/target.img: block at offset 4096 (4096 bytes) differs\n"
     "{d}/target.img: not the base this stream was made from (base manifest {d}/monday.zbm): "
     "nothing was written\n", Result::kUntouched, ""},
    {"WrongBaseRefusedByCheck", true, Stream::kTuesday, {"--check", kBase, "{d}/monday.zbm"}, 1,
     "{d}/target.img: block at offset 4096 (4096 bytes) differs\n"
     "{d}/target.img: not the base this stream was made from (base manifest {d}/monday.zbm): "
     "nothing was written\n", Result::kUntouched, ""},
    {"AlteredBlockCaughtAfterTheWrites", false, Stream::kAltered,
     {kBase, "{d}/monday.zbm", kResult, "{d}/tuesday.zbm"}, 1,
     "{d}/target.img: block at offset 12288 (4096 bytes) differs\n"
     "{d}/target.img: the result does not match the manifest {d}/tuesday.zbm\n", Result::kAltered,
     ""},
    {"DamagedResultManifest", false, Stream::kTuesday, {kResult, "{d}/damaged.zbm"}, 1,
     "{d}/damaged.zbm: damaged*", Result::kUntouched, ""},
    {"ResultManifestOfAnotherSize", false, Stream::kTuesday,
     {kBase, "{d}/monday.zbm", kResult, "{d}/longer.zbm"}, 1,
     "{d}/target.img: size 20000 bytes, the manifest describes 20001 bytes\n"
     "{d}/target.img: the result manifest {d}/longer.zbm describes an image of another size: "
     "nothing was written\n", Result::kUntouched, ""},
    {"IncompleteStreamNotChecked", false, Stream::kStopsEarly, {kResult, "{d}/tuesday.zbm"}, 3,
     "the diff stopped at offset 16384 of 20000 bytes: the target is not a complete copy\n"
     "{d}/target.img: not checked against the result manifest {d}/tuesday.zbm: the stream is "
     "incomplete\n", Result::kUpTo16384, ""},
    {"ResultWithCheckRefused", false, Stream::kTuesday, {"--check", kResult, "{d}/tuesday.zbm"},
     2, "--check excludes --result-manifest\nrun 'zev-block-apply --help' for the options\n",
     Result::kUntouched, ""},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Apply, ManifestCheck, testing::ValuesIn(kManifestCases),
                         [](const testing::TestParamInfo<ManifestCase>& info) {
                             return info.param.name;
                         });

// ---------------------------------------------------------------------------------------------
// The progress line: drawn on a terminal once a run has lasted a second, removed before the
// summary; never written when standard error is not a terminal. Two runs wait on streams held
// open, one under script(1) with a pseudo-terminal and one with standard error in a pipe,
// started first: once the terminal shows its line, both have run for over a second, and both
// streams are let through.

// Reads what `fd` holds until `wanted` has appeared (or, with an empty `wanted`, until the end)
// or 60 seconds have passed, adding to `text`.
void read_until(int fd, const std::string& wanted, std::string* text) {
    for (int polls = 0; polls < 600; ++polls) {
        if (!wanted.empty() && text->find(wanted) != std::string::npos) return;
        pollfd ready = {fd, POLLIN, 0};
        if (poll(&ready, 1, 100) <= 0) continue;
        char buffer[4096];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) return;
        text->append(buffer, static_cast<size_t>(n));
    }
}

TEST(ApplyProgress, ShownOnATerminalAfterASecondAndNeverElsewhere) {
    const std::string script = "/usr/bin/script";  // util-linux, in every Debian system
    if (access(script.c_str(), X_OK) != 0) GTEST_SKIP() << script << " is not installed";
    TempDir dir;
    const std::string a = pattern<std::string>(300000, 41);
    std::string b = a;
    b[200000] ^= 0x01;
    const std::string stream = diff(dir, a, b, 65536);
    const size_t held = stream.find('\n') + 1;  // the first line goes through at once
    std::vector<zev_common::ChildProcess> runs;
    std::vector<int> writers;
    for (const std::string name : {"pipe", "terminal"}) {
        write_file(dir.file(name + ".img"), a);
        ASSERT_EQ(mkfifo(dir.file(name + ".fifo").c_str(), 0600), 0);
        const std::vector<std::string> apply = {kApply, dir.file(name + ".img"), "--input",
                                                dir.file(name + ".fifo")};
        zev_common::ChildOptions io;
        io.out = zev_common::Stream::pipe();
        io.err = zev_common::Stream::pipe();
        runs.push_back(zev_common::ChildProcess::start(
            name == "pipe" ? apply
                           : std::vector<std::string>{script, "-qec",
                                                      apply[0] + " " + apply[1] + " " + apply[2] +
                                                          " " + apply[3],
                                                      "/dev/null"},
            io));
        ASSERT_TRUE(runs.back().running()) << runs.back().error();
        // Opened for reading too, so that the open never waits for a run that did not start.
        writers.push_back(open(dir.file(name + ".fifo").c_str(), O_RDWR | O_CLOEXEC));
        ASSERT_GE(writers.back(), 0);
        ASSERT_EQ(write(writers.back(), stream.data(), held), static_cast<ssize_t>(held));
    }
    std::string terminal;  // script(1) gives the terminal's bytes on its standard output
    read_until(runs[1].out_fd(), "\rapplying: ", &terminal);
    ASSERT_NE(terminal.find("\rapplying: "), std::string::npos) << terminal;
    for (int fd : writers) {
        const std::string rest = stream.substr(held);
        EXPECT_EQ(write(fd, rest.data(), rest.size()), static_cast<ssize_t>(rest.size()));
        close(fd);
    }
    read_until(runs[1].out_fd(), "", &terminal);
    std::string out, err;
    read_until(runs[0].out_fd(), "", &out);
    read_until(runs[0].err_fd(), "", &err);
    EXPECT_EQ(wait_status(runs[0]), "exit 0");
    EXPECT_EQ(wait_status(runs[1]), "exit 0");

    // On the terminal: lines such as "applying: 0.1 MiB of 0.3 MiB   22%", redrawn in place,
    // then erased before the summary (the terminal ends lines with "\r\n").
    EXPECT_EQ(terminal.compare(0, 12, "\rapplying: 0"), 0) << terminal;
    EXPECT_NE(terminal.find(" MiB of 0.3 MiB  "), std::string::npos) << terminal;
    const std::string summary =
        "applied 1 change record (65536 bytes) to " + dir.file("terminal.img") + " in T s\r\n";
    const size_t erased = terminal.rfind("\033[K\r\033[K");
    ASSERT_NE(erased, std::string::npos) << terminal;
    EXPECT_EQ(mask_seconds(terminal.substr(erased + 7)), summary);

    // Elsewhere: the summary alone, and nothing on standard error.
    EXPECT_EQ(err, "");
    EXPECT_EQ(mask_seconds(out),
              "applied 1 change record (65536 bytes) to " + dir.file("pipe.img") + " in T s\n");
    EXPECT_TRUE(read_file(dir.file("pipe.img")) == b && read_file(dir.file("terminal.img")) == b);
}

}  // namespace
