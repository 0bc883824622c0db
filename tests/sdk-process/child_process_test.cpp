// executeSystemCommand, doExecvp and getChildProcessOutput against real child processes.
#include "child_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <future>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Quillonvarde_sdk_impl.h"
#include "process_test_util.h"
#include "test_common.h"
#include "test_host.h"

namespace {

using testhost::kError;
using testhost::kInfo;
using testhost::log_is;
using Lines = std::vector<std::string>;

bool run(const std::string& program, const Lines& args, Lines& out) {
    return CQuillonvardeSDKImpl::executeSystemCommand(program, args, out);
}

bool shell(const std::string& script, Lines& out) {
    return run("/bin/sh", {"sh", "-c", script}, out);
}

// Descriptors open in this process (the directory stream's own descriptor excluded).
std::vector<int> open_fds() {
    std::vector<int> fds;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return fds;
    int own = dirfd(dir);
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        int fd = std::atoi(e->d_name);
        if (fd != own) fds.push_back(fd);
    }
    closedir(dir);
    std::sort(fds.begin(), fds.end());
    return fds;
}

class ChildProcess : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(testhost::install(), 0);
        testhost::clear();
    }
};

TEST_F(ChildProcess, TwoLinesAndExitZeroAreAppendedInOrder) {
    Lines out = {"already there"};
    EXPECT_TRUE(shell("printf 'one\\ntwo\\n'", out));
    EXPECT_EQ(out, (Lines{"already there", "one", "two"}));
    EXPECT_TRUE(log_is({{kInfo, "Execute command: sh -c printf 'one\\ntwo\\n' "},
                        {kInfo, "execute command sueccess!"}}));
}

TEST_F(ChildProcess, OnlyOneTrailingLineFeedOrCarriageReturnIsRemoved) {
    Lines out;
    EXPECT_TRUE(shell("printf 'crlf\\r\\nnext-is-empty\\n\\nmid\\rdle\\nends-in-cr\\r'", out));
    EXPECT_EQ(out, (Lines{"crlf\r", "next-is-empty", "", "mid\rdle", "ends-in-cr"}));

    out.clear();
    EXPECT_TRUE(shell("printf 'first\\nno line feed at the end'", out));
    EXPECT_EQ(out, (Lines{"first", "no line feed at the end"}));
}

TEST_F(ChildProcess, LongLinesArriveInPiecesOfAtMost1023Characters) {
    testcommon::TempDir temp("qv-proc-long");
    const std::string dir = temp.path();
    ASSERT_FALSE(dir.empty());
    std::string longLine, exact, shorter;
    for (int i = 0; i < 2500; ++i) longLine += static_cast<char>('a' + i % 26);
    exact.assign(1023, 'E');
    shorter.assign(1022, 'S');
    testcommon::write_file(dir + "/text", longLine + "\n" + exact + "\n" + shorter + "\n");

    Lines out;
    EXPECT_TRUE(run("/bin/cat", {"cat", dir + "/text"}, out));

    ASSERT_EQ(out.size(), 6u);
    EXPECT_EQ(out[0].size(), 1023u);
    EXPECT_EQ(out[1].size(), 1023u);
    EXPECT_EQ(out[2].size(), 454u);
    EXPECT_EQ(out[0] + out[1] + out[2], longLine);
    // A line of exactly 1023 characters fills the buffer; its line feed comes as a piece
    // of its own, which becomes an empty element.
    EXPECT_EQ(out[3], exact);
    EXPECT_EQ(out[4], "");
    EXPECT_EQ(out[5], shorter);
}

TEST_F(ChildProcess, NoOutputAndExitZeroGivesAnEmptyList) {
    Lines out;
    EXPECT_TRUE(run("/bin/true", {"true"}, out));
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(log_is({{kInfo, "Execute command: true "}, {kInfo, "execute command sueccess!"}}));
}

TEST_F(ChildProcess, ExitStatusThreeFailsAndKeepsTheOutput) {
    Lines out;
    EXPECT_FALSE(shell("echo kept; echo also kept; exit 3", out));
    EXPECT_EQ(out, (Lines{"kept", "also kept"}));
    EXPECT_TRUE(log_is({{kInfo, "Execute command: sh -c echo kept; echo also kept; exit 3 "},
                        {kError, "WEXITSTATUS ErrCode = 3!  (line #)"},
                        {kError, "execute command failed!  (line #)"}}));
}

