#include "run_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "io-all.h"
#include "own_files.h"

namespace qvdisk {

std::unique_ptr<RunLock> RunLock::take(const std::string& what, const std::string& description,
                                       std::string& error) {
    const std::string dir = state_folder(error);
    if (dir.empty()) return nullptr;
    const std::string path = dir + "/" + key_name(what) + ".lock";
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = "the run lock " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const bool held = errno == EWOULDBLOCK;
        const int why = errno;
        // The holder writes its process number right after taking the lock: a run that
        // arrives in between waits a moment for it (at most 0.2 s).
        std::string holder;
        for (int attempt = 0; held && holder.empty() && attempt < 20; ++attempt) {
            char text[32] = {};
            if (pread(fd, text, sizeof text - 1, 0) > 0) holder = text;
            while (!holder.empty() && (holder.back() == '\n' || holder.back() == ' '))
                holder.pop_back();
            if (holder.empty()) usleep(10000);
        }
        error = held ? "another qv-disk run (" +
                           (holder.empty() ? std::string("its process number unknown")
                                           : "process " + holder) +
                           ") is writing " + description + "; this run stops and leaves it alone"
                     : "the run lock " + path + ": " + std::strerror(why);
        close(fd);
        return nullptr;
    }
    // The holder's process, for the message of a run that finds the lock taken.
    const std::string pid = std::to_string(getpid()) + "\n";
    if (ftruncate(fd, 0) != 0 || !zev::pwrite_all(fd, pid.data(), pid.size(), 0)) {
        // The lock holds without the number; only the other run's message lacks it.
    }
    return std::unique_ptr<RunLock>(new RunLock(fd));
}

RunLock::~RunLock() { close(fd_); }

std::string output_lock_key(const std::string& path) {
    // A regular output takes its name by a rename, so the name is what runs share; a block
    // device is written in place, whatever name leads to it. A character device or a pipe
    // keeps nothing that a second run could mix up.
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode))
        return "output\n" + absolute_name(path);
    if (S_ISBLK(st.st_mode)) return "device\n" + std::to_string(st.st_rdev);
    return "";
}

}  // namespace qvdisk
