// Where a program's output goes: standard output, named "-" (or one of the names the system
// gives it), or a file that takes its name only once it is complete. Such a file is written
// under a new name of its own beside its final name and renamed over it at the end, so that
// the name holds either what it held before or the whole output, also after a crash; a run
// that fails or is stopped removes the new file and leaves the name alone.
#ifndef ZEV_STREAM_OUTPUT_FILE_H
#define ZEV_STREAM_OUTPUT_FILE_H

#include <sys/types.h>

#include <string>

namespace zev {

// Whether `path` names standard output: "-", "/dev/stdout", "/dev/fd/1" or "/proc/self/fd/1".
// Those names are links to whatever descriptor 1 is; writing beside them and renaming would
// replace the link, not write the output.
bool names_standard_output(const std::string& path);

class NewFile {
  public:
    NewFile() = default;
    ~NewFile() { discard(); }
    NewFile(const NewFile&) = delete;
    NewFile& operator=(const NewFile&) = delete;

    // Creates "<path>.XXXXXX" in the folder of `path`: a unique name, created exclusively
    // (never through a file or link already there), mode 0600 while it is incomplete, closed
    // on exec. False with errno set.
    bool create(const std::string& path);
    int fd() const { return fd_; }
    const std::string& path() const { return path_; }
    // The new file's name until it is renamed; "" before create() and after commit().
    const std::string& temporary() const { return temporary_; }

    // Gives the file `mode` and puts it on stable storage, so that what remains of commit()
    // is the rename (for a program that must finish more before the name is taken). False
    // with errno set and `step` saying what failed; the new file stays until discard().
    bool flush(mode_t mode, std::string& step);

    // Gives the file `mode`, puts it on stable storage (unless flush() did), renames it to
    // its name and flushes the folder. False with errno set and `step` saying what failed:
    // before the rename the new file is removed; after it (only the folder's flush failed,
    // `step` starts with "flushing the folder") the file has its name.
    bool commit(mode_t mode, std::string& step);

    // Closes and removes the new file, if it was not renamed; the name is left alone.
    void discard();

  private:
    std::string path_;
    std::string temporary_;
    int fd_ = -1;
    bool flushed_ = false;
};

}  // namespace zev

#endif  // ZEV_STREAM_OUTPUT_FILE_H