TEST_F(ChildProcess, ProgramThatCannotBeStartedEndsWithStatus255) {
    testcommon::TempDir temp("qv-proc-noexec");
    const std::string dir = temp.path();
    ASSERT_FALSE(dir.empty());
    testcommon::write_file(dir + "/not-executable", "#!/bin/sh\necho ran\n", 0644);

    Lines out;
    EXPECT_FALSE(run("/nonexistent-dir/qv-no-such-program", {"qv-no-such-program"}, out));
    EXPECT_FALSE(run("qv-no-such-program-on-the-search-path", {"x"}, out));
    EXPECT_FALSE(run(dir + "/not-executable", {"not-executable"}, out));
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(log_is({{kInfo, "Execute command: qv-no-such-program "},
                        {kError, "WEXITSTATUS ErrCode = 255!  (line #)"},
                        {kError, "execute command failed!  (line #)"},
                        {kInfo, "Execute command: x "},
                        {kError, "WEXITSTATUS ErrCode = 255!  (line #)"},
                        {kError, "execute command failed!  (line #)"},
                        {kInfo, "Execute command: not-executable "},
                        {kError, "WEXITSTATUS ErrCode = 255!  (line #)"},
                        {kError, "execute command failed!  (line #)"}}));

    // A name without a slash is looked up on the search path.
    out.clear();
    EXPECT_TRUE(run("sh", {"sh", "-c", "echo found on the path"}, out));
    EXPECT_EQ(out, (Lines{"found on the path"}));
}

TEST_F(ChildProcess, ChildKilledBySignalIsAFailure) {
    Lines out;
    EXPECT_FALSE(shell("echo before; kill -TERM $$; echo after", out));
    EXPECT_EQ(out, (Lines{"before"}));
    EXPECT_FALSE(shell("kill -KILL $$", out));
    EXPECT_TRUE(log_is({{kInfo, "Execute command: sh -c echo before; kill -TERM $$; echo after "},
                        {kError, "child process terminated by signal 15!  (line #)"},
                        {kError, "execute command failed!  (line #)"},
                        {kInfo, "Execute command: sh -c kill -KILL $$ "},
                        {kError, "child process terminated by signal 9!  (line #)"},
                        {kError, "execute command failed!  (line #)"}}));
}

TEST_F(ChildProcess, PieceStartingWithAZeroByteIsStoredEmpty) {
    Lines out;
    EXPECT_TRUE(shell("printf '\\000hidden\\nxy\\000z\\r\\nlast\\n'", out));
    // Text ends at the first zero byte; a piece whose text ends before its line feed keeps
    // everything up to the zero byte and loses nothing else.
    EXPECT_EQ(out, (Lines{"", "xy", "last"}));
}

TEST_F(ChildProcess, OutputFarBeyondThePipeCapacityIsDrainedBeforeWaiting) {
    Lines out;
    // About 4 MiB, some sixty times what a pipe holds; the child blocks until it is read.
    EXPECT_TRUE(shell("yes 0123456789abcdefghij | head -n 200000; echo done", out));
    ASSERT_EQ(out.size(), 200001u);
    size_t wrong = 0;
    for (size_t i = 0; i < 200000; ++i)
        if (out[i] != "0123456789abcdefghij") ++wrong;
    EXPECT_EQ(wrong, 0u);
    EXPECT_EQ(out.back(), "done");
}

TEST_F(ChildProcess, ArgumentVectorReachesTheProgramUnchanged) {
    Lines out;
    // The shell prints its own argument vector: argv[0] is the first element, the program
    // path is not added, and no element is split or expanded on the way.
    Lines args = {
        "qv-own-name", "-c", "tr '\\0' '|' < /proc/$$/cmdline; echo", "zero", "a b", "", "*"};
    EXPECT_TRUE(run("/bin/sh", args, out));
    EXPECT_EQ(out, (Lines{"qv-own-name|-c|tr '\\0' '|' < /proc/$$/cmdline; echo|zero|a b||*|"}));
    EXPECT_TRUE(log_is(
        {{kInfo,
          "Execute command: qv-own-name -c tr '\\0' '|' < /proc/$$/cmdline; echo zero a b  * "},
         {kInfo, "execute command sueccess!"}}));
}

