// End-to-end tests of zev-block-diff-tool: the real binary runs as a child process on real
// files, pipes, FIFOs and loop devices; standard output, standard error, the log file and the
// exit status are checked exactly.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <lz4.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "tool_test_support.h"

namespace {

using testcommon::LoopDevice;
using testcommon::pattern;
using testcommon::read_file;
using testcommon::run_program;
using testcommon::RunOptions;
using testcommon::RunResult;
using testcommon::TempDir;
using testcommon::write_file;
using zev_test::decode_change_data;
using zev_test::mixed_content;
using zev_test::parse_stream;
using zev_test::Record;
using zev_test::run_tool;
using zev_test::tool_path;

std::string final_record(uint64_t offset) {
    return "{\"offset\":" + std::to_string(offset) + ",\"length\":0,\"data\":\"\",\"last\":true}\n";
}

std::string heartbeat_record(uint64_t offset) {
    return "{\"offset\":" + std::to_string(offset) +
           ",\"length\":0,\"data\":\"\",\"last\":false}\n";
}

// A run that must fail before the block loop: exit status 1, nothing on standard output.
void expect_refused(const std::vector<std::string>& args, const std::string& err,
                    const RunOptions& options = RunOptions()) {
    const RunResult r = run_tool(args, options);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "") << "standard output must stay empty";
    EXPECT_EQ(r.err, err);
}

// What the stream must hold, computed from the stated rules: the interval is size / 100 (or 1
// below 100 bytes), a heartbeat follows a block when the bytes processed reach the threshold,
// which then moves on by one interval. The loop stops before `stop_block` (a failed read).
struct Expected {
    Record::Kind kind;
    uint64_t offset;
    uint64_t length;
};

std::vector<Expected> model_stream(uint64_t size, uint64_t block_size,
                                   const std::vector<bool>& differs,
                                   uint64_t stop_block = UINT64_MAX) {
    std::vector<Expected> e;
    const uint64_t interval = size >= 100 ? size / 100 : 1;
    uint64_t threshold = interval;
    uint64_t processed = 0;
    for (uint64_t i = 0; i * block_size < size && i < stop_block; ++i) {
        const uint64_t length = std::min(block_size, size - i * block_size);
        if (i < differs.size() && differs[i])
            e.push_back({Record::kChange, i * block_size, length});
        processed += length;
        if (processed >= threshold) {
            e.push_back({Record::kHeartbeat, processed, 0});
            threshold += interval;
        }
    }
    e.push_back({Record::kFinal, processed, 0});
    return e;
}

const char* kind_name(Record::Kind k) {
    return k == Record::kChange ? "change" : k == Record::kHeartbeat ? "heartbeat" : "final";
}

// Checks the whole stream against the model and decodes every change record back to the
// second file's bytes.
void check_stream(const std::string& out, const std::string& second, uint64_t block_size,
                  const std::vector<bool>& differs, uint64_t stop_block = UINT64_MAX) {
    const std::vector<Record> records = parse_stream(out);
    const std::vector<Expected> expected =
        model_stream(second.size(), block_size, differs, stop_block);
    ASSERT_EQ(records.size(), expected.size())
        << "size " << second.size() << " block " << block_size;
    for (size_t i = 0; i < records.size(); ++i) {
        SCOPED_TRACE("record " + std::to_string(i));
        ASSERT_EQ(kind_name(records[i].kind), std::string(kind_name(expected[i].kind)));
        ASSERT_EQ(records[i].offset, expected[i].offset);
        ASSERT_EQ(records[i].length, expected[i].length);
        if (records[i].kind == Record::kChange) {
            const std::string block = decode_change_data(records[i].data, records[i].length);
            ASSERT_TRUE(block == second.substr(records[i].offset, records[i].length))
                << "change record at " << records[i].offset
                << " does not hold the second file's block";
        }
    }
}

std::vector<bool> differing_blocks(const std::string& a, const std::string& b,
                                   uint64_t block_size) {
    std::vector<bool> d;
    for (uint64_t off = 0; off < a.size(); off += block_size) {
        d.push_back(a.compare(off, block_size, b, off, block_size) != 0);
    }
    return d;
}

struct Pair {
    std::string first;
    std::string second;
};

Pair make_pair_files(const TempDir& dir, const std::string& a, const std::string& b) {
    Pair p{dir.file("first.img"), dir.file("second.img")};
    write_file(p.first, a);
    write_file(p.second, b);
    return p;
}

// ---------------------------------------------------------------------------------------------
// The shipped binary

