#include "local_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "io-all.h"
#include "own_files.h"

namespace qvdisk {
namespace {

// Holes are made in units of a file-system block: a unit of zeros is skipped, not written.
constexpr uint64_t kHoleUnit = 4096;

std::string system_error(const std::string& what) { return what + ": " + std::strerror(errno); }

bool all_zero(const char* p, size_t n) {
    return n == 0 || (p[0] == 0 && !std::memcmp(p, p + 1, n - 1));
}

// The channel of the local file: every worker shares the one descriptor.
class FileChannel : public Channel {
  public:
    explicit FileChannel(LocalFile& file) : file_(file) {}
    bool ready(Failure&) override { return true; }
    bool read(uint64_t pos, size_t n, char* buf, Failure& f) override {
        return file_.read_at(pos, n, buf, f);
    }
    bool write(uint64_t pos, size_t n, const char* buf, Failure& f) override {
        return file_.write_at(pos, n, buf, f);
    }
    bool finish(Failure&) override { return true; }

  private:
    LocalFile& file_;
};

}  // namespace

LocalFile::LocalFile(std::string name, std::string working, int fd, bool regular, bool seekable,
                     bool sparse, bool punch, uint64_t size)
    : name_(std::move(name)),
      working_(std::move(working)),
      fd_(fd),
      regular_(regular),
      seekable_(seekable),
      sparse_(sparse),
      punch_(punch),
      size_(size) {}

LocalFile::~LocalFile() {
    if (fd_ >= 0) close(fd_);
}

std::unique_ptr<LocalFile> LocalFile::open_output(const std::string& path, bool keep, bool sparse,
                                                  std::string& error) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        if (S_ISDIR(st.st_mode)) {
            error = path + " is a directory";
            return nullptr;
        }
        if (sparse) {
            error = "--sparse: " + path +
                    " is not a regular file; holes can be left only in a regular file";
            return nullptr;
        }
        // Read back is needed only to digest what a resumed run kept; a device that can
        // only be written is still a fine output.
        int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0 && (errno == EACCES || errno == EROFS || errno == ENXIO))
            fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0) {
            error = system_error(path);
            return nullptr;
        }
        bool seekable = lseek(fd, 0, SEEK_CUR) >= 0;
        return std::unique_ptr<LocalFile>(
            new LocalFile(path, path, fd, false, seekable, false, false, 0));
    }
    // The partial output is this run's own file: made anew exclusively, or for a resume the
    // one an earlier run of this user made; never a link or another user's file. A stale
    // partial of an earlier run gives way to a new one when the run starts afresh.
    const std::string partial = path + ".incomplete";
    bool missing = false;
    int fd = -1;
    if (keep) {
        fd = open_own(partial, O_RDWR, missing, error);
    } else {
        fd = create_exclusive(partial, error);
        std::string why;
        if (fd < 0 && errno == EEXIST && left_by_this_user(partial, why) &&
            unlink(partial.c_str()) == 0)
            fd = create_exclusive(partial, error);
        else if (fd < 0 && errno == EEXIST)
            error = "refusing to write " + path + ": " + partial + " is in the way (" + why +
                    "); qv-disk never writes through it: remove it or choose another output";
    }
    if (fd < 0) return nullptr;
    struct stat pst = {};
    fstat(fd, &pst);
    return std::unique_ptr<LocalFile>(new LocalFile(path, partial, fd, true, true, sparse, keep,
                                                    static_cast<uint64_t>(pst.st_size)));
}

std::unique_ptr<LocalFile> LocalFile::open_input(const std::string& path, std::string& error) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    off_t end = fd < 0 ? -1 : lseek(fd, 0, SEEK_END);
    if (end < 0) {
        error = system_error(path);
        if (fd >= 0) close(fd);
        return nullptr;
    }
    struct stat st = {};
    fstat(fd, &st);
    return std::unique_ptr<LocalFile>(new LocalFile(path, path, fd, S_ISREG(st.st_mode), true,
                                                    false, false, static_cast<uint64_t>(end)));
}

