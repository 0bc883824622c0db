#include "process_test_util.h"

#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "child_process.h"

namespace proctest {

std::string in_subprocess(const std::function<std::string()>& body) {
    // The body's result travels through a pipe of its own: whatever else the child writes
    // goes where the test's output goes.
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return std::string("pipe: ") + std::strerror(errno);
    zev_common::ChildOptions inherit_all;
    inherit_all.in = zev_common::Stream::inherit();
    zev_common::ChildProcess child = zev_common::ChildProcess::call(
        [&]() {
            close(fds[0]);
            std::string result;
            try {
                result = body();
            } catch (const std::exception& e) {
                result = std::string("exception: ") + e.what();
            }
            const char* p = result.data();
            size_t left = result.size();
            while (left > 0) {
                ssize_t n = write(fds[1], p, left);
                if (n <= 0) break;
                p += n;
                left -= static_cast<size_t>(n);
            }
            return 0;
        },
        inherit_all);
    close(fds[1]);
    if (!child.running()) {
        close(fds[0]);
        return child.error();
    }
    std::string result;
    char buf[4096];
    for (;;) {
        ssize_t n = read(fds[0], buf, sizeof(buf));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        result.append(buf, static_cast<size_t>(n));
    }
    close(fds[0]);
    zev_common::ChildStatus status;
    if (!child.wait(status) || status.exit_code != 0)
        result += " (subprocess ended abnormally: " + status.describe() + ")";
    return result;
}

std::string fail_syscalls(const std::vector<int>& numbers, int error) {
    std::vector<sock_filter> prog;
    prog.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)));
    prog.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0));
    prog.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    prog.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)));
    for (int nr : numbers) {
        prog.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(nr), 0, 1));
        prog.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (static_cast<unsigned>(error) &
                                                                      SECCOMP_RET_DATA)));
    }
    prog.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    sock_fprog fprog{};
    fprog.len = static_cast<unsigned short>(prog.size());
    fprog.filter = prog.data();
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return std::string("PR_SET_NO_NEW_PRIVS: ") + std::strerror(errno);
    if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &fprog) != 0)
        return std::string("seccomp filter: ") + std::strerror(errno);
    return "";
}

}  // namespace proctest