TEST(Deliverable, ReleaseBinaryIsStaticWithoutProgramInterpreter) {
#if ZEV_TOOL_SANITIZED
    GTEST_SKIP() << "the sanitizer build links the tool dynamically by design";
#else
    const RunResult r = run_program("/usr/bin/readelf", {"-l", "-d", tool_path()});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    ASSERT_NE(r.out.find("Program Headers"), std::string::npos);
    EXPECT_EQ(r.out.find("INTERP"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Requesting program interpreter"), std::string::npos);
    EXPECT_EQ(r.out.find("(NEEDED)"), std::string::npos) << "no shared library may be needed";
#endif
}

// ---------------------------------------------------------------------------------------------
// Command line

TEST(CommandLine, FewerThanTwoPathsPrintsUsage) {
    const std::string usage =
        "Usage: " + tool_path() + " <file1> <file2> [--block-size <bytes>] [--log-file <path>]\n";
    expect_refused({}, usage);
    expect_refused({"only-one"}, usage);
}

TEST(CommandLine, UnknownOptionsAndOptionsWithoutValue) {
    TempDir dir;
    const Pair p = make_pair_files(dir, "abc", "abd");
    expect_refused({p.first, p.second, "--bogus", "1"}, "Unknown argument: --bogus\n");
    expect_refused({p.first, p.second, "--bogus"}, "Unknown argument: --bogus\n");
    expect_refused({p.first, p.second, "--block-size"}, "Unknown argument: --block-size\n");
    expect_refused({p.first, p.second, "--log-file"}, "Unknown argument: --log-file\n");
    expect_refused({p.first, p.second, "--block-size", "16", "--log-file"},
                   "Unknown argument: --log-file\n");
    expect_refused({p.first, p.second, "-block-size", "16"}, "Unknown argument: -block-size\n");
    expect_refused({p.first, p.second, "16"}, "Unknown argument: 16\n");
    // The first bad pair ends the walk: later pairs are not looked at.
    expect_refused({p.first, p.second, "--bogus", "x", "--block-size", "0"},
                   "Unknown argument: --bogus\n");
    expect_refused({p.first, p.second, "--block-size", "0", "--bogus"}, "Invalid block size: 0\n");
    // Arguments are checked before any file is opened.
    expect_refused({dir.file("missing-1"), dir.file("missing-2"), "--nope", "1"},
                   "Unknown argument: --nope\n");
}

TEST(CommandLine, InvalidBlockSizes) {
    TempDir dir;
    const Pair p = make_pair_files(dir, "abc", "abd");
    for (const char* value : {"0", "4k", "", " ", "-0", "16 ", "0x10", "1.5", "--block-size",
                              "2113929217", "4294967296", "-1", "99999999999999999999999"}) {
        expect_refused({p.first, p.second, "--block-size", value},
                       std::string("Invalid block size: ") + value + "\n");
    }
}

TEST(CommandLine, AcceptedBlockSizesAndLastOccurrenceWins) {
    TempDir dir;
    const std::string a = mixed_content(40, 1);
    std::string b = a;
    b[0] ^= 1;
    b[39] ^= 1;
    const Pair p = make_pair_files(dir, a, b);
    // Leading blanks, a plus sign and leading zeros are accepted by the decimal parse.
    for (const char* value : {"20", " 20", "+20", "0020", "\t20"}) {
        const RunResult r = run_tool({p.first, p.second, "--block-size", value});
        EXPECT_EQ(r.exit_code, 0) << value;
        EXPECT_EQ(r.err, "");
        check_stream(r.out, b, 20, {true, true});
    }
    RunResult r = run_tool({p.first, p.second, "--block-size", "10", "--block-size", "20"});
    check_stream(r.out, b, 20, {true, true});
    r = run_tool({p.first, p.second, "--block-size", "20", "--log-file", dir.file("x.log"),
                  "--block-size", "7"});
    check_stream(r.out, b, 7, differing_blocks(a, b, 7));
    // The largest block LZ4 takes in one call is accepted (one block holding the whole file).
    const Pair same = make_pair_files(dir, a, a);
    r = run_tool({same.first, same.second, "--block-size", "2113929216"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, heartbeat_record(40) + final_record(40));
}

TEST(CommandLine, OptionValueIsTakenVerbatimEvenWithTwoHyphens) {
    TempDir dir;
    const Pair p = make_pair_files(dir, "same", "same");
    RunOptions in_dir;
    in_dir.cwd = dir.path();
    const RunResult r = run_tool({p.first, p.second, "--log-file", "--block-size"}, in_dir);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    const std::string log = read_file(dir.file("--block-size"));
    EXPECT_NE(log.find("[--block-size 65536] [--log-file --block-size]"), std::string::npos) << log;
}

// ---------------------------------------------------------------------------------------------
// Opening files and sizes

TEST(OpenFailures, MissingFilesAreReportedWithThePath) {
    TempDir dir;
    const Pair p = make_pair_files(dir, "abc", "abc");
    const std::string missing = dir.file("missing.img");
    expect_refused({missing, p.second}, missing + ": No such file or directory\n");
    expect_refused({p.first, missing}, missing + ": No such file or directory\n");
    // The second file is not opened when the first one fails: only one message.
    expect_refused({missing, missing + "2"}, missing + ": No such file or directory\n");
    // Also with a log: the log is opened first and closed on the way out.
    expect_refused({p.first, missing, "--log-file", dir.file("open.log")},
                   missing + ": No such file or directory\n");
    EXPECT_NE(read_file(dir.file("open.log")).find("Running ZEV diff tool"), std::string::npos);
}

TEST(OpenFailures, FifoSizeCannotBeFoundBySeeking) {
    TempDir dir;
    const Pair p = make_pair_files(dir, "abc", "abc");
    const std::string fifo = dir.file("stream.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // Holding the FIFO open for reading and writing lets the tool's read-only open return.
    const int holder = open(fifo.c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(holder, 0);
    expect_refused({fifo, p.second}, fifo + ": Illegal seek\n");
    expect_refused({p.first, fifo}, fifo + ": Illegal seek\n");
    close(holder);
}

TEST(OpenFailures, PipeOnStandardInputCannotBeSeeked) {
    TempDir dir;
    const Pair p = make_pair_files(dir, "abc", "abc");
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], "abc", 3), 3);
    RunOptions options;
    options.stdin_fd = fds[0];
    expect_refused({p.first, "/dev/stdin"}, "/dev/stdin: Illegal seek\n", options);
    close(fds[0]);
    close(fds[1]);
}

// A log file that is one of the images, by any name, is refused before anything is
// appended: the images stay as they were.
TEST(OpenFailures, LogFileThatIsAnInputIsRefused) {
    TempDir dir;
    const Pair p = make_pair_files(dir, std::string(5000, 'a'), std::string(5000, 'b'));
    ASSERT_EQ(symlink(p.first.c_str(), dir.file("link.log").c_str()), 0);
    ASSERT_EQ(link(p.second.c_str(), dir.file("hard.log").c_str()), 0);
    for (const std::string& log : {p.first, p.second, dir.file("link.log"), dir.file("hard.log")}) {
        expect_refused({p.first, p.second, "--log-file", log},
                       "--log-file " + log +
                           " is one of the files to compare; choose another "
                           "log file\n");
        EXPECT_TRUE(read_file(p.first) == std::string(5000, 'a')) << log;
        EXPECT_TRUE(read_file(p.second) == std::string(5000, 'b')) << log;
    }
    // An image that cannot be opened for appending is still recognised, by its name, rather
    // than taken for an unusable log (root opens it anyway, so the case is for other users).
    if (geteuid() != 0) {
        ASSERT_EQ(chmod(p.first.c_str(), 0444), 0);
        expect_refused(
            {p.first, p.second, "--log-file", p.first},
            "--log-file " + p.first + " is one of the files to compare; choose another log file\n");
    }
}

TEST(OpenFailures, SizesDiffer) {
    TempDir dir;
    Pair p = make_pair_files(dir, std::string(100, 'a'), std::string(101, 'a'));
    expect_refused({p.first, p.second}, "Files differ in size: 100 vs 101\n");
    expect_refused({p.second, p.first}, "Files differ in size: 101 vs 100\n");
    p = make_pair_files(dir, "", "x");
    expect_refused({p.first, p.second, "--log-file", dir.file("l.log")},
                   "Files differ in size: 0 vs 1\n");
}

// ---------------------------------------------------------------------------------------------
// Streams

TEST(Stream, TwoEmptyFiles) {
    TempDir dir;
    const Pair p = make_pair_files(dir, "", "");
    const std::string log = dir.file("empty.log");
    const RunResult r = run_tool({p.first, p.second, "--log-file", log});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, final_record(0));
    EXPECT_NE(read_file(log).find("] Initialized heartbeat interval: every 1 bytes (0.01 of 0)\n"),
              std::string::npos);
}

TEST(Stream, IdenticalFilesGiveOnlyHeartbeatsAndTheFinalRecord) {
    TempDir dir;
    const std::string a = mixed_content(150000, 3);
    const Pair p = make_pair_files(dir, a, a);
    const RunResult r = run_tool({p.first, p.second});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    // 65536, 65536 and 18928 bytes; the interval is 1500.
    EXPECT_EQ(r.out, heartbeat_record(65536) + heartbeat_record(131072) + heartbeat_record(150000) +
                         final_record(150000));
}

TEST(Stream, ShorterLastBlockThatDiffers) {
    TempDir dir;
    const std::string a = mixed_content(150000, 4);
    std::string b = a;
    b[149999] ^= 0x55;
    const Pair p = make_pair_files(dir, a, b);
    const RunResult r = run_tool({p.first, p.second});
    EXPECT_EQ(r.exit_code, 0);
    const std::vector<Record> records = parse_stream(r.out);
    ASSERT_EQ(records.size(), 5u);
    EXPECT_EQ(records[2].kind, Record::kChange);
    EXPECT_EQ(records[2].offset, 131072u);
    EXPECT_EQ(records[2].length, 18928u);
    EXPECT_TRUE(decode_change_data(records[2].data, 18928) == b.substr(131072));
    check_stream(r.out, b, 65536, {false, false, true});
}

TEST(Stream, FiftyBytesInBlocksOfTen) {
    TempDir dir;
    const Pair p = make_pair_files(dir, std::string(50, 'z'), std::string(50, 'z'));
    const RunResult r = run_tool({p.first, p.second, "--block-size", "10"});
    EXPECT_EQ(r.out, heartbeat_record(10) + heartbeat_record(20) + heartbeat_record(30) +
                         heartbeat_record(40) + heartbeat_record(50) + final_record(50));
}

TEST(Stream, BlockLargerThanTheFile) {
    TempDir dir;
    const std::string a = mixed_content(5000, 5);
    const std::string b = mixed_content(5000, 6);
    const Pair p = make_pair_files(dir, a, b);
    const RunResult r = run_tool({p.first, p.second, "--block-size", "1000000"});
    EXPECT_EQ(r.exit_code, 0);
    check_stream(r.out, b, 1000000, {true});
}

TEST(Stream, EveryChangeRecordDecodesToTheSecondFilesBlock) {
    // Mixed content (zero runs, text, random bytes), odd and even block sizes, sizes that are and
    // are not multiples of the block size, some blocks changed and some rewritten entirely.
    TempDir dir;
    const size_t sizes[] = {1, 777, 65536, 200003, 1048576};
    const uint64_t block_sizes[] = {1, 3, 7, 1000, 4097, 65535, 65536, 65537, 100000};
    uint64_t seed = 100;
    for (size_t size : sizes) {
        const std::string a = mixed_content(size, ++seed);
        std::string b = a;
        const std::string other = mixed_content(size, ++seed);
        // Change bytes at scattered places, and overwrite a stretch with other content.
        for (size_t pos = size / 3; pos < size; pos += 1 + size / 7)
            b[pos] = static_cast<char>(~b[pos]);
        b.replace(size / 2, size / 5, other, size / 2, size / 5);
        const Pair p = make_pair_files(dir, a, b);
        for (uint64_t bs : block_sizes) {
            if (size > 100000 && bs < 100) continue;  // keep the run short
            SCOPED_TRACE("size " + std::to_string(size) + " block size " + std::to_string(bs));
            const RunResult r = run_tool({p.first, p.second, "--block-size", std::to_string(bs)});
            ASSERT_EQ(r.exit_code, 0);
            ASSERT_EQ(r.err, "");
            check_stream(r.out, b, bs, differing_blocks(a, b, bs));
        }
    }
}

TEST(Stream, IncompressibleAndAllZeroBlocks) {
    TempDir dir;
    const std::string a(300000, '\0');
    const std::string b = pattern<std::string>(150000, 9) + std::string(150000, '\x01');
    const Pair p = make_pair_files(dir, a, b);
    const RunResult r = run_tool({p.first, p.second});
    EXPECT_EQ(r.exit_code, 0);
    check_stream(r.out, b, 65536, differing_blocks(a, b, 65536));
    // And the other way round: the emitted blocks are the zeros of the second file.
    const RunResult back = run_tool({p.second, p.first});
    check_stream(back.out, a, 65536, differing_blocks(b, a, 65536));
}

// ---------------------------------------------------------------------------------------------
// Heartbeats

// Stated consequences of the heartbeat rule, checked on the parsed stream on their own.
void check_heartbeat_consequences(const std::vector<Record>& records, uint64_t size, uint64_t bs) {
    const uint64_t interval = size >= 100 ? size / 100 : 1;
    std::vector<uint64_t> beats;
    for (const Record& r : records) {
        if (r.kind == Record::kHeartbeat) beats.push_back(r.offset);
    }
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.back().kind, Record::kFinal);
    EXPECT_EQ(records.back().offset, size);
    if (size > 0 && bs <= interval) {
        EXPECT_EQ(beats.size(), size / interval);
        for (size_t k = 0; k < beats.size(); ++k) {
            // The k-th heartbeat follows the block at which the count first reached (k+1) *
            // interval.
            EXPECT_GE(beats[k], (k + 1) * interval);
            EXPECT_LT(beats[k] - std::min(bs, beats[k]), (k + 1) * interval);
        }
    }
    if (bs >= interval) {
        // Every full-length block is followed by a heartbeat.
        for (uint64_t end = bs; end <= size; end += bs) {
            EXPECT_TRUE(std::find(beats.begin(), beats.end(), end) != beats.end()) << end;
        }
    }
    // A heartbeat written after the last block carries the file size.
    if (size > 0 && !beats.empty() && beats.back() > (size - 1) / bs * bs) {
        EXPECT_EQ(beats.back(), size);
    }
}

