// Private mount namespaces for tests that need their own "/dev/disk/by-id/" or "/usr/bin"
// entries. Needs root; every mount disappears with the namespace when the process ends, and
// the destructor removes the temporary directories behind the overlays.
#ifndef TESTS_COMMON_PRIVATE_MOUNTS_H
#define TESTS_COMMON_PRIVATE_MOUNTS_H

#include <memory>
#include <string>
#include <vector>

#include "test_common.h"

namespace testmounts {

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
    std::vector<std::unique_ptr<testcommon::TempDir>> temp_dirs_;
    std::vector<std::string> mounted_;
};

// The reason the current process cannot use private mounts, or "" when it can (root and
// the unshare system call allowed). Does not change anything.
std::string unavailable_reason();

}  // namespace testmounts

#endif  // TESTS_COMMON_PRIVATE_MOUNTS_H
