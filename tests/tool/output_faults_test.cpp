// The tool against faults around it: standard output on a full device, closed, or a pipe
// whose reader has gone; the log on a full device; a second file that grows during the run.
// A stream that did not reach its reader must never end with status 0.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "tool_test_support.h"

using namespace zev_test;

namespace {

// How the child's standard output is set up, and what a correct tool does then.
struct OutputCase {
    const char* name;
    enum Stdout { Full, Closed, ReaderGone, Pipe } out;
    bool log_to_full_device;
};

void PrintTo(const OutputCase& c, std::ostream* os) { *os << c.name; }

struct Outcome {
    int status = -1;  // wait status
    std::string out, err;
};

std::string read_all(int fd) {
    std::string s;
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) s.append(buf, static_cast<size_t>(n));
    return s;
}

// Runs the tool on `args` with standard output as `c` says; `before_reading` runs once the
// tool has written its first line to a readable pipe.
Outcome run(const OutputCase& c, const std::vector<std::string>& args, const std::string& err_path,
            const std::function<void()>& before_reading = nullptr) {
    int pipe_fds[2] = {-1, -1};
    if (c.out == OutputCase::ReaderGone || c.out == OutputCase::Pipe) {
        EXPECT_EQ(pipe(pipe_fds), 0);
        if (c.out == OutputCase::ReaderGone) close(pipe_fds[0]);
    }
    std::vector<std::string> argv_s{tool_path()};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argv_s) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        signal(SIGPIPE, SIG_DFL);
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(err, STDERR_FILENO);
        if (c.out == OutputCase::Full) dup2(open("/dev/full", O_WRONLY), STDOUT_FILENO);
        if (c.out == OutputCase::Closed) close(STDOUT_FILENO);
        if (pipe_fds[1] >= 0) dup2(pipe_fds[1], STDOUT_FILENO);
        if (c.out == OutputCase::Pipe) close(pipe_fds[0]);
        execv(argv[0], argv.data());
        _exit(127);
    }
    Outcome o;
    if (pipe_fds[1] >= 0) close(pipe_fds[1]);
    if (c.out == OutputCase::Pipe) {
        std::string first;
        char ch;
        while (read(pipe_fds[0], &ch, 1) == 1) {
            first += ch;
            if (ch == '\n') break;
        }
        if (before_reading) before_reading();
        o.out = first + read_all(pipe_fds[0]);
        close(pipe_fds[0]);
    }
    waitpid(pid, &o.status, 0);
    o.err = read_file(err_path);
    return o;
}

class OutputFaults : public ::testing::TestWithParam<OutputCase> {};

}  // namespace

TEST_P(OutputFaults, LostStreamNeverEndsWithStatusZero) {
    const OutputCase& c = GetParam();
    ScratchDir dir;
    write_file(dir.file("a"), random_bytes(300000, 1));
    write_file(dir.file("b"), random_bytes(300000, 2));
    std::vector<std::string> args{dir.file("a"), dir.file("b"), "--block-size", "4096"};
    if (c.log_to_full_device) args.insert(args.end(), {"--log-file", "/dev/full"});
    const Outcome o = run(c, args, dir.file("err"));
    if (c.out == OutputCase::Pipe) {
        // Only the log is lost: the whole stream still reaches its reader.
        ASSERT_TRUE(WIFEXITED(o.status));
        EXPECT_EQ(WEXITSTATUS(o.status), 0);
        const std::vector<Record> records = parse_stream(o.out);
        ASSERT_FALSE(records.empty());
        EXPECT_EQ(records.back().kind, Record::kFinal);
        EXPECT_EQ(records.back().offset, 300000u);
        return;
    }
    EXPECT_FALSE(WIFEXITED(o.status) && WEXITSTATUS(o.status) == 0)
        << "status 0 although the stream was lost; standard error: " << o.err;
    if (WIFEXITED(o.status)) {
        EXPECT_FALSE(o.err.empty()) << "no message for the lost stream";
    }
}

std::string case_name(const ::testing::TestParamInfo<OutputCase>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(Stdout, OutputFaults,
                         ::testing::Values(OutputCase{"ReaderGone", OutputCase::ReaderGone, false},
                                           OutputCase{"LogOnFullDevice", OutputCase::Pipe, true}),
                         case_name);

// Disabled until the tool reports write errors on standard output: today a full device or a
// closed standard output ends with status 0 and no message, although no record arrived.
// Reproducer: zev-block-diff-tool a.img b.img > /dev/full; echo $?   (prints 0)
INSTANTIATE_TEST_SUITE_P(DISABLED_Stdout, OutputFaults,
                         ::testing::Values(OutputCase{"FullDevice", OutputCase::Full, false},
                                           OutputCase{"Closed", OutputCase::Closed, false}),
                         case_name);

// The sizes are taken once: a second file that grows while the tool runs is compared up to
// the size it had, and the stream ends there.
TEST(InputFaults, SecondFileGrowsDuringTheRun) {
    ScratchDir dir;
    const uint64_t size = 2048 * 4096;
    write_file(dir.file("a"), random_bytes(size, 3));
    write_file(dir.file("b"), random_bytes(size, 4));
    const Outcome o =
        run(OutputCase{"grow", OutputCase::Pipe, false},
            {dir.file("a"), dir.file("b"), "--block-size", "4096"}, dir.file("err"), [&] {
                const int fd = open(dir.file("b").c_str(), O_WRONLY | O_APPEND);
                ASSERT_GE(fd, 0);
                const std::string more = random_bytes(1 << 20, 5);
                ASSERT_EQ(write(fd, more.data(), more.size()), static_cast<ssize_t>(more.size()));
                close(fd);
            });
    ASSERT_TRUE(WIFEXITED(o.status));
    EXPECT_EQ(WEXITSTATUS(o.status), 0);
    EXPECT_EQ(o.err, "");
    const std::vector<Record> records = parse_stream(o.out);
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.back().kind, Record::kFinal);
    EXPECT_EQ(records.back().offset, size);
    size_t changes = 0;
    for (const Record& r : records) changes += r.kind == Record::kChange;
    EXPECT_EQ(changes, 2048u);
}
