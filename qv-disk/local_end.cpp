#include "local_end.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "io-all.h"

namespace qvdisk {
namespace {

// The channel of a local end: every worker shares the one descriptor.
class LocalChannel : public Channel {
  public:
    explicit LocalChannel(LocalEnd& end) : end_(end) {}
    bool ready(Failure&) override { return true; }
    bool read(uint64_t pos, size_t n, char* buf, Failure& f) override {
        return end_.read_at(pos, n, buf, f);
    }
    bool write(uint64_t pos, size_t n, const char* buf, Failure& f) override {
        return end_.write_at(pos, n, buf, f);
    }
    bool finish(Failure&) override { return true; }

  private:
    LocalEnd& end_;
};

bool is_null_device(const struct stat& st) {
    return S_ISCHR(st.st_mode) && major(st.st_rdev) == 1 && minor(st.st_rdev) == 3;
}

}  // namespace

LocalEnd::LocalEnd(std::string name, std::string working, int fd, uint64_t size)
    : name_(std::move(name)), working_(std::move(working)), fd_(fd), size_(size) {}

LocalEnd::~LocalEnd() {
    if (fd_ >= 0) close(fd_);
}

std::unique_ptr<LocalEnd> LocalEnd::open_output(const std::string& path, bool keep, bool sparse,
                                                std::string& error) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode))
        return open_file_output(path, keep, sparse, error);
    if (S_ISDIR(st.st_mode)) {
        error = path + " is a directory";
        return nullptr;
    }
    if (sparse) {
        error = "--sparse: " + path +
                " is not a regular file; holes can be left only in a regular file";
        return nullptr;
    }
    // Read back is needed only to digest what a resumed run kept; a device that can only be
    // written is still a fine output.
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0 && (errno == EACCES || errno == EROFS || errno == ENXIO))
        fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        error = system_error(path);
        return nullptr;
    }
    struct stat opened = {};
    fstat(fd, &opened);
    if (is_null_device(opened)) return null_end(path, fd);
    if (lseek(fd, 0, SEEK_CUR) < 0) return pipe_end(path, fd);
    return device_end(path, fd, 0);
}

std::unique_ptr<LocalEnd> LocalEnd::open_standard_output(std::string& error) {
    // A descriptor of its own, so that ending the output leaves descriptor 1 to the process.
    const int fd = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (fd < 0) {
        error = system_error("standard output");
        return nullptr;
    }
    struct stat st = {};
    fstat(fd, &st);
    const std::string name = "standard output";
    return is_null_device(st) ? null_end(name, fd) : pipe_end(name, fd);
}

std::unique_ptr<LocalEnd> LocalEnd::open_input(const std::string& path, std::string& error) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    off_t end = fd < 0 ? -1 : lseek(fd, 0, SEEK_END);
    if (end < 0) {
        error = system_error(path);
        if (fd >= 0) close(fd);
        return nullptr;
    }
    struct stat st = {};
    fstat(fd, &st);
    const uint64_t size = static_cast<uint64_t>(end);
    return S_ISREG(st.st_mode) ? file_input(path, fd, size) : device_end(path, fd, size);
}

std::unique_ptr<Channel> LocalEnd::channel() { return std::make_unique<LocalChannel>(*this); }

std::string LocalEnd::system_error(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

bool LocalEnd::fail(Failure& f, const std::string& what) {
    f = {system_error(what), false};
    return false;
}

bool LocalEnd::sync(Failure& f) {
    // A character device or pipe has nothing to flush.
    if (fdatasync(fd_) == 0 || errno == EINVAL || errno == EROFS) return true;
    return fail(f, "flushing " + working_);
}

bool LocalEnd::read_at(uint64_t pos, size_t n, char* buf, Failure& f) {
    return zev::pread_all(fd_, buf, n, pos) ||
           fail(f, "reading " + working_ + " at " + std::to_string(pos));
}

bool LocalEnd::write_at(uint64_t pos, size_t n, const char* buf, Failure& f) {
    return zev::pwrite_all(fd_, buf, n, pos) || fail(f, "writing " + working_);
}

bool LocalEnd::close_flushed(bool ok, std::string& error) {
    Failure f;
    if (!sync(f) && ok) {
        error = f.text;
        ok = false;
    }
    if (close(fd_) != 0 && ok) {
        error = system_error("closing " + working_);
        ok = false;
    }
    fd_ = -1;
    return ok;
}

bool LocalEnd::finish_output(bool, uint64_t, std::string& error) {
    return close_flushed(true, error);
}

bool LocalEnd::status(struct stat& st) const { return fstat(fd_, &st) == 0; }

void LocalEnd::discard() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

}  // namespace qvdisk
