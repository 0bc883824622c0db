// Private mount namespaces for programs that need their own "/dev/disk/by-id/" or "/usr/bin"
// entries (the tests, the library benchmark, the fuzz target of the library's replies). Needs
// root; every mount disappears with the namespace when the process ends, and the destructor
// removes the temporary directories behind the overlays.
#ifndef ZEV_COMMON_PRIVATE_MOUNTS_H
#define ZEV_COMMON_PRIVATE_MOUNTS_H

#include <string>
#include <vector>

namespace zev_common {

class PrivateMounts {
  public:
    PrivateMounts() = default;
    ~PrivateMounts();
    PrivateMounts(const PrivateMounts&) = delete;
    PrivateMounts& operator=(const PrivateMounts&) = delete;

    // Moves the calling process (which must be single-threaded) into a new private mount
    // namespace. Returns an empty string on success, otherwise why it cannot be done, for
    // use as a skip message. Calling it again in the same process is harmless.
    std::string enter();

    // Makes `dir` writable in this namespace only: an overlay whose upper layer is a
    // temporary directory. "" on success, otherwise the reason.
    std::string overlay(const std::string& dir);

    // Gives this namespace an empty, writable "/dev/disk/by-id" (overlay on /dev, then a
    // tmpfs on the directory). "" on success, otherwise the reason.
    std::string empty_disk_by_id();

  private:
    std::vector<std::string> temp_dirs_;  // under /tmp, removed with their contents
    std::vector<std::string> mounted_;
};

// The reason the current process cannot use private mounts, or "" when it can (root and
// the unshare system call allowed). Does not change anything.
std::string unavailable_reason();

}  // namespace zev_common

#endif  // ZEV_COMMON_PRIVATE_MOUNTS_H
