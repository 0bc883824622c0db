#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "timing.h"

extern char** environ;

namespace zev_common {
namespace {

std::string errno_text(const char* what, int error) {
    return std::string(what) + ": " + std::strerror(error);
}

void close_fd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// The environment of the child: this process's, with every name in `extra` replaced.
std::vector<std::string> child_environment(const std::vector<std::string>& extra) {
    std::vector<std::string> env = extra;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('=') + 1);
        bool replaced = false;
        for (const std::string& x : extra) replaced = replaced || x.rfind(name, 0) == 0;
        if (!replaced) env.push_back(entry);
    }
    return env;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (std::string& s : strings) out.push_back(&s[0]);
    out.push_back(nullptr);
    return out;
}

// What the child does with one standard descriptor, prepared before the fork.
struct Plan {
    int target;
    Stream::Kind kind;
    int source = -1;             // descriptor to duplicate (kFd, or a pipe's write end)
    const char* path = nullptr;  // file to open (kNull, kFile)
    int flags = 0;
};

// In the child (only async-signal-safe calls): opens or duplicates the stream's descriptor
// onto its number. Files are opened first onto a free number, then moved.
bool apply(const Plan& p) {
    int fd = p.source;
    if (p.kind == Stream::kInherit) return true;
    if (p.kind == Stream::kClosed) {
        close(p.target);
        return true;
    }
    if (p.path != nullptr) fd = open(p.path, p.flags, 0644);
    if (fd < 0) return false;
    if (fd == p.target) return fcntl(fd, F_SETFD, 0) == 0;  // keep it across exec
    const bool moved = dup2(fd, p.target) == p.target;
    // A file opened here may have taken the number of a stream that stays closed.
    if (p.path != nullptr) close(fd);
    return moved;
}

// The pipes of captured and piped output: the read end stays here, the write end goes to the
// child. Both are close-on-exec, so no other child inherits them.
struct Pipes {
    int read_ends[3] = {-1, -1, -1};
    int write_ends[3] = {-1, -1, -1};
    void close_all() {
        for (int k = 0; k < 3; ++k) {
            close_fd(read_ends[k]);
            close_fd(write_ends[k]);
        }
    }
};

// Prepares what the child does with each standard descriptor, making the pipes it needs.
// Empty, or why the child cannot be started.
std::string plan_streams(const ChildOptions& options, Plan plans[3], Pipes& pipes) {
    const Stream* streams[3] = {&options.in, &options.out, &options.err};
    for (int i = 0; i < 3; ++i) {
        const Stream& s = *streams[i];
        Plan& p = plans[i];
        switch (s.kind) {
            case Stream::kInherit:
            case Stream::kClosed:
                break;
            case Stream::kNull:
                p.path = "/dev/null";
                p.flags = i == 0 ? O_RDONLY : O_WRONLY;
                break;
            case Stream::kFd:
                p.source = s.fd;
                break;
            case Stream::kFile:
                p.path = s.path.c_str();
                p.flags = i == 0 ? O_RDONLY : O_WRONLY | O_CREAT | (s.append ? O_APPEND : O_TRUNC);
                break;
            case Stream::kCapture:
            case Stream::kPipe: {
                int fds[2];
                if (i == 0) return "standard input cannot be captured";
                if (pipe2(fds, O_CLOEXEC) != 0) return errno_text("pipe", errno);
                pipes.read_ends[i] = fds[0];
                pipes.write_ends[i] = fds[1];
                p.source = fds[1];
                break;
            }
        }
    }
    return std::string();
}

