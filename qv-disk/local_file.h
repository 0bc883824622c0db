// The local end of a copy: the output of a read or the input of a write. A regular output
// file is written under "<name>.incomplete" and takes its name only when complete; an output
// that exists and is not a regular file (a block or character device, a pipe) is written in
// place and never created, truncated or renamed.
#ifndef QV_DISK_LOCAL_FILE_H
#define QV_DISK_LOCAL_FILE_H

#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <string>

#include "copy_ends.h"

namespace qvdisk {

class LocalFile : public End {
  public:
    // The output of a read. `keep` keeps what a regular partial output holds (resume: only a
    // regular file of this user with no other name); otherwise a new partial output is made
    // exclusively, mode 0600, after removing a stale one of this user (a link or another
    // user's file is refused). nullptr with `error` set on failure.
    static std::unique_ptr<LocalFile> open_output(const std::string& path, bool keep, bool sparse,
                                                  std::string& error);
    // The input of a write; its size by seeking to the end, so that a block device can be
    // the input.
    static std::unique_ptr<LocalFile> open_input(const std::string& path, std::string& error);
    ~LocalFile() override;

    // The file the bytes are in now: "<name>.incomplete" for a regular output, else the name.
    const std::string& working_name() const { return working_; }
    // True for a regular output file (named .incomplete until complete).
    bool regular() const { return regular_; }
    // The input's size (write) or the output's current size (0 for devices and pipes).
    uint64_t size() const { return size_; }
    // fstat of the open file: false when it failed.
    bool status(struct stat& st) const;

    std::unique_ptr<Channel> channel() override;
    bool sync(Failure& f) override;
    bool sequential() const override { return !seekable_; }

    bool read_at(uint64_t pos, size_t n, char* buf, Failure& f);
    bool write_at(uint64_t pos, size_t n, const char* buf, Failure& f);

    // Ends a read's output. Complete: a regular file is cut to `length` (trailing holes),
    // flushed, renamed to its name and its folder flushed; a device is flushed. Otherwise
    // what arrived is flushed and kept. False with `error` when any of that failed.
    bool finish_output(bool complete, uint64_t length, std::string& error);
    // Removes a regular partial output (nothing of it is worth keeping).
    void discard();

  private:
    LocalFile(std::string name, std::string working, int fd, bool regular, bool seekable,
              bool sparse, bool punch, uint64_t size);
    bool write_run(uint64_t pos, size_t n, const char* buf, Failure& f);

    std::string name_;
    std::string working_;
    int fd_;
    bool regular_;
    bool seekable_;
    bool sparse_;
    bool punch_;  // zero units of a sparse output kept from before are made holes again
    uint64_t size_;
    std::atomic<uint64_t> extent_{0};  // sparse: the end of the furthest write
    std::shared_mutex extending_;      // sparse: writes share it, making the file longer not
};

}  // namespace qvdisk

#endif  // QV_DISK_LOCAL_FILE_H
