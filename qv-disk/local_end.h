// The local end of a copy: the output of a read or the input of a write, one kind per file:
//  - file_end: a regular file; an output is written under "<name>.incomplete" and takes its
//    name only when complete, with holes where --sparse leaves them;
//  - device_end: a block or character device, read and written in place;
//  - pipe_end: an output that cannot seek (a pipe, a socket, a terminal), written in order;
//  - null_end: the null device as output, whose writes are skipped.
// An output that exists and is not a regular file is never created, truncated or renamed.
// The kind is chosen where the end is opened, from what the name is.
#ifndef QV_DISK_LOCAL_END_H
#define QV_DISK_LOCAL_END_H

#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <string>

#include "copy_ends.h"

namespace qvdisk {

class LocalEnd : public End {
  public:
    // The output of a read. `keep` keeps what a regular partial output holds (resume: only a
    // regular file of this user with no other name); otherwise a new partial output is made
    // exclusively, mode 0600, after removing a stale one of this user (a link or another
    // user's file is refused). nullptr with `error` set on failure.
    static std::unique_ptr<LocalEnd> open_output(const std::string& path, bool keep, bool sparse,
                                                 std::string& error);
    // Standard output as the output of a read: written in order through a descriptor of its
    // own, never created, truncated or renamed.
    static std::unique_ptr<LocalEnd> open_standard_output(std::string& error);
    // The input of a write; its size by seeking to the end, so that a block device can be
    // the input.
    static std::unique_ptr<LocalEnd> open_input(const std::string& path, std::string& error);
    ~LocalEnd() override;

    // The file the bytes are in now: "<name>.incomplete" for a regular output, else the name.
    const std::string& working_name() const { return working_; }
    // True for a regular file (an output is named .incomplete until complete).
    virtual bool regular() const { return false; }
    // The input's size (write) or the output's current size (0 for devices and pipes).
    uint64_t size() const { return size_; }
    // fstat of the open file: false when it failed.
    bool status(struct stat& st) const;

    std::unique_ptr<Channel> channel() override;
    bool sync(Failure& f) override;

    bool read_at(uint64_t pos, size_t n, char* buf, Failure& f);
    virtual bool write_at(uint64_t pos, size_t n, const char* buf, Failure& f);

    // Ends a read's output. Complete: a regular file is cut to `length` (trailing holes),
    // flushed, renamed to its name and its folder flushed; a device is flushed. Otherwise
    // what arrived is flushed and kept. False with `error` when any of that failed.
    virtual bool finish_output(bool complete, uint64_t length, std::string& error);
    // Removes a regular partial output (nothing of it is worth keeping).
    virtual void discard();

  protected:
    LocalEnd(std::string name, std::string working, int fd, uint64_t size);
    // Flushes and closes the descriptor: `ok` unless either failed, with `error` set then
    // when it was not set before.
    bool close_flushed(bool ok, std::string& error);
    // "<what>: <the text of errno>".
    static std::string system_error(const std::string& what);
    // Sets `f` to system_error(what), which no retry mends; false.
    static bool fail(Failure& f, const std::string& what);

    const std::string name_;
    std::string working_;
    int fd_;
    const uint64_t size_;
};

// The kinds, each opened by the file that holds it (an existing output that is not a
// regular file, with its descriptor; a regular output or input by name).
std::unique_ptr<LocalEnd> open_file_output(const std::string& path, bool keep, bool sparse,
                                           std::string& error);
std::unique_ptr<LocalEnd> file_input(const std::string& path, int fd, uint64_t size);
std::unique_ptr<LocalEnd> device_end(const std::string& path, int fd, uint64_t size);
std::unique_ptr<LocalEnd> pipe_end(const std::string& path, int fd);
std::unique_ptr<LocalEnd> null_end(const std::string& path, int fd);

}  // namespace qvdisk

#endif  // QV_DISK_LOCAL_END_H