// The child after the fork: only async-signal-safe calls. Sets up its descriptors, folder and
// limits, then runs `body` or executes the program; a failed exec is written to
// `exec_report`.
[[noreturn]] void run_child(const Plan plans[3], const ChildOptions& options,
                            const std::function<int()>* body, std::vector<char*>& argv,
                            std::vector<char*>& envp, int exec_report) {
    for (int i = 0; i < 3; ++i)
        if (!apply(plans[i])) _exit(kExitSetupFailed);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(kExitSetupFailed);
    if (options.address_space != 0) {
        struct rlimit limit = {options.address_space, options.address_space};
        if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(kExitLimitFailed);
    }
    if (options.file_size != 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {options.file_size, options.file_size};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(kExitLimitFailed);
    }
    signal(SIGPIPE, options.ignore_sigpipe ? SIG_IGN : SIG_DFL);
    if (body != nullptr) _exit((*body)());
    if (envp.empty())
        execv(argv[0], argv.data());
    else
        execve(argv[0], argv.data(), envp.data());
    const int exec_error = errno;
    if (write(exec_report, &exec_error, sizeof exec_error) < 0) _exit(kExitExecFailed);
    _exit(kExitExecFailed);
}

// The error a child's failed exec wrote on `fd` (which is closed), or 0 when the exec happened.
int read_exec_report(int& fd) {
    int exec_error = 0;
    ssize_t n;
    while ((n = read(fd, &exec_error, sizeof exec_error)) < 0 && errno == EINTR) {
    }
    close_fd(fd);
    return n == static_cast<ssize_t>(sizeof exec_error) ? exec_error : 0;
}

}  // namespace

std::string ChildStatus::describe() const {
    if (signal != 0) return "signal " + std::to_string(signal);
    if (exit_code >= 0) return "exit " + std::to_string(exit_code);
    return "not waited";
}

ChildProcess::~ChildProcess() { release(); }

ChildProcess::ChildProcess(ChildProcess&& other) noexcept { *this = std::move(other); }

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this == &other) return *this;
    release();
    pid_ = std::exchange(other.pid_, -1);
    out_fd_ = std::exchange(other.out_fd_, -1);
    err_fd_ = std::exchange(other.err_fd_, -1);
    capture_fds_[0] = std::exchange(other.capture_fds_[0], -1);
    capture_fds_[1] = std::exchange(other.capture_fds_[1], -1);
    out_ = std::move(other.out_);
    err_ = std::move(other.err_);
    error_ = std::move(other.error_);
    reaped_ = std::exchange(other.reaped_, false);
    status_ = other.status_;
    return *this;
}

void ChildProcess::release() {
    if (pid_ > 0) stop(SIGKILL);
    close_out();
    close_err();
    close_fd(capture_fds_[0]);
    close_fd(capture_fds_[1]);
}

void ChildProcess::close_out() { close_fd(out_fd_); }
void ChildProcess::close_err() { close_fd(err_fd_); }

ChildProcess ChildProcess::start(const std::vector<std::string>& argv,
                                 const ChildOptions& options) {
    if (!argv.empty()) return launch(&argv, nullptr, options);
    ChildProcess child;
    child.error_ = "no program to start";
    return child;
}

ChildProcess ChildProcess::call(const std::function<int()>& body, const ChildOptions& options) {
    return launch(nullptr, &body, options);
}

ChildProcess ChildProcess::launch(const std::vector<std::string>* argv_in,
                                  const std::function<int()>* body, const ChildOptions& options) {
    ChildProcess child;
    std::vector<std::string> args;
    std::vector<char*> argv;
    std::vector<std::string> env_storage;
    std::vector<char*> envp;
    if (argv_in != nullptr) {
        args = *argv_in;
        argv = pointers(args);
        if (!options.env.empty()) {
            env_storage = child_environment(options.env);
            envp = pointers(env_storage);
        }
    }
    Pipes pipes;
    Plan plans[3] = {{0, options.in.kind}, {1, options.out.kind}, {2, options.err.kind}};
    child.error_ = plan_streams(options, plans, pipes);
    // A program's child reports a failed exec through this close-on-exec pipe; end of file
    // means the exec happened.
    int exec_report[2] = {-1, -1};
    if (child.error_.empty() && argv_in != nullptr && pipe2(exec_report, O_CLOEXEC) != 0)
        child.error_ = errno_text("pipe", errno);
    if (!child.error_.empty()) {
        pipes.close_all();
        return child;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        run_child(plans, options, body, argv, envp, exec_report[1]);
    }
    const int fork_error = errno;
    for (int& fd : pipes.write_ends) close_fd(fd);
    close_fd(exec_report[1]);
    if (pid < 0) {
        pipes.close_all();
        close_fd(exec_report[0]);
        child.error_ = errno_text("fork", fork_error);
        return child;
    }
    child.pid_ = pid;
    if (exec_report[0] >= 0) {
        const int exec_error = read_exec_report(exec_report[0]);
        if (exec_error != 0) child.error_ = errno_text(("exec " + args[0]).c_str(), exec_error);
    }
    const Stream* streams[3] = {&options.in, &options.out, &options.err};
    for (int i = 1; i < 3; ++i) {
        if (streams[i]->kind == Stream::kPipe)
            (i == 1 ? child.out_fd_ : child.err_fd_) = pipes.read_ends[i];
        if (streams[i]->kind == Stream::kCapture) child.capture_fds_[i - 1] = pipes.read_ends[i];
    }
    return child;
}

