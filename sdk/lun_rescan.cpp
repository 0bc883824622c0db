// The LUN attachment check with its SCSI rescan, and the execution of a command as a child
// process.
//
// The backup node rescans its SCSI buses by running a system script as a child process
// (first as the calling user, then through sudo) and then checks that every LUN of a list
// has its entry under "/dev/disk/by-id/". The child's standard output is collected through a
// pipe as text lines; success is judged by the child's exit status.
#include <fcntl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Quillonvarde_sdk_impl.h"
#include "log_scope.h"

using qvsdk::OpScope;

namespace {

// The buffer in which isLunAttachedOnBackupNode forms a LUN device path
// "/dev/disk/by-id/<name>" to test the device's existence. OpenLocalLunDevFile opens the
// devices through a buffer of its own of 128 bytes (see there).
constexpr size_t kIsLunAttachedOnBackupNodePathSize = 512;

// Program and argument vector of the two rescan attempts.
const char kRescanScript[] = "/usr/bin/rescan-scsi-bus.sh";
const char kSudo[] = "/usr/bin/sudo";

// One piece of child output holds at most kLineBufferSize - 1 characters.
constexpr int kLineBufferSize = 1024;

// Exit status of a child that could not start its program ("exit(-1)" seen by the parent).
constexpr int kChildFailureStatus = 255;

// The null-terminated argv array for execvp, pointing into the texts of `args` (which must
// outlive it). Allocated with malloc; null when memory is short. Built by the parent before
// fork, so that the child does not have to allocate.
char** proc_build_argv(const std::vector<std::string>& args) {
    char** argv = static_cast<char**>(std::malloc((args.size() + 1) * sizeof(char*)));
    if (argv == nullptr) return nullptr;
    for (size_t i = 0; i < args.size(); ++i) argv[i] = const_cast<char*>(args[i].c_str());
    argv[args.size()] = nullptr;
    return argv;
}

// Appends the decimal text of `value` to `out` at `*pos` (no allocation, no locale).
void proc_append_decimal(char* out, size_t size, size_t* pos, int value) {
    char digits[16];
    size_t n = 0;
    unsigned int magnitude =
        value < 0 ? 0u - static_cast<unsigned int>(value) : static_cast<unsigned int>(value);
    do {
        digits[n++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0 && n < sizeof(digits));
    if (value < 0 && *pos + 1 < size) out[(*pos)++] = '-';
    while (n > 0 && *pos + 1 < size) out[(*pos)++] = digits[--n];
}

void proc_append_text(char* out, size_t size, size_t* pos, const char* text) {
    while (*text != '\0' && *pos + 1 < size) out[(*pos)++] = *text++;
}

// Reports a failed dup2 in the child, directly on its standard error. The host may run
// other threads while the child is forked; the child is then a copy of the host in which
// only the forking thread exists, and any lock another thread held at the fork (in the
// host's log function, its level object, malloc or stdio) stays locked forever. Calling
// the host's log function from here could therefore hang the child, so the message is
// formatted by hand and written with write(2), which is async-signal-safe. The error text
// comes from strerrordesc_np, a table lookup that neither allocates nor consults the locale.
void proc_report_dup2_failure(int err) {
    char message[256];
    size_t pos = 0;
    proc_append_text(message, sizeof(message), &pos, "dup2 failed,errno=");
    proc_append_decimal(message, sizeof(message), &pos, err);
    proc_append_text(message, sizeof(message), &pos, ",error information is ");
    const char* description = strerrordesc_np(err);
    proc_append_text(message, sizeof(message), &pos,
                     description != nullptr ? description : "Unknown error");
    proc_append_text(message, sizeof(message), &pos, "\n");
    const char* p = message;
    while (pos > 0) {
        ssize_t written = write(STDERR_FILENO, p, pos);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) break;
        p += written;
        pos -= static_cast<size_t>(written);
    }
}

// Replaces the child with the program; only returns to end the child with status 255.
[[noreturn]] void proc_exec_prepared(const char* program, char* const* argv) {
    execvp(program, argv);
    // _exit, not exit: the child must not run the host's atexit handlers or flush stdio
    // buffers that it copied from the host. The parent sees the same status 255.
    _exit(kChildFailureStatus);
}

// The child's side after fork: the write end of the pipe becomes standard output, then the
// program is started. Only async-signal-safe calls (close, dup2, fcntl, write, execvp,
// _exit) are made here, because the host may have had other threads running at the fork
// (see proc_report_dup2_failure). `argv` was prepared by the parent; null means that the
// parent could not allocate it.
[[noreturn]] void proc_run_child(const int* pipeFds, const char* program, char* const* argv) {
    close(pipeFds[0]);
    if (pipeFds[1] == STDOUT_FILENO) {
        // The host had no standard output, so the pipe got descriptor 1 itself. dup2 onto
        // itself would leave the close-on-exec flag set and the program without output.
        if (fcntl(STDOUT_FILENO, F_SETFD, 0) == -1) _exit(kChildFailureStatus);
    } else {
        // dup2 gives the new descriptor 1 no close-on-exec flag: the program keeps it.
        if (dup2(pipeFds[1], STDOUT_FILENO) == -1) {
            int err = errno;
            close(pipeFds[1]);
            proc_report_dup2_failure(err);
            _exit(kChildFailureStatus);
        }
        close(pipeFds[1]);
    }
    if (argv == nullptr) _exit(kChildFailureStatus);
    proc_exec_prepared(program, argv);
}

// Reaps a child whose output is not read (waitpid retried while interrupted).
void proc_reap_quietly(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

// The information text of a failed rescan attempt: each output line preceded by a line feed.
std::string proc_information_text(const std::vector<std::string>& output) {
    std::string text;
    for (const std::string& line : output) {
        text += '\n';
        text += line;
    }
    return text;
}

// Forms "/dev/disk/by-id/<name>" in `devPath` (kIsLunAttachedOnBackupNodePathSize bytes, cleared
// first). False when the existence test of the formed path would not be a test of the named LUN:
// - the path would be cut to kIsLunAttachedOnBackupNodePathSize - 1 characters, or the name holds a
// zero byte
//   (the path would end there): a shortened path may name another device;
// - the name is empty, "." or "..": the path names the directory itself or its parent,
//   which always exist.
bool proc_form_dev_path(const std::string& name, char* devPath) {
    std::memset(devPath, 0, kIsLunAttachedOnBackupNodePathSize);
    if (name.empty() || name == "." || name == "..") return false;
    if (name.find('\0') != std::string::npos) return false;
    int n = std::snprintf(devPath, kIsLunAttachedOnBackupNodePathSize, "/dev/disk/by-id/%s",
                          name.c_str());
    return n > 0 && static_cast<size_t>(n) < kIsLunAttachedOnBackupNodePathSize;
}

}  // namespace

bool CQuillonvardeSDKImpl::verify(const std::list<std::string>& LunWWNList) {
    OpScope<bool> scope("enter CQuillonvardeSDKImpl::verify...",
                        "leave CQuillonvardeSDKImpl::veryfy: OK",
                        "leave CQuillonvardeSDKImpl::verify: NOK");
    if (!RescanLUNWWNOnBackupNode()) {
        LOG_ERROR("rescan LUNWWN on backup node failed!  (line %d)", __LINE__);
        return scope.nok();
    }
    LOG_INFO("rescan LUNWWN on backup node success!");
    if (isLunAttachedOnBackupNode(LunWWNList)) return scope.ok();
    LOG_ERROR("CQuillonvardeSDKImpl::verify: file not exist! (line %d)", __LINE__);
    return scope.nok();
}

bool CQuillonvardeSDKImpl::isLunAttachedOnBackupNode(const std::list<std::string>& LunWWNList) {
    // A failed test logs no leave line.
    OpScope<bool> scope("enter CQuillonvardeSDKImpl::isLunAttachedOnBackupNode:...",
                        "leave CQuillonvardeSDKImpl::isLunAttachedOnBackupNode: OK", nullptr);
    if (LunWWNList.empty()) {
        LOG_ERROR("isLunAttachedOnBackupNode: LunWWNList is null!  (line %d)", __LINE__);
        return scope.nok();
    }
    char devPath[kIsLunAttachedOnBackupNodePathSize];
    for (const std::string& name : LunWWNList) {
        // The first name without an entry ends the test; the names after it are not looked at.
        if (!proc_form_dev_path(name, devPath)) return scope.nok();
        if (access(devPath, F_OK) != 0) return scope.nok();
    }
    return scope.ok();
}

bool CQuillonvardeSDKImpl::RescanLUNWWNOnBackupNode() {
    OpScope<bool> scope("enter CQuillonvardeSDKImpl::RescanLUNWWNOnBackupNode:...",
                        "leave CQuillonvardeSDKImpl::RescanLUNWWNOnBackupNode:OK",
                        "leave CQuillonvardeSDKImpl::RescanLUNWWNOnBackupNode:NOK");
    std::vector<std::string> args;
    std::vector<std::string> output;

    // First attempt: the script as the calling user.
    args.push_back(kRescanScript);
    if (executeSystemCommand(kRescanScript, args, output)) {
        LOG_INFO("rescan LUNWWN on back up node success! ");
        return scope.ok();
    }
    std::string information = proc_information_text(output);
    LOG_INFO("Normal user rescan failed! The information is %s", information.c_str());
    args.clear();
    output.clear();

    // Second attempt: the same script through sudo.
    args.push_back("sudo");
    args.push_back(kRescanScript);
    if (executeSystemCommand(kSudo, args, output)) {
        LOG_INFO("rescan LUNWWN on back up node success!");
        return scope.ok();
    }
    information = proc_information_text(output);
    LOG_ERROR("rescan LUNWWN on back up node failed! The information is %s", information.c_str());
    return scope.nok();
}

bool CQuillonvardeSDKImpl::executeSystemCommand(const std::string& program,
                                                const std::vector<std::string>& args,
                                                std::vector<std::string>& output) {
    std::string command;
    for (const std::string& arg : args) {
        command += arg;
        command += ' ';
    }
    LOG_INFO("Execute command: %s", command.c_str());

    // Everything the child needs is prepared here, before fork: the child must not allocate
    // (another host thread may hold the allocator's lock at the moment of the fork).
    const char* path = program.c_str();
    char** argv = proc_build_argv(args);

    // Both ends are close-on-exec, so that programs the host starts meanwhile from other
    // threads do not inherit them (an inherited write end would hold back the end of our
    // output until that other program ends). The child's dup2 onto standard output makes
    // a descriptor without the flag, which the program keeps.
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        std::free(argv);
        LOG_ERROR("pipe failed!  (line %d)", __LINE__);
        return false;
    }