TEST(Heartbeat, MatchesTheModelForManySizesAndBlockSizes) {
    TempDir dir;
    std::vector<std::pair<uint64_t, uint64_t>> cases = {
        {150000, 65536}, {50, 10},         {0, 65536},     {1, 1},          {99, 7},
        {100, 1},        {100, 100},       {101, 1},       {199, 2},        {1000, 3},
        {12345, 100},    {65536, 65536},   {65537, 65536}, {1048576, 4096}, {1048576, 1000},
        {999999, 65536}, {3000000, 65536}, {10000, 10001}, {250, 3},        {5000, 49},
        {5000, 50},      {5000, 51},       {5100, 51},     {131072, 1310},  {131072, 1311},
        {20000, 199},    {20000, 200},     {20000, 201},   {7, 100}};
    uint64_t x = 12345;
    for (int i = 0; i < 20; ++i) {  // and pseudo-random pairs
        x = x * 6364136223846793005ull + 1442695040888963407ull;
        const uint64_t size = (x >> 33) % 2000000;
        const uint64_t bs = 1 + (x >> 13) % 70000 + (i % 3 == 0 ? 0 : 1000);
        cases.push_back({size, bs});
    }
    for (const auto& c : cases) {
        const uint64_t size = c.first;
        const uint64_t bs = c.second;
        SCOPED_TRACE("size " + std::to_string(size) + " block size " + std::to_string(bs));
        // Sparse files of equal content: only heartbeats and the final record.
        const std::string a = dir.file("a"), b = dir.file("b");
        ASSERT_EQ(truncate((write_file(a, ""), a).c_str(), static_cast<off_t>(size)), 0);
        ASSERT_EQ(truncate((write_file(b, ""), b).c_str(), static_cast<off_t>(size)), 0);
        const RunResult r = run_tool({a, b, "--block-size", std::to_string(bs)});
        ASSERT_EQ(r.exit_code, 0) << r.err;
        check_stream(r.out, std::string(size, '\0'), bs, {});
        check_heartbeat_consequences(parse_stream(r.out), size, bs);
    }
}

