#include "output-file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "io-all.h"

namespace zev {

bool names_standard_output(const std::string& path) {
    return path == "-" || path == "/dev/stdout" || path == "/dev/fd/1" || path == "/proc/self/fd/1";
}

bool NewFile::create(const std::string& path) {
    discard();
    std::string pattern = path + ".XXXXXX";
    const int fd = mkostemp(&pattern[0], O_CLOEXEC);
    if (fd < 0) return false;
    // Private while incomplete, whatever the umask.
    fchmod(fd, 0600);
    path_ = path;
    temporary_ = pattern;
    fd_ = fd;
    return true;
}

bool NewFile::flush(mode_t mode, std::string& step) {
    if (fchmod(fd_, mode) != 0) {
        step = "setting the mode of " + temporary_;
        return false;
    }
    if (fsync(fd_) != 0) {
        step = "flushing " + temporary_ + " to stable storage";
        return false;
    }
    flushed_ = true;
    return true;
}

bool NewFile::commit(mode_t mode, std::string& step) {
    // Flushed before the rename and the folder after it: the name holds either the old file
    // or the whole new one, also after a crash.
    step.clear();
    if (flushed_ || flush(mode, step)) {
        const int closed = close(fd_);
        fd_ = -1;
        if (closed != 0)
            step = "closing " + temporary_;
        else if (rename(temporary_.c_str(), path_.c_str()) != 0)
            step = "renaming " + temporary_ + " to " + path_;
    }
    if (!step.empty()) {
        discard();
        return false;
    }
    temporary_.clear();
    flushed_ = false;
    if (!flush_folder_of(path_)) {
        step = "flushing the folder " + folder_of(path_) + " to stable storage";
        return false;
    }
    return true;
}

void NewFile::discard() {
    const int saved = errno;
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    if (!temporary_.empty()) unlink(temporary_.c_str());
    temporary_.clear();
    flushed_ = false;
    errno = saved;
}

}  // namespace zev
