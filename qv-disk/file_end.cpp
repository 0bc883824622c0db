// A regular file as the local end. As an output it is this run's own partial file,
// "<name>.incomplete", renamed to its name only when complete; with --sparse, units of zeros
// are left as holes. As an input it is read in place.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <shared_mutex>

#include "io-all.h"
#include "local_end.h"
#include "own_files.h"

namespace qvdisk {
namespace {

// Holes are made in units of a file-system block: a unit of zeros is skipped, not written.
constexpr uint64_t kHoleUnit = 4096;

bool all_zero(const char* p, size_t n) {
    return n == 0 || (p[0] == 0 && !std::memcmp(p, p + 1, n - 1));
}

class FileInput : public LocalEnd {
  public:
    FileInput(const std::string& path, int fd, uint64_t size) : LocalEnd(path, path, fd, size) {}
    bool regular() const override { return true; }
};

class FileOutput : public LocalEnd {
  public:
    FileOutput(const std::string& path, const std::string& partial, int fd, bool sparse, bool punch,
               uint64_t size)
        : LocalEnd(path, partial, fd, size), sparse_(sparse), punch_(punch) {}
    bool regular() const override { return true; }
    bool sync(Failure& f) override;
    bool write_at(uint64_t pos, size_t n, const char* buf, Failure& f) override;
    bool finish_output(bool complete, uint64_t length, std::string& error) override;
    void discard() override {
        LocalEnd::discard();
        unlink(working_.c_str());
    }

  private:
    bool write_sparse(uint64_t pos, size_t n, const char* buf, Failure& f);

    const bool sparse_;
    const bool punch_;  // zero units of a sparse output kept from before are made holes again
    std::atomic<uint64_t> extent_{0};  // sparse: the end of the furthest write
    std::shared_mutex extending_;      // sparse: writes share it, making the file longer not
};

bool FileOutput::sync(Failure& f) {
    // Holes left at the end of a sparse output do not make the file longer: it is made as
    // long as what was written, so that the partial output holds every byte the journal is
    // about to say is done. No write runs meanwhile, so none is cut.
    if (sparse_) {
        std::unique_lock<std::shared_mutex> extending(extending_);
        struct stat st;
        if (fstat(fd_, &st) != 0 || (static_cast<uint64_t>(st.st_size) < extent_.load() &&
                                     ftruncate(fd_, static_cast<off_t>(extent_.load())) != 0))
            return fail(f, "setting the size of " + working_);
    }
    return LocalEnd::sync(f);
}

bool FileOutput::write_at(uint64_t pos, size_t n, const char* buf, Failure& f) {
    if (!sparse_) return LocalEnd::write_at(pos, n, buf, f);
    std::shared_lock<std::shared_mutex> writing(extending_);
    if (!write_sparse(pos, n, buf, f)) return false;
    uint64_t end = extent_.load();
    while (end < pos + n && !extent_.compare_exchange_weak(end, pos + n)) {
    }
    return true;
}

// Runs of non-zero units are written, units of zeros are left as holes (and made holes again
// where a kept partial output may hold older bytes).
bool FileOutput::write_sparse(uint64_t pos, size_t n, const char* buf, Failure& f) {
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
        const bool punched =
            zeros && (!punch_ || pos + i >= size_ ||
                      fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                                static_cast<off_t>(pos + i), static_cast<off_t>(run - i)) == 0);
        // Non-zero units, and zeros on a file system without holes, are written.
        if (!punched && !LocalEnd::write_at(pos + i, run - i, buf + i, f)) return false;
        i = run;
    }
    return true;
}

bool FileOutput::finish_output(bool complete, uint64_t length, std::string& error) {
    bool ok = true;
    if (complete && ftruncate(fd_, static_cast<off_t>(length)) != 0) {
        error = system_error("setting the size of " + working_);
        ok = false;
    }
    ok = close_flushed(ok, error);
    if (!complete || !ok) return ok;
    if (rename(working_.c_str(), name_.c_str()) != 0) {
        error = system_error("renaming " + working_ + " to " + name_);
        return false;
    }
    // The new name lasts only once its folder is on stable storage.
    zev::flush_folder_of(name_);
    working_ = name_;
    return true;
}

}  // namespace

std::unique_ptr<LocalEnd> open_file_output(const std::string& path, bool keep, bool sparse,
                                           std::string& error) {
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
    return std::make_unique<FileOutput>(path, partial, fd, sparse, keep,
                                        static_cast<uint64_t>(pst.st_size));
}

std::unique_ptr<LocalEnd> file_input(const std::string& path, int fd, uint64_t size) {
    return std::make_unique<FileInput>(path, fd, size);
}

}  // namespace qvdisk