TEST(Heartbeat, ChangeRecordComesBeforeTheHeartbeatOfItsBlock) {
    TempDir dir;
    const std::string a = mixed_content(20000, 21);
    std::string b = a;
    for (size_t pos = 0; pos < b.size(); pos += 997) b[pos] = static_cast<char>(b[pos] + 1);
    const Pair p = make_pair_files(dir, a, b);
    for (uint64_t bs : {150u, 199u, 200u, 201u, 3000u}) {
        const RunResult r = run_tool({p.first, p.second, "--block-size", std::to_string(bs)});
        check_stream(r.out, b, bs, differing_blocks(a, b, bs));
    }
}

// ---------------------------------------------------------------------------------------------
// Read failures inside the loop

// Starts the tool with standard output on a pipe that the test reads at its own pace, and
// standard error in a file.
struct LiveTool {
    zev_common::ChildProcess child;
    std::string buffer;

    LiveTool(const std::vector<std::string>& args, const std::string& err_file) {
        std::vector<std::string> argv = {tool_path()};
        argv.insert(argv.end(), args.begin(), args.end());
        zev_common::ChildOptions options;
        options.in = zev_common::Stream::inherit();
        options.out = zev_common::Stream::pipe();
        options.err = zev_common::Stream::file(err_file);
        child = zev_common::ChildProcess::start(argv, options);
    }