// Reads the captured streams until both end or `deadline` (monotonic seconds, < 0: none)
// passes; false on the time limit.
bool ChildProcess::drain(double deadline) {
    std::string* sinks[2] = {&out_, &err_};
    char buffer[65536];
    while (capture_fds_[0] >= 0 || capture_fds_[1] >= 0) {
        struct pollfd fds[2] = {{capture_fds_[0], POLLIN, 0}, {capture_fds_[1], POLLIN, 0}};
        int timeout = -1;
        if (deadline >= 0) {
            const double left = deadline - now_seconds();
            if (left <= 0) return false;
            timeout = static_cast<int>(left * 1000) + 1;
        }
        const int ready = poll(fds, 2, timeout);
        if (ready < 0 && errno != EINTR) return false;
        for (int i = 0; ready > 0 && i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0)
                sinks[i]->append(buffer, static_cast<size_t>(n));
            else if (n == 0 || errno != EINTR)
                close_fd(capture_fds_[i]);
        }
    }
    return true;
}

bool ChildProcess::send_signal(int signal) { return pid_ > 0 && kill(pid_, signal) == 0; }

bool ChildProcess::wait(ChildStatus& status, double time_limit) {
    if (reaped_) status = status_;
    if (pid_ <= 0) return reaped_;
    const double deadline = time_limit >= 0 ? now_seconds() + time_limit : -1;
    if (!drain(deadline)) return false;
    int raw = 0;
    struct rusage usage {};
    for (;;) {
        const pid_t got = wait4(pid_, &raw, deadline >= 0 ? WNOHANG : 0, &usage);
        if (got == pid_) break;
        if (got < 0 && errno != EINTR) {
            // Not our child any more (SIGCHLD ignored, or reaped elsewhere): nothing to wait for.
            pid_ = -1;
            return false;
        }
        if (got == 0) {
            if (now_seconds() >= deadline) return false;
            struct timespec pause = {0, 2000000};
            nanosleep(&pause, nullptr);
        }
    }
    pid_ = -1;
    status = ChildStatus();
    if (WIFEXITED(raw)) status.exit_code = WEXITSTATUS(raw);
    if (WIFSIGNALED(raw)) status.signal = WTERMSIG(raw);
    status.cpu_seconds =
        static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
        static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
    status.max_rss_kib = usage.ru_maxrss;
    reaped_ = true;
    status_ = status;
    return true;
}

ChildStatus ChildProcess::stop(int signal) {
    ChildStatus status;
    if (pid_ <= 0) return status;
    kill(pid_, signal);
    // Captured output still open would keep wait() reading: a killed child's output is of no
    // interest beyond what has arrived.
    if (signal == SIGKILL) {
        close_fd(capture_fds_[0]);
        close_fd(capture_fds_[1]);
    }
    wait(status);
    return status;
}

ChildResult run_child(const std::vector<std::string>& argv, const ChildOptions& options,
                      double time_limit) {
    ChildResult result;
    ChildProcess child = ChildProcess::start(argv, options);
    if (!child.running()) {
        result.error = child.error();
        return result;
    }
    if (!child.wait(result.status, time_limit)) {
        result.timed_out = true;
        result.status = child.stop(SIGKILL);
    }
    result.out = child.out();
    result.err = child.err();
    return result;
}

}  // namespace zev_common
