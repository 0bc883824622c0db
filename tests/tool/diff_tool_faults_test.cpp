// The diff tool under faults of its surroundings: standard output on a full device, closed,
// read-only or a pipe whose reader goes away; a log on a full device; inputs that shrink or
// grow while the tool runs. Real child processes on real files and pipes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ostream>
#include <string>
#include <vector>

#include "child_process.h"
#include "tool_test_support.h"

namespace {

using namespace zev_test;
using namespace testcommon;
using zev_common::ChildOptions;
using zev_common::Stream;

const uint64_t kBlock = 4096;
const uint64_t kBlocks = 2048;  // 8 MiB of differing, incompressible blocks: far more stream
                                // than a pipe holds

// Checks that `out` is a whole stream ending at `final_offset` whose change records hold the
// bytes of `second` at their offsets.
void expect_stream_of(const std::string& out, const std::string& second, uint64_t final_offset) {
    const std::vector<Record> records = parse_stream(out);
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.back().kind, Record::kFinal);
    EXPECT_EQ(records.back().offset, final_offset);
    for (const Record& r : records) {
        if (r.kind != Record::kChange) continue;
        ASSERT_LE(r.offset + r.length, final_offset);
        ASSERT_TRUE(decode_change_data(r.data, r.length) == second.substr(r.offset, r.length))
            << "change record at " << r.offset;
    }
}

struct Images {
    TempDir dir;
    std::string first = dir.file("first.img");
    std::string second = dir.file("second.img");
    std::string second_bytes = pattern<std::string>(kBlock * kBlocks, 2);
    Images() {
        write_file(first, pattern<std::string>(kBlock * kBlocks, 1));
        write_file(second, second_bytes);
    }
    std::vector<std::string> args() const {
        return {first, second, "--block-size", std::to_string(kBlock)};
    }
};

// ---------------------------------------------------------------------------------------------
// Standard output and the log

enum class Output { kFile, kFileStdinClosed, kFull, kClosed, kReadOnly, kPipeReaderExits };

struct OutputCase {
    const char* name;
    Output output;
    bool ignore_sigpipe;
    const char* log;  // "": no log; "scratch": a log file in the scratch folder; else a path
    const char* status;
    const char* err;
};

std::ostream& operator<<(std::ostream& out, const OutputCase& c) { return out << c.name; }

class OutputFault : public testing::TestWithParam<OutputCase> {};

TEST_P(OutputFault, NeverEndsInSuccessWithoutTheWholeStream) {
    const OutputCase& c = GetParam();
    Images images;
    std::vector<std::string> args = images.args();
    const std::string log = std::string(c.log) == "scratch" ? images.dir.file("run.log") : c.log;
    if (!log.empty()) args.insert(args.end(), {"--log-file", log});
    const std::string err_path = images.dir.file("stderr");
    ChildOptions io;
    io.err = Stream::file(err_path);
    io.ignore_sigpipe = c.ignore_sigpipe;
    io.in = c.output == Output::kFileStdinClosed ? Stream::closed() : Stream::null();
    const std::string out_path = images.dir.file("stream");
    int stdout_fd = -1;
    int pipe_fds[2] = {-1, -1};
    switch (c.output) {
        case Output::kFile:
        case Output::kFileStdinClosed:
            stdout_fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            break;
        case Output::kFull:
            stdout_fd = open("/dev/full", O_WRONLY | O_CLOEXEC);
            break;
        case Output::kReadOnly:
            stdout_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
            break;
        case Output::kPipeReaderExits:
            ASSERT_EQ(pipe2(pipe_fds, O_CLOEXEC), 0);
            stdout_fd = pipe_fds[1];
            break;
        case Output::kClosed:
            break;
    }
    if (c.output != Output::kClosed) {
        ASSERT_GE(stdout_fd, 0);
    }
    io.out = stdout_fd >= 0 ? Stream::from_fd(stdout_fd) : Stream::closed();
    std::vector<std::string> argv = {tool_path()};
    argv.insert(argv.end(), args.begin(), args.end());
    zev_common::ChildProcess child = zev_common::ChildProcess::start(argv, io);
    ASSERT_TRUE(child.running()) << child.error();
    if (stdout_fd >= 0) close(stdout_fd);
    if (c.output == Output::kPipeReaderExits) {
        // The reader takes a little of the stream and goes away.
        char some[1000];
        EXPECT_GT(read(pipe_fds[0], some, sizeof some), 0);
        close(pipe_fds[0]);
    }
    EXPECT_EQ(wait_status(child), c.status);
    EXPECT_EQ(read_file(err_path), c.err);
    if (c.output == Output::kFile || c.output == Output::kFileStdinClosed) {
        expect_stream_of(read_file(out_path), images.second_bytes, kBlock * kBlocks);
    }
    if (c.output == Output::kClosed && !log.empty()) {
        EXPECT_EQ(read_file(log).find("{\"offset\""), std::string::npos)
            << "records must never land in the log";
    }
}

const char kFullError[] = "Error writing standard output: No space left on device\n";
const char kBadDescriptor[] = "Error writing standard output: Bad file descriptor\n";