    // Reads until the stream holds at least one whole line.
    bool read_first_line() {
        char chunk[4096];
        while (buffer.find('\n') == std::string::npos) {
            const ssize_t n = read(child.out_fd(), chunk, sizeof chunk);
            if (n <= 0) return false;
            buffer.append(chunk, static_cast<size_t>(n));
        }
        return true;
    }

    // Reads the rest of the stream and waits for the exit status.
    int finish() {
        char chunk[65536];
        ssize_t n;
        while ((n = read(child.out_fd(), chunk, sizeof chunk)) > 0)
            buffer.append(chunk, static_cast<size_t>(n));
        child.close_out();
        zev_common::ChildStatus status;
        return child.wait(status) ? status.exit_code : -1;
    }
};

TEST(ReadFailure, SecondFileShrinksWhileTheToolRuns) {
    // Every block differs and is incompressible, so each change record is about 5.5 KiB: the
    // tool can run at most a pipe's worth (64 KiB) ahead of the test, far from block 1024,
    // when the test truncates the second file after the first record.
    const uint64_t bs = 4096;
    const uint64_t blocks = 2048;
    for (const uint64_t cut : {1024 * bs, 1024 * bs + 100}) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        TempDir dir;
        const std::string a = pattern<std::string>(bs * blocks, 31);
        const std::string b = pattern<std::string>(bs * blocks, 32);
        const Pair p = make_pair_files(dir, a, b);
        LiveTool tool({p.first, p.second, "--block-size", std::to_string(bs)}, dir.file("stderr"));
        ASSERT_TRUE(tool.child.running()) << tool.child.error();
        ASSERT_TRUE(tool.read_first_line());
        ASSERT_EQ(truncate(p.second.c_str(), static_cast<off_t>(cut)), 0);
        const int status = tool.finish();
        EXPECT_EQ(status, 0);
        // The short read of block 1024 names the block; the file ended early, so the message
        // carries ENODATA's text rather than whatever errno held before.
        EXPECT_EQ(read_file(dir.file("stderr")), "Error reading block 1024: No data available\n");
        check_stream(tool.buffer, b, bs, std::vector<bool>(blocks, true), 1024);
        const std::vector<Record> records = parse_stream(tool.buffer);
        ASSERT_FALSE(records.empty());
        EXPECT_EQ(records.back().offset, 1024 * bs);
    }
}

