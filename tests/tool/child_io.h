// Starting a program under test with its standard descriptors and limits set up the way a
// fault needs them: output on a full device, closed, or a pipe the test holds; a file-size
// limit that makes writes fail.
#ifndef ZEV_TESTS_TOOL_CHILD_IO_H
#define ZEV_TESTS_TOOL_CHILD_IO_H

#include <stdint.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace zev_test {

struct ChildIo {
    int stdin_fd = -1;   // descriptor to give as standard input; -1: /dev/null
    int stdout_fd = -1;  // descriptor to give as standard output; -1: closed
    bool close_stdin = false;
    bool ignore_sigpipe = false;   // SIGPIPE ignored: a write to a dead pipe fails with EPIPE
    uint64_t file_size_limit = 0;  // RLIMIT_FSIZE with SIGXFSZ ignored; 0: unchanged
    std::string err_path;          // standard error goes to this file
};

// Starts `program` with `args`; returns its pid (or -1).
pid_t start_child(const std::string& program, const std::vector<std::string>& args,
                  const ChildIo& io);

// Waits for the child: "exit N" or "signal N", so a failed check names what happened.
std::string wait_child(pid_t pid);

}  // namespace zev_test

#endif