TEST_F(ChildProcess, StandardInputAndStandardErrorAreInheritedNotCollected) {
    testcommon::TempDir temp("qv-proc-stdio");
    const std::string dir = temp.path();
    ASSERT_FALSE(dir.empty());
    testcommon::write_file(dir + "/in", "from standard input\n");
    int in = open((dir + "/in").c_str(), O_RDONLY);
    int err = open((dir + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(in, 0);
    ASSERT_GE(err, 0);
    int savedIn = dup(0), savedErr = dup(2);
    dup2(in, 0);
    dup2(err, 2);

    Lines out;
    bool ok = shell("read line; echo \"got: $line\"; echo to-standard-error >&2", out);

    dup2(savedIn, 0);
    dup2(savedErr, 2);
    close(savedIn);
    close(savedErr);
    close(in);
    close(err);
    EXPECT_TRUE(ok);
    EXPECT_EQ(out, (Lines{"got: from standard input"}));
    EXPECT_EQ(testcommon::read_file(dir + "/err"), "to-standard-error\n");
}

TEST_F(ChildProcess, ThePipeReachesTheProgramOnlyAsStandardOutput) {
    Lines out;
    EXPECT_TRUE(shell(
        "for f in /proc/$$/fd/*; do printf '%s %s\\n' \"${f##*/}\" \"$(readlink \"$f\")\"; done",
        out));
    std::map<int, std::string> targets;
    for (const std::string& line : out) {
        std::istringstream is(line);
        int fd;
        std::string target;
        if (is >> fd >> target) targets[fd] = target;
    }
    ASSERT_EQ(targets.count(1), 1u) << ::testing::PrintToString(out);
    EXPECT_EQ(targets[1].rfind("pipe:", 0), 0u) << targets[1];
    for (const auto& [fd, target] : targets) {
        if (fd != 1) {
            EXPECT_NE(target, targets[1]) << "descriptor " << fd << " is our pipe too";
        }
    }
}

// The targets of the open descriptors of process `pid` ("pipe:[N]", paths, ...).
std::vector<std::string> fd_targets(pid_t pid) {
    std::vector<std::string> targets;
    std::string dirPath = "/proc/" + std::to_string(pid) + "/fd";
    DIR* dir = opendir(dirPath.c_str());
    if (dir == nullptr) return targets;
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        char target[256] = {};
        std::string link = dirPath + "/" + e->d_name;
        if (readlink(link.c_str(), target, sizeof(target) - 1) > 0) targets.push_back(target);
    }
    closedir(dir);
    return targets;
}

TEST_F(ChildProcess, PipeIsNotInheritedByProgramsTheHostStartsMeanwhile) {
    testcommon::TempDir temp("qv-proc-leak");
    const std::string dir = temp.path();
    ASSERT_FALSE(dir.empty());
    std::string started = dir + "/started", go = dir + "/go";

    // The command names its pipe, then waits until the other program has been started.
    Lines out;
    auto command = std::async(std::launch::async, [&] {
        return shell("readlink /proc/$$/fd/1; touch '" + started + "'; while [ ! -e '" + go +
                         "' ]; do sleep 0.01; done; echo end",
                     out);
    });
    for (int i = 0; i < 3000 && !testcommon::exists(started); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(testcommon::exists(started));

    // Another thread of the host starts a long-lived program while our pipe is open: cat,
    // which lives until its standard input is closed below.
    int hold[2];
    ASSERT_EQ(pipe2(hold, O_CLOEXEC), 0);
    zev_common::ChildOptions catOptions;
    catOptions.in = zev_common::Stream::from_fd(hold[0]);
    catOptions.out = zev_common::Stream::null();
    zev_common::ChildProcess cat = zev_common::ChildProcess::start({"/bin/cat"}, catOptions);
    const bool spawned = cat.running();
    close(hold[0]);
    testcommon::write_file(go, "");

    // Had cat inherited the write end, the output would not end before cat does; the
    // generous wait only keeps the test from hanging in that case.
    bool finished = command.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
    std::vector<std::string> catFds = spawned ? fd_targets(cat.pid()) : std::vector<std::string>{};
    close(hold[1]);
    bool ok = command.get();
    zev_common::ChildStatus catStatus;
    if (spawned) cat.wait(catStatus);

    ASSERT_TRUE(spawned) << cat.error();
    EXPECT_TRUE(finished) << "the output did not end while another program was running";
    EXPECT_TRUE(ok);
    ASSERT_EQ(out.size(), 2u) << ::testing::PrintToString(out);
    EXPECT_EQ(out[0].rfind("pipe:[", 0), 0u) << out[0];
    EXPECT_EQ(out[1], "end");
    ASSERT_FALSE(catFds.empty());
    for (const std::string& target : catFds) EXPECT_NE(target, out[0]) << "cat holds our pipe";
}

std::atomic<int> g_usr1_count{0};
void count_usr1(int) { ++g_usr1_count; }

TEST_F(ChildProcess, InterruptedReadsAndWaitsLoseNothing) {
    // A host handler installed without SA_RESTART makes blocked reads and waits fail with
    // EINTR. The child signals while its line is half written and again while the parent
    // waits for it.
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = count_usr1;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    g_usr1_count = 0;

    Lines out;
    bool ok = shell(
        "printf 'first-'; sleep 0.2; kill -USR1 $PPID; sleep 0.2; echo half; "
        "printf 'x'; sleep 0.2; kill -USR1 $PPID; sleep 0.2; echo y; "
        "exec >&-; sleep 0.2; kill -USR1 $PPID; sleep 0.2; exit 0",
        out);
    sigaction(SIGUSR1, &previous, nullptr);

    EXPECT_TRUE(ok);
    EXPECT_EQ(out, (Lines{"first-half", "xy"}));
    EXPECT_EQ(g_usr1_count.load(), 3);
}

TEST_F(ChildProcess, WaitFailureOtherThanInterruptionIsReported) {
    // With SIGCHLD ignored the kernel reaps the child itself and waitpid fails with ECHILD.
    struct sigaction ignore {};
    struct sigaction previous {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ASSERT_EQ(sigaction(SIGCHLD, &ignore, &previous), 0);
    Lines out;
    bool ok = shell("echo read before waiting", out);
    sigaction(SIGCHLD, &previous, nullptr);

    EXPECT_FALSE(ok);
    EXPECT_EQ(out, (Lines{"read before waiting"}));
    auto log = testhost::normalized_entries();
    ASSERT_EQ(log.size(), 3u) << testhost::dump();
    EXPECT_EQ(log[0].text, "Execute command: sh -c echo read before waiting ");
    EXPECT_EQ(log[1].level, kError);
    EXPECT_TRUE(std::regex_match(
        log[1].text, std::regex(R"(waitpid\([1-9][0-9]*\) errno not equal EINTR!  \(line #\))")))
        << log[1].text;
    EXPECT_EQ(log[2].level, kError);
    EXPECT_EQ(log[2].text, "execute command failed!  (line #)");
}

TEST_F(ChildProcess, PipeFailureIsReportedAndStartsNothing) {
    testcommon::TempDir temp("qv-proc-pipe");
    const std::string dir = temp.path();
    ASSERT_FALSE(dir.empty());
    rlimit previous{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &previous), 0);
    rlimit low = previous;
    low.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> filler;
    for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) filler.push_back(fd);

    Lines out;
    bool ok = shell("touch '" + dir + "/started'", out);

    for (int fd : filler) close(fd);
    setrlimit(RLIMIT_NOFILE, &previous);
    EXPECT_FALSE(ok);
    EXPECT_FALSE(testcommon::exists(dir + "/started"));
    EXPECT_TRUE(log_is({{kInfo, "Execute command: sh -c touch '" + dir + "/started' "},
                        {kError, "pipe failed!  (line #)"}}));
}

TEST_F(ChildProcess, ForkFailureClosesBothPipeEnds) {
    std::string result = proctest::in_subprocess([] {
        std::vector<int> before = open_fds();
        std::string why =
            proctest::fail_syscalls({SYS_clone, SYS_clone3, SYS_fork, SYS_vfork}, EAGAIN);
        if (!why.empty()) return "SKIP: " + why;
        Lines out;
        bool ok = shell("echo never", out);
        std::string failures;
        if (ok) failures += "returned true; ";
        if (!out.empty()) failures += "collected output; ";
        if (open_fds() != before) failures += "descriptors left open; ";
        if (!log_is({{kInfo, "Execute command: sh -c echo never "},
                     {kError, "fork failed!  (line #)"}}))
            failures += "log: " + testhost::dump();
        return failures;
    });
    if (result.rfind("SKIP: ", 0) == 0) GTEST_SKIP() << result.substr(6);
    EXPECT_EQ(result, "");
}

// The log function of the dup2 test: appends "<pid> <level> <text>" to a file, so that a
// call made by the forked child would show up with the child's process id.
int g_log_fd = -1;
void file_log(int level, const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    std::string line = std::to_string(getpid()) + " " + std::to_string(level) + " " +
                       testhost::normalize(text) + "\n";
    if (write(g_log_fd, line.data(), line.size()) < 0) {
    }
}

TEST_F(ChildProcess, Dup2FailureInTheChildIsWrittenToStandardErrorNotToTheHostLog) {
    testcommon::TempDir temp("qv-proc-dup2");
    const std::string dir = temp.path();
    ASSERT_FALSE(dir.empty());
    std::string logPath = dir + "/log", errPath = dir + "/stderr";
    std::string result = proctest::in_subprocess([&] {
        static testhost::TestLevels levels;
        g_log_fd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (g_log_fd < 0 || err < 0 || dup2(err, 2) < 0) return std::string("set-up failed");
        close(err);
        if (CQuillonvardeSDK::InitialSDK(file_log, &levels, "", "", "") != 0)
            return std::string("InitialSDK failed");
        if (ftruncate(g_log_fd, 0) != 0) return std::string("truncating the log failed");
        std::string why = proctest::fail_syscalls({SYS_dup2, SYS_dup3}, EBUSY);
        if (!why.empty()) return "SKIP: " + why;
        Lines out;
        bool ok = shell("echo never", out);
        std::string failures;
        if (ok) failures += "returned true; ";
        if (!out.empty()) failures += "collected output; ";
        return failures;
    });
    std::string log = testcommon::read_file(logPath);
    std::string err = testcommon::read_file(errPath);
    if (result.rfind("SKIP: ", 0) == 0) GTEST_SKIP() << result.substr(6);
    EXPECT_EQ(result, "");
    EXPECT_EQ(err, "dup2 failed,errno=16,error information is Device or resource busy\n");

    // Every host log call came from one process, the caller, with these messages.
    std::istringstream lines(log);
    std::vector<std::string> texts;
    std::string pid;
    for (std::string line; std::getline(lines, line);) {
        std::string thisPid = line.substr(0, line.find(' '));
        if (pid.empty()) pid = thisPid;
        EXPECT_EQ(thisPid, pid) << line;
        texts.push_back(line.substr(line.find(' ') + 1));
    }
    EXPECT_EQ(texts, (std::vector<std::string>{
                         std::to_string(kInfo) + " Execute command: sh -c echo never ",
                         std::to_string(kError) + " WEXITSTATUS ErrCode = 255!  (line #)",
                         std::to_string(kError) + " execute command failed!  (line #)"}));
}

TEST_F(ChildProcess, HostWithoutStandardOutputStillCollectsTheOutput) {
    // With descriptors 0 and 1 closed the pipe gets 0 and 1 itself; with only 1 closed the
    // read end gets descriptor 1.
    std::string result = proctest::in_subprocess([] {
        std::string failures;
        close(1);
        Lines out;
        if (!shell("echo only stdout closed", out) || out != Lines{"only stdout closed"})
            failures += "stdout closed: " + ::testing::PrintToString(out) + "; ";
        close(0);
        out.clear();
        if (!shell("echo stdin and stdout closed", out) || out != Lines{"stdin and stdout closed"})
            failures += "stdin and stdout closed: " + ::testing::PrintToString(out) + "; ";
        return failures;
    });
    EXPECT_EQ(result, "");
}

TEST_F(ChildProcess, DoExecvpReplacesTheChildOrEndsItWith255) {
    zev_common::ChildOptions options;
    options.in = zev_common::Stream::inherit();
    zev_common::ChildProcess child = zev_common::ChildProcess::call(
        [] {
            CQuillonvardeSDKImpl::doExecvp("sh", {"sh", "-c", "exit 7"});
            return 99;  // not reached
        },
        options);
    ASSERT_TRUE(child.running()) << child.error();
    zev_common::ChildStatus status;
    ASSERT_TRUE(child.wait(status));
    ASSERT_EQ(status.signal, 0);
    EXPECT_EQ(status.exit_code, 7);

    child = zev_common::ChildProcess::call(
        [] {
            CQuillonvardeSDKImpl::doExecvp("/nonexistent-dir/qv-no-such-program", {"x"});
            return 99;  // not reached
        },
        options);
    ASSERT_TRUE(child.running()) << child.error();
    ASSERT_TRUE(child.wait(status));
    ASSERT_EQ(status.signal, 0);
    EXPECT_EQ(status.exit_code, 255);
}

TEST_F(ChildProcess, WorksWithoutHostHooks) {
    auto* savedLog = CQuillonvardeSDKImpl::m_pLog;
    auto* savedLevels = CQuillonvardeSDKImpl::m_pDebugLevel;
    Lines out;
    CQuillonvardeSDKImpl::m_pLog = nullptr;
    CQuillonvardeSDKImpl::m_pDebugLevel = nullptr;
    bool failed = shell("echo a; exit 3", out);
    bool succeeded = shell("echo b", out);
    CQuillonvardeSDKImpl::m_pLog = savedLog;
    CQuillonvardeSDKImpl::m_pDebugLevel = nullptr;
    bool killed = shell("kill -KILL $$", out);  // a log function but no level object
    CQuillonvardeSDKImpl::m_pDebugLevel = savedLevels;

    EXPECT_FALSE(failed);
    EXPECT_TRUE(succeeded);
    EXPECT_FALSE(killed);
    EXPECT_EQ(out, (Lines{"a", "b"}));
    EXPECT_TRUE(testhost::entries().empty()) << testhost::dump();
}

}  // namespace
