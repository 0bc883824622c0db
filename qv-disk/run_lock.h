// One run at a time per output file and per written disk: a run takes an exclusive lock on a
// file of its own in the state folder, named after what it writes, and holds it until it
// ends (the output's rename included). A second run that wants the same lock stops at once.
// The lock is on qv-disk's own file, never on the user's data, and dies with the process.
#ifndef QV_DISK_RUN_LOCK_H
#define QV_DISK_RUN_LOCK_H

#include <memory>
#include <string>

namespace qvdisk {

class RunLock {
  public:
    // Takes the lock for `what` (an output file, or a server and a disk); `description`
    // names it in the message. nullptr with `error` (naming the other run's process) when
    // another run holds it or the lock file cannot be made.
    static std::unique_ptr<RunLock> take(const std::string& what, const std::string& description,
                                         std::string& error);
    ~RunLock();
    RunLock(const RunLock&) = delete;
    RunLock& operator=(const RunLock&) = delete;

  private:
    explicit RunLock(int fd) : fd_(fd) {}
    int fd_;
};

// The key of a local output file: its device and inode where it exists (after resolving
// links), else its absolute name.
std::string output_lock_key(const std::string& path);

}  // namespace qvdisk

#endif  // QV_DISK_RUN_LOCK_H