    pid_t pid = fork();
    if (pid < 0) {
        close(pipeFds[0]);
        close(pipeFds[1]);
        std::free(argv);
        LOG_ERROR("fork failed!  (line %d)", __LINE__);
        return false;
    }
    if (pid == 0) proc_run_child(pipeFds, path, argv);

    std::free(argv);
    if (getChildProcessOutput(pid, pipeFds, output)) {
        LOG_INFO("execute command sueccess!");
        return true;
    }
    LOG_ERROR("execute command failed!  (line %d)", __LINE__);
    return false;
}

void CQuillonvardeSDKImpl::doExecvp(const std::string& program,
                                    const std::vector<std::string>& args) {
    // For a child of a single-threaded caller: builds the argument array itself.
    // executeSystemCommand builds it before fork instead and goes straight to execvp.
    char** argv = proc_build_argv(args);
    if (argv == nullptr) _exit(kChildFailureStatus);
    execvp(program.c_str(), argv);
    std::free(argv);
    _exit(kChildFailureStatus);
}

bool CQuillonvardeSDKImpl::getChildProcessOutput(int pid, const int* pipeFds,
                                                 std::vector<std::string>& output) {
    // Without the parent's copy of the write end, end of file comes once the child (and
    // whatever inherited its standard output) has closed it.
    close(pipeFds[1]);
    FILE* stream = fdopen(pipeFds[0], "r");
    if (stream == nullptr) {
        // Not silently left behind: the read end is closed (a writing child then ends on
        // the broken pipe) and the child is reaped.
        close(pipeFds[0]);
        proc_reap_quietly(pid);
        return false;
    }

    // Read everything before waiting, so that a child with more output than the pipe holds
    // never stalls. fgets stops at a line feed or after kLineBufferSize - 1 characters.
    char line[kLineBufferSize];
    size_t kept = 0;  // characters of the current piece read before an interrupted read
    for (;;) {
        if (kept == 0) std::memset(line, 0, sizeof(line));
        if (std::fgets(line + kept, static_cast<int>(sizeof(line) - kept), stream) == nullptr) {
            if (std::ferror(stream) && errno == EINTR) {
                // A signal interrupted the read: fgets returned nothing, but the characters
                // it had already taken are in the (cleared) buffer. Read on behind them.
                std::clearerr(stream);
                kept = std::strlen(line);
                continue;
            }
            if (kept == 0) break;  // end of output (or a read error)
            // The output ended right after an interrupted read: keep that last piece.
        }
        kept = 0;
        size_t length = std::strlen(line);
        if (length > 0 && (line[length - 1] == '\n' || line[length - 1] == '\r'))
            line[--length] = '\0';
        output.emplace_back(line, length);
    }
    std::fclose(stream);

    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            LOG_ERROR("waitpid(%d) errno not equal EINTR!  (line %d)", pid, __LINE__);
            return false;
        }
    }
    if (WIFSIGNALED(status)) {
        // A killed program did not finish its work: not a success.
        LOG_ERROR("child process terminated by signal %d!  (line %d)", WTERMSIG(status), __LINE__);
        return false;
    }
    int code = WEXITSTATUS(status);
    if (code != 0) {
        LOG_ERROR("WEXITSTATUS ErrCode = %d!  (line %d)", code, __LINE__);
        return false;
    }
    return true;
}