TEST(ReadFailure, DirectoriesAreRefusedWhenOpened) {
    // Seeking a directory to its end can give a huge size on some file systems, and its first
    // read fails: the tool refuses it when opening instead, before any record is written.
    TempDir dir;
    expect_refused({dir.path(), dir.path()}, dir.path() + ": Is a directory\n");
}

// ---------------------------------------------------------------------------------------------
// Allocation failures, made real with an address-space limit on the child

#if ZEV_TOOL_SANITIZED
#define SKIP_UNDER_SANITIZERS() \
    GTEST_SKIP()                \
        << "the sanitizer runtime reserves terabytes of address space; RLIMIT_AS cannot be used"
#else
#define SKIP_UNDER_SANITIZERS() (void)0
#endif

const uint64_t kMiB = 1024 * 1024;
const uint64_t kBigBlock = 64 * kMiB;

TEST(AllocationFailure, BlockBufferCannotBeAllocated) {
    SKIP_UNDER_SANITIZERS();
    TempDir dir;
    const Pair p = make_pair_files(dir, "abc", "abd");
    RunOptions limited;
    limited.address_space = 96 * kMiB;  // one 64 MiB block buffer fits, the second does not
    expect_refused({p.first, p.second, "--block-size", std::to_string(kBigBlock)},
                   "malloc: Cannot allocate memory\n", limited);
}

TEST(AllocationFailure, CompressionBufferCannotBeAllocated) {
    SKIP_UNDER_SANITIZERS();
    TempDir dir;
    const Pair p{dir.file("a"), dir.file("b")};
    write_file(p.first, "");
    write_file(p.second, "x");
    ASSERT_EQ(truncate(p.first.c_str(), kBigBlock), 0);
    ASSERT_EQ(truncate(p.second.c_str(), kBigBlock), 0);
    RunOptions limited;
    limited.address_space = 2 * kBigBlock + 48 * kMiB;  // both block buffers, not a third
    const RunResult r =
        run_tool({p.first, p.second, "--block-size", std::to_string(kBigBlock)}, limited);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "malloc: Cannot allocate memory\n");
    // No change record, but the block counts as processed.
    EXPECT_EQ(r.out, heartbeat_record(kBigBlock) + final_record(kBigBlock));
}

TEST(AllocationFailure, Base64TextCannotBeAllocated) {
    SKIP_UNDER_SANITIZERS();
    TempDir dir;
    // Incompressible data: the compressed block is as large as the block, its text 4/3 of it.
    const Pair p =
        make_pair_files(dir, std::string(kBigBlock, '\0'), pattern<std::string>(kBigBlock, 41));
    RunOptions limited;
    limited.address_space = 3 * kBigBlock + 48 * kMiB;  // block and compression buffers only
    const RunResult r =
        run_tool({p.first, p.second, "--block-size", std::to_string(kBigBlock)}, limited);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "base64_encode: Cannot allocate memory\n");
    EXPECT_EQ(r.out, heartbeat_record(kBigBlock) + final_record(kBigBlock));
}

TEST(AllocationFailure, SameRunsSucceedWithoutTheLimit) {
    SKIP_UNDER_SANITIZERS();
    // The limits above fail exactly the named allocation: with room for all of them the same
    // incompressible block is emitted.
    TempDir dir;
    const std::string b = pattern<std::string>(kBigBlock, 41);
    const Pair p = make_pair_files(dir, std::string(kBigBlock, '\0'), b);
    RunOptions roomy;
    roomy.address_space = 4 * kBigBlock + 64 * kMiB;
    const RunResult r =
        run_tool({p.first, p.second, "--block-size", std::to_string(kBigBlock)}, roomy);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    check_stream(r.out, b, kBigBlock, {true});
}

