#include "own_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sha256.h"

namespace qvdisk {
namespace {

std::string system_error(const std::string& what) { return what + ": " + std::strerror(errno); }

bool make_folders(const std::string& dir) {
    for (size_t slash = dir.find('/', 1);; slash = dir.find('/', slash + 1)) {
        std::string part = dir.substr(0, slash);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
        if (slash == std::string::npos) return true;
    }
}

// What is wrong with a file found at a name this user's runs own; "" when nothing.
std::string not_own(const struct stat& st) {
    if (S_ISLNK(st.st_mode)) return "it is a symbolic link";
    if (!S_ISREG(st.st_mode)) return "it is not a regular file";
    if (st.st_nlink != 1) return "it has another name (a hard link)";
    if (st.st_uid != geteuid()) return "it belongs to another user";
    return "";
}

// A file as the command line names it: its device and inode where it exists, else its
// absolute name.
struct FileId {
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    std::string name;

    explicit FileId(const std::string& path) {
        struct stat st;
        exists = stat(path.c_str(), &st) == 0;
        if (exists) {
            dev = st.st_dev;
            ino = st.st_ino;
        } else {
            name = absolute_name(path);
        }
    }
    bool operator==(const FileId& o) const {
        return exists == o.exists && (exists ? dev == o.dev && ino == o.ino : name == o.name);
    }
};

}  // namespace

std::string state_folder(std::string& error) {
    std::string dir;
    if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && *state == '/') {
        dir = std::string(state) + "/qv-disk";
    } else if (const char* home = std::getenv("HOME"); home != nullptr && *home == '/') {
        dir = std::string(home) + "/.local/state/qv-disk";
    } else {
        error = "no state folder for journals and run locks: set HOME or XDG_STATE_HOME";
        return "";
    }
    if (!make_folders(dir)) {
        error = system_error("creating " + dir);
        return "";
    }
    return dir;
}

std::string key_name(const std::string& key) {
    zev::Sha256 sha;
    sha.update(key.data(), key.size());
    unsigned char digest[zev::kSha256Size] = {};
    sha.finish(digest);
    return zev::to_hex(digest, 8);
}

int create_exclusive(const std::string& path, std::string& error) {
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        const int saved = errno;
        error = errno == EEXIST ? path + " is in the way: a file or link is already there, and " +
                                      "qv-disk never writes through one"
                                : system_error("creating " + path);
        errno = saved;
        return -1;
    }
    // The mode asked for is narrowed by the umask only; keep it private whatever the umask.
    fchmod(fd, 0600);
    return fd;
}

int create_beside(const std::string& path, std::string& tmp, std::string& error) {
    std::string name = path + ".XXXXXX";
    int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        error = system_error("creating a temporary file beside " + path);
        return -1;
    }
    fchmod(fd, 0600);
    tmp = name;
    return fd;
}

int open_own(const std::string& path, int flags, bool& missing, std::string& error) {
    missing = false;
    int fd = open(path.c_str(), flags | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        missing = errno == ENOENT;
        error =
            errno == ELOOP ? "refusing " + path + ": it is a symbolic link" : system_error(path);
        return -1;
    }
    struct stat st;
    std::string why = fstat(fd, &st) != 0 ? std::strerror(errno) : not_own(st);
    if (!why.empty()) {
        close(fd);
        error = "refusing " + path + ": " + why;
        return -1;
    }
    // Regular files do not block; the flag only kept a FIFO planted at the name from
    // holding the open.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

bool left_by_this_user(const std::string& path, std::string& why) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        why = std::strerror(errno);
        return false;
    }
    why = not_own(st);
    return why.empty();
}

std::string absolute_name(const std::string& path) {
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    char resolved[PATH_MAX];
    if (realpath(dir.c_str(), resolved) == nullptr) return path;
    std::string out = resolved;
    return (out == "/" ? out : out + "/") + base;
}

bool distinct_files(const std::vector<std::pair<std::string, std::string>>& files,
                    std::string& error) {
    for (size_t i = 0; i < files.size(); ++i) {
        if (files[i].second.empty()) continue;
        const FileId a(files[i].second);
        for (size_t j = i + 1; j < files.size(); ++j) {
            if (files[j].second.empty() || !(a == FileId(files[j].second))) continue;
            error = files[i].first + " " + files[i].second + " and " + files[j].first + " " +
                    files[j].second + " are the same file; each needs a file of its own";
            return false;
        }
    }
    return true;
}

}  // namespace qvdisk