std::unique_ptr<Channel> LocalFile::channel() { return std::make_unique<FileChannel>(*this); }

bool LocalFile::sync(Failure& f) {
    // Holes left at the end of a sparse output do not make the file longer: it is made as
    // long as what was written, so that the partial output holds every byte the journal is
    // about to say is done. No write runs meanwhile, so none is cut.
    if (sparse_ && regular_) {
        std::unique_lock<std::shared_mutex> extending(extending_);
        struct stat st;
        if (fstat(fd_, &st) != 0 || (static_cast<uint64_t>(st.st_size) < extent_.load() &&
                                     ftruncate(fd_, static_cast<off_t>(extent_.load())) != 0)) {
            f = {system_error("setting the size of " + working_), false};
            return false;
        }
    }
    // A character device or pipe has nothing to flush.
    if (fdatasync(fd_) == 0 || errno == EINVAL || errno == EROFS) return true;
    f = {system_error("flushing " + working_), false};
    return false;
}

bool LocalFile::read_at(uint64_t pos, size_t n, char* buf, Failure& f) {
    if (zev::pread_all(fd_, buf, n, pos)) return true;
    f = {system_error("reading " + working_ + " at " + std::to_string(pos)), false};
    return false;
}

bool LocalFile::write_run(uint64_t pos, size_t n, const char* buf, Failure& f) {
    bool ok = seekable_ ? zev::pwrite_all(fd_, buf, n, pos) : zev::write_all(fd_, buf, n);
    if (!ok) f = {system_error("writing " + working_), false};
    return ok;
}

// Sparse: runs of non-zero units are written, units of zeros are left as holes (and made
// holes again where a kept partial output may hold older bytes).
bool LocalFile::write_at(uint64_t pos, size_t n, const char* buf, Failure& f) {
    if (!sparse_) return write_run(pos, n, buf, f);
    std::shared_lock<std::shared_mutex> writing(extending_);
    size_t i = 0;
    while (i < n) {
        size_t unit =
            static_cast<size_t>(std::min<uint64_t>(n - i, kHoleUnit - (pos + i) % kHoleUnit));
        size_t run = i + unit;
        const bool zeros = all_zero(buf + i, unit);
        while (run < n) {
            size_t next = std::min<size_t>(n - run, kHoleUnit);
            if (all_zero(buf + run, next) != zeros) break;
            run += next;
        }
        if (!zeros) {
            if (!write_run(pos + i, run - i, buf + i, f)) return false;
        } else if (punch_ && pos + i < size_ &&
                   fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                             static_cast<off_t>(pos + i), static_cast<off_t>(run - i)) != 0) {
            // A file system without holes: write the zeros.
            if (!write_run(pos + i, run - i, buf + i, f)) return false;
        }
        i = run;
    }
    uint64_t end = extent_.load();
    while (end < pos + n && !extent_.compare_exchange_weak(end, pos + n)) {
    }
    return true;
}

bool LocalFile::finish_output(bool complete, uint64_t length, std::string& error) {
    bool ok = true;
    if (complete && regular_ && ftruncate(fd_, static_cast<off_t>(length)) != 0) {
        error = system_error("setting the size of " + working_);
        ok = false;
    }
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
    if (!complete || !ok || !regular_) return ok;
    if (rename(working_.c_str(), name_.c_str()) != 0) {
        error = system_error("renaming " + working_ + " to " + name_);
        return false;
    }
    // The new name lasts only once its folder is on stable storage.
    std::string dir =
        name_.find('/') == std::string::npos ? "." : name_.substr(0, name_.rfind('/') + 1);
    int d = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (d >= 0) {
        fsync(d);
        close(d);
    }
    working_ = name_;
    return true;
}

bool LocalFile::status(struct stat& st) const { return fstat(fd_, &st) == 0; }

void LocalFile::discard() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    if (regular_) unlink(working_.c_str());
}

}  // namespace qvdisk