// ---------------------------------------------------------------------------------------------
// The log

const std::regex kPrefix(R"(^\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3}\] )");

std::vector<std::string> split_lines(const std::string& s) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < s.size()) {
        size_t end = s.find('\n', start);
        if (end == std::string::npos) end = s.size();
        lines.push_back(s.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// Expected log line: with the timestamp prefix or without it.
struct LogLine {
    bool prefixed;
    std::string text;
};

void check_log_lines(const std::string& log, const std::vector<LogLine>& expected) {
    const std::vector<std::string> lines = split_lines(log);
    ASSERT_EQ(lines.size(), expected.size()) << log;
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string line = lines[i];
        std::smatch m;
        const bool has_prefix = std::regex_search(line, m, kPrefix);
        EXPECT_EQ(has_prefix, expected[i].prefixed) << "line " << i << ": " << line;
        if (has_prefix) line = line.substr(m.length(0));
        if (expected[i].text.rfind("~", 0) == 0) {  // "~" marks a regular expression
            EXPECT_TRUE(std::regex_match(line, std::regex(expected[i].text.substr(1))))
                << "line " << i << ": " << line;
        } else {
            EXPECT_EQ(line, expected[i].text) << "line " << i;
        }
    }
}

std::string hex_line(const std::string& bytes) {
    std::string s;
    char b[4];
    for (unsigned char c : bytes) {
        snprintf(b, sizeof b, "%02x ", c);
        s += b;
    }
    return s;
}

std::vector<LogLine> expected_run_log(const Pair& p, const std::string& log_path,
                                      const RunResult& r, const std::string& text_block,
                                      const std::string& binary_tail) {
    const std::vector<Record> records = parse_stream(r.out);
    EXPECT_EQ(records.size(), 6u);
    if (records.size() != 6) return {};
    const size_t compressed1 = zev_test::reference_base64_decode(records[1].data).size();
    const size_t compressed2 = zev_test::reference_base64_decode(records[3].data).size();
    const std::vector<std::string> out_lines = split_lines(r.out);
    return {
        {true, "Running ZEV diff tool, with command: zev-block-diff-tool " + p.first + " " +
                   p.second + " [--block-size 16] [--log-file " + log_path + "]"},
        {true, "Initialized heartbeat interval: every 1 bytes (0.01 of 40)"},
        {true, "Processing block 0 of 3 blocks"},
        {false, ""},
        {true, "Blocks are identical"},
        {true, "{\"offset\":16,\"length\":0,\"data\":\"\",\"last\":false} (heartbeat message)"},
        {true, "Processing block 1 of 3 blocks"},
        {false, ""},
        {false, "Blocks are different"},
        {false, " (16 bytes):"},
        {false, hex_line(text_block)},
        {false, "Blocks are different"},
        {false, " (text preview, first 16 bytes):"},
        {false, text_block},
        {true, "Compressed bytes: " + std::to_string(compressed1)},
        {false, " (block size: 16)"},
        {true, out_lines[1]},
        {false, ""},
        {true, "{\"offset\":32,\"length\":0,\"data\":\"\",\"last\":false} (heartbeat message)"},
        {true, "Processing block 2 of 3 blocks"},
        {false, ""},
        {false, "Blocks are different"},
        {false, " (8 bytes):"},
        {false, hex_line(binary_tail)},
        {true, "Compressed bytes: " + std::to_string(compressed2)},
        {false, " (block size: 8)"},
        {true, out_lines[3]},
        {false, ""},
        {true, "{\"offset\":40,\"length\":0,\"data\":\"\",\"last\":false} (heartbeat message)"},
        {true, "{\"offset\":40,\"length\":0,\"data\":\"\",\"last\":true} (heartbeat message)"},
    };
}

TEST(Log, EveryStepOfARunWithDumpsAndPreview) {
    TempDir dir;
    const std::string same = "identical block!";
    const std::string text_a = "old text content";
    const std::string text_b = "new text content";
    const std::string tail_a("\x01\x02\x03\x04\x05\x06\x07\x08", 8);
    const std::string tail_b("\x01\x02\x03\x04\x05\x06\x07\xff", 8);
    const Pair p = make_pair_files(dir, same + text_a + tail_a, same + text_b + tail_b);
    const std::string log = dir.file("run.log");
    const RunResult r = run_tool({p.first, p.second, "--block-size", "16", "--log-file", log});
    ASSERT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    check_stream(r.out, same + text_b + tail_b, 16, {false, true, true});
    check_log_lines(read_file(log), expected_run_log(p, log, r, text_b, tail_b));

    // A second run appends: the first run's lines stay as they were.
    const std::string first_log = read_file(log);
    const RunResult again = run_tool({p.first, p.second, "--block-size", "16", "--log-file", log});
    const std::string both = read_file(log);
    ASSERT_GT(both.size(), first_log.size());
    EXPECT_EQ(both.substr(0, first_log.size()), first_log);
    check_log_lines(both.substr(first_log.size()), expected_run_log(p, log, again, text_b, tail_b));
}

TEST(Log, LongBlockDumpsSixteenBytesALine) {
    TempDir dir;
    const std::string a(100, 'a');
    std::string b = pattern<std::string>(100, 51);
    const Pair p = make_pair_files(dir, a, b);
    const std::string log = dir.file("dump.log");
    const RunResult r = run_tool({p.first, p.second, "--block-size", "100", "--log-file", log});
    ASSERT_EQ(r.exit_code, 0);
    const std::string s = read_file(log);
    std::string dump = "Blocks are different\n (100 bytes):\n";
    for (size_t i = 0; i < 100; i += 16) dump += hex_line(b.substr(i, 16)) + "\n";
    EXPECT_NE(s.find(dump), std::string::npos) << s;
    EXPECT_EQ(s.find("text preview"), std::string::npos);  // random bytes: no preview
}

TEST(Log, UnopenableLogFileGoesToStandardError) {
    TempDir dir;
    const std::string a = mixed_content(1000, 61);
    const Pair p = make_pair_files(dir, a, a);
    const RunResult plain = run_tool({p.first, p.second});
    const RunResult r = run_tool({p.first, p.second, "--log-file", dir.file("no/such/dir/x.log")});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, plain.out) << "the stream does not change";
    const std::string head = "Failed to open log file: No such file or directory\n";
    ASSERT_EQ(r.err.compare(0, head.size(), head), 0) << r.err;
    const std::vector<std::string> lines = split_lines(r.err.substr(head.size()));
    ASSERT_GE(lines.size(), 4u);
    EXPECT_TRUE(std::regex_search(lines[0], kPrefix));
    EXPECT_NE(lines[0].find("Running ZEV diff tool, with command:"), std::string::npos);
    EXPECT_TRUE(std::regex_search(lines.back(), kPrefix));
    EXPECT_NE(lines.back().find("\"last\":true} (heartbeat message)"), std::string::npos);
}

