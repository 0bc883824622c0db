// The files qv-disk makes for itself (partial outputs, journals, their temporary names, run
// locks) and the checks on the names a command line gives. Such a file is created
// exclusively and private (mode 0600): a file or link already at its name is never written
// through, and only a regular file of this user with no other name is taken up again.
#ifndef QV_DISK_OWN_FILES_H
#define QV_DISK_OWN_FILES_H

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace qvdisk {

// "$XDG_STATE_HOME/qv-disk" (or "~/.local/state/qv-disk"), made with mode 0700 where missing.
// "" with `error` when neither variable is set or the folder cannot be made.
std::string state_folder(std::string& error);

// A name for a file of the state folder that stands for `key`: the first 8 bytes of its
// SHA-256, as 16 hexadecimal digits.
std::string key_name(const std::string& key);

// Creates `path` for reading and writing, mode 0600; fails when anything, a link included, is
// at that name (errno EEXIST). -1 with `error` naming the file.
int create_exclusive(const std::string& path, std::string& error);

// Creates a new file of a unique name "<path>.XXXXXX" in the folder of `path`, as
// create_exclusive does; `tmp` receives its name.
int create_beside(const std::string& path, std::string& tmp, std::string& error);

// Opens a file that this user's runs made earlier, with `flags` (O_RDONLY, O_RDWR): refused
// when the name is a symbolic link or something else than a regular file, when the file has
// another name (a hard link) or belongs to another user. -1 with `error`; `missing` tells that
// nothing is at the name.
int open_own(const std::string& path, int flags, bool& missing, std::string& error);

// Whether what is at `path` is a file an earlier run of this user may have left: a regular
// file of this user with no other name, not reached through a link. `why` says otherwise.
bool left_by_this_user(const std::string& path, std::string& why);

// The absolute name of a file that may not exist yet: its folder resolved, its name kept.
std::string absolute_name(const std::string& path);

// Fails when two of `files` (each an option, or a role, and a file name) name the same file:
// by device and inode where the file exists (after resolving links), by absolute name where
// it does not yet. Empty names are left out. The message names both.
bool distinct_files(const std::vector<std::pair<std::string, std::string>>& files,
                    std::string& error);

}  // namespace qvdisk

#endif  // QV_DISK_OWN_FILES_H
