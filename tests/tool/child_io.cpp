#include "child_io.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace zev_test {

pid_t start_child(const std::string& program, const std::vector<std::string>& args,
                  const ChildIo& io) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid != 0) return pid;
    // Child: only async-signal-safe calls from here on.
    const int err = open(io.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (err < 0 || dup2(err, 2) < 0) _exit(126);
    const int in = io.stdin_fd >= 0 ? io.stdin_fd : open("/dev/null", O_RDONLY);
    if (dup2(in, 0) < 0) _exit(126);
    if (io.stdout_fd >= 0) {
        if (dup2(io.stdout_fd, 1) < 0) _exit(126);
    } else {
        close(1);
    }
    if (io.close_stdin) close(0);
    signal(SIGPIPE, io.ignore_sigpipe ? SIG_IGN : SIG_DFL);
    if (io.file_size_limit != 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {io.file_size_limit, io.file_size_limit};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(125);
    }
    execv(program.c_str(), argv.data());
    _exit(127);
}

std::string wait_child(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return "not waited";
    }
    if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
    return "signal " + std::to_string(WTERMSIG(status));
}

}  // namespace zev_test