TEST(Log, WithoutLogPathNothingIsLogged) {
    TempDir dir;
    const std::string a = mixed_content(1000, 62);
    std::string b = a;
    b[500] ^= 1;
    const Pair p = make_pair_files(dir, a, b);
    RunOptions in_dir;
    in_dir.cwd = dir.path();
    const RunResult r = run_tool({p.first, p.second, "--block-size", "100"}, in_dir);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    // Only the two input files are in the directory.
    const RunResult ls = run_program("/bin/ls", {"-A", dir.path()});
    EXPECT_EQ(ls.out, "first.img\nsecond.img\n");
}

// ---------------------------------------------------------------------------------------------
// A block device as input

TEST(BlockDevice, LoopDeviceSizeIsItsCapacity) {
    if (geteuid() != 0) GTEST_SKIP() << "attaching a loop device needs root";
    TempDir dir;
    const size_t size = 1024 * 1024 + 3 * 512;  // a whole number of sectors, not of blocks
    const std::string a = mixed_content(size, 71);
    std::string b = a;
    for (size_t pos = 1000; pos < size; pos += 100000) b[pos] = static_cast<char>(b[pos] ^ 0x20);
    const Pair p = make_pair_files(dir, a, b);
    std::string device;
    {
        LoopDevice loop(p.second);
        if (loop.device().empty())
            GTEST_SKIP() << "no loop device could be attached: " << loop.error();
        device = loop.device();
        const RunResult r = run_tool({p.first, device});
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.err, "");
        check_stream(r.out, b, 65536, differing_blocks(a, b, 65536));
        const RunResult reverse = run_tool({device, p.first, "--block-size", "4096"});
        check_stream(reverse.out, a, 4096, differing_blocks(b, a, 4096));
        // A file of another size is refused with the device's capacity in the message.
        write_file(dir.file("short.img"), "x");
        expect_refused({device, dir.file("short.img")},
                       "Files differ in size: " + std::to_string(size) + " vs 1\n");
    }
    // Detached again: no loop device is backed by the test's file any more (other tests may
    // attach the same device name meanwhile, so the backing file is what is looked for).
    const RunResult list =
        run_program(LoopDevice::kLosetup, {"--list", "--noheadings", "--output", "NAME,BACK-FILE"});
    EXPECT_EQ(list.out.find(p.second), std::string::npos) << list.out;
}

}  // namespace