INSTANTIATE_TEST_SUITE_P(
    DiffTool, OutputFault,
    testing::Values(
        OutputCase{"LogOnAFullDeviceLeavesTheStreamWhole", Output::kFile, false, "/dev/full",
                   "exit 0", ""},
        OutputCase{"ClosedStandardInputIsHarmless", Output::kFileStdinClosed, false, "scratch",
                   "exit 0", ""},
        OutputCase{"OutputOnAFullDevice", Output::kFull, false, "", "exit 2", kFullError},
        OutputCase{"OutputOnAFullDeviceWithALog", Output::kFull, false, "scratch", "exit 2",
                   kFullError},
        OutputCase{"OutputClosed", Output::kClosed, false, "", "exit 2", kBadDescriptor},
        OutputCase{"OutputClosedWithALogFile", Output::kClosed, false, "scratch", "exit 2",
                   kBadDescriptor},
        OutputCase{"OutputOpenedReadOnly", Output::kReadOnly, false, "", "exit 2", kBadDescriptor},
        OutputCase{"ReaderGoesAwayAndTheDefaultSigpipeEndsTheTool", Output::kPipeReaderExits, false,
                   "", "signal 13", ""},
        OutputCase{"ReaderGoesAwayWithSigpipeIgnored", Output::kPipeReaderExits, true, "", "exit 2",
                   "Error writing standard output: Broken pipe\n"}),
    [](const testing::TestParamInfo<OutputCase>& info) { return info.param.name; });

// ---------------------------------------------------------------------------------------------
// Inputs that change during the run. Sizes are taken when the files are opened: a file that
// ends early stops the stream at the block it could not read (the final record then says how
// far the copy goes), and bytes appended later are not part of the comparison.

struct ChangeCase {
    const char* name;
    bool first_file;
    uint64_t cut_to;  // 0: not cut
    size_t append;
    const char* err;
    uint64_t final_offset;
};

std::ostream& operator<<(std::ostream& out, const ChangeCase& c) { return out << c.name; }

class InputChangesDuringTheRun : public testing::TestWithParam<ChangeCase> {};

TEST_P(InputChangesDuringTheRun, FinalRecordCoversOnlyWhatWasRead) {
    const ChangeCase& c = GetParam();
    Images images;
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    const std::string err_path = images.dir.file("stderr");
    ChildOptions io;
    io.err = Stream::file(err_path);
    io.out = Stream::from_fd(fds[1]);
    std::vector<std::string> argv = {tool_path()};
    const std::vector<std::string> args = images.args();
    argv.insert(argv.end(), args.begin(), args.end());
    zev_common::ChildProcess child = zev_common::ChildProcess::start(argv, io);
    ASSERT_TRUE(child.running()) << child.error();
    close(fds[1]);
    // The tool runs at most a pipe's worth (64 KiB, about twelve records) ahead of the test
    // when the file changes after the first line, far from block 1024.
    std::string out;
    char chunk[65536];
    ssize_t n;
    while (out.find('\n') == std::string::npos && (n = read(fds[0], chunk, 4096)) > 0) {
        out.append(chunk, static_cast<size_t>(n));
    }
    const std::string& path = c.first_file ? images.first : images.second;
    if (c.cut_to != 0) {
        ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(c.cut_to)), 0);
    }
    if (c.append != 0) {
        const int fd = open(path.c_str(), O_WRONLY | O_APPEND);
        const std::string more = pattern<std::string>(c.append, 3);
        ASSERT_EQ(write(fd, more.data(), more.size()), static_cast<ssize_t>(more.size()));
        close(fd);
    }
    while ((n = read(fds[0], chunk, sizeof chunk)) > 0) out.append(chunk, static_cast<size_t>(n));
    close(fds[0]);
    EXPECT_EQ(wait_status(child), "exit 0");
    EXPECT_EQ(read_file(err_path), c.err);
    expect_stream_of(out, images.second_bytes, c.final_offset);
}

INSTANTIATE_TEST_SUITE_P(
    DiffTool, InputChangesDuringTheRun,
    testing::Values(ChangeCase{"FirstFileShrinks", true, 1024 * kBlock, 0,
                               "Error reading block 1024: No data available\n", 1024 * kBlock},
                    ChangeCase{"FirstFileShrinksInsideABlock", true, 1024 * kBlock + 100, 0,
                               "Error reading block 1024: No data available\n", 1024 * kBlock},
                    ChangeCase{"FirstFileGrows", true, 0, 1 << 20, "", kBlock* kBlocks},
                    ChangeCase{"SecondFileGrows", false, 0, 1 << 20, "", kBlock* kBlocks}),
    [](const testing::TestParamInfo<ChangeCase>& info) { return info.param.name; });

// Inputs the tool cannot compare are refused when opened, before any record.
TEST(InputKinds, DirectoriesAndCharacterDevicesAreRefused) {
    TempDir dir;
    const std::string file = dir.file("file.img");
    write_file(file, "abc");
    const struct {
        std::string first, second, err;
    } cases[] = {
        {dir.path(), dir.path(), dir.path() + ": Is a directory\n"},
        {file, dir.path(), dir.path() + ": Is a directory\n"},
        {"/dev/zero", file, "/dev/zero: Block device required\n"},
        {file, "/dev/null", "/dev/null: Block device required\n"},
    };
    for (const auto& c : cases) {
        const RunResult r = run_tool({c.first, c.second});
        EXPECT_EQ(r.exit_code, 1) << c.first << " " << c.second;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.err);
    }
}

}  // namespace
