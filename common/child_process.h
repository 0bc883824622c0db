// The one way the tests and benchmarks start a program: argv, working directory, environment
// additions, where each standard stream comes from or goes to, resource limits and SIGPIPE,
// then waiting (with an optional time limit), killing and reaping. A child still running when
// its handle goes away is killed and reaped, so no path leaves a stray process. Failures are
// reported by return values.
#ifndef ZEV_COMMON_CHILD_PROCESS_H
#define ZEV_COMMON_CHILD_PROCESS_H

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace zev_common {

// Where a standard stream of the child comes from (standard input) or goes to (output and
// error). kCapture and kPipe are for output and error only.
struct Stream {
    enum Kind {
        kInherit,  // this process's own descriptor
        kNull,     // /dev/null
        kClosed,   // no descriptor at all: the child's use of it fails with EBADF
        kFd,       // a descriptor of this process (left open here)
        kFile,     // a file: read from, or created and truncated (appended to with `append`)
        kCapture,  // collected into a string by wait() or run_child()
        kPipe,     // a pipe whose read end the handle gives out (out_fd(), err_fd())
    };
    Kind kind = kInherit;
    int fd = -1;
    std::string path;
    bool append = false;

    static Stream inherit() { return {}; }
    static Stream null() { return {kNull, -1, "", false}; }
    static Stream closed() { return {kClosed, -1, "", false}; }
    static Stream from_fd(int fd) { return {kFd, fd, "", false}; }
    static Stream file(const std::string& path, bool append = false) {
        return {kFile, -1, path, append};
    }
    static Stream capture() { return {kCapture, -1, "", false}; }
    static Stream pipe() { return {kPipe, -1, "", false}; }
};

struct ChildOptions {
    std::string cwd;               // empty: this process's working directory
    std::vector<std::string> env;  // "NAME=VALUE" entries added to (or replacing in) environ
    Stream in = Stream::null();
    Stream out = Stream::inherit();
    Stream err = Stream::inherit();
    uint64_t address_space = 0;   // RLIMIT_AS; 0: unchanged
    uint64_t file_size = 0;       // RLIMIT_FSIZE with SIGXFSZ ignored; 0: unchanged
    bool ignore_sigpipe = false;  // otherwise SIGPIPE has its default action in the child
};

// Exit statuses the child itself uses when it fails before running the program.
constexpr int kExitSetupFailed = 126;  // a descriptor or the working directory
constexpr int kExitLimitFailed = 125;  // a resource limit
constexpr int kExitExecFailed = 127;   // the program could not be executed

// How a child ended.
struct ChildStatus {
    int exit_code = -1;      // -1 when the child did not exit normally
    int signal = 0;          // the signal that ended it, 0 when it exited
    double cpu_seconds = 0;  // user + system time of the child
    long max_rss_kib = 0;    // ru_maxrss of the child
    // "exit N" or "signal N", so a failed check names what happened.
    std::string describe() const;
    // The exit code, or 128 + the signal number, as a shell reports it.
    int shell_code() const { return signal != 0 ? 128 + signal : exit_code; }
};

// A started child. Move-only; destroying it while the child runs kills (SIGKILL) and reaps it.
class ChildProcess {
  public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts argv[0] (a path, not searched on PATH) with argv. On failure the handle holds no
    // child and error() says why.
    // Returns once the program runs (or could not be executed: then the child ends with
    // kExitExecFailed and error() says why).
    static ChildProcess start(const std::vector<std::string>& argv,
                              const ChildOptions& options = ChildOptions());
    // Forks this process and runs `body` in the child with `options` applied (env
    // excepted); the child ends with body's result as its exit status. For checks that need a
    // process of their own (resource limits, signal dispositions, system calls made to fail);
    // the calling process should be single-threaded, as for any fork without exec.
    static ChildProcess call(const std::function<int()>& body,
                             const ChildOptions& options = ChildOptions());

    pid_t pid() const { return pid_; }
    bool running() const { return pid_ > 0; }
    const std::string& error() const { return error_; }

    // Read ends of kPipe streams (-1 otherwise), owned by the handle.
    int out_fd() const { return out_fd_; }
    int err_fd() const { return err_fd_; }
    // Closes the read end of a pipe early (a reader that has seen all it wants).
    void close_out();
    void close_err();

    // Collects captured output and waits for the end. With `time_limit` >= 0 (seconds),
    // returns false when the child is still running when it passes (it keeps running; 0
    // polls); also false when there was no child. `status` is set when true; once the
    // child is reaped, every later call gives the same status.
    bool wait(ChildStatus& status, double time_limit = -1);
    // Sends `signal` to the child if it has not been reaped; false otherwise.
    bool send_signal(int signal);
    // Sends `signal` (if the child runs) and waits for the end.
    ChildStatus stop(int signal);
    // Output collected from kCapture streams so far.
    const std::string& out() const { return out_; }
    const std::string& err() const { return err_; }

  private:
    static ChildProcess launch(const std::vector<std::string>* argv,
                               const std::function<int()>* body, const ChildOptions& options);
    bool drain(double deadline);
    void release();

    pid_t pid_ = -1;
    int out_fd_ = -1, err_fd_ = -1;  // kPipe read ends
    int capture_fds_[2] = {-1, -1};  // kCapture read ends: output, error
    std::string out_, err_;
    std::string error_;
    bool reaped_ = false;
    ChildStatus status_;
};

// A child run to completion.
struct ChildResult {
    std::string out, err;    // what kCapture streams collected
    ChildStatus status;      // exit_code -1 also when the child did not start
    bool timed_out = false;  // killed because `time_limit` passed
    std::string error;       // why it could not be started, "" when it was
};

// Starts argv and waits for it, collecting captured output. With `time_limit` >= 0 the child
// is killed (SIGKILL) when it runs longer.
ChildResult run_child(const std::vector<std::string>& argv,
                      const ChildOptions& options = ChildOptions(), double time_limit = -1);

}  // namespace zev_common

#endif  // ZEV_COMMON_CHILD_PROCESS_H
