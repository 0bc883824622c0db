// Whole transfers: one loop for every kind of transfer, which differ only in their call and in
// what a transfer that moves nothing means.
#include "io-all.h"

#include <fcntl.h>
#include <unistd.h>

namespace zev {
namespace {

// Moves `n` bytes with `io` (pread, pwrite, read or write, the last two ignoring the
// position). Stops early, returning the bytes moved, only when `io` fails or moves nothing:
// `stop_at_end` says whether nothing moved ends the transfer without an error (a read to the
// end of a file) or with `no_progress` in errno.
template <typename Byte, typename Io>
size_t move(Io io, int fd, Byte* p, size_t n, uint64_t pos, int no_progress, bool* failed) {
    size_t done = 0;
    *failed = false;
    while (done < n) {
        const ssize_t got = io(fd, p + done, n - done, static_cast<off_t>(pos + done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            if (got == 0 && no_progress == 0) break;
            if (got == 0) errno = no_progress;
            *failed = true;
            break;
        }
        done += static_cast<size_t>(got);
    }
    return done;
}

bool all_moved(size_t done, size_t n, bool failed, size_t* moved) {
    if (moved != nullptr) *moved = done;
    return !failed && done == n;
}

}  // namespace

bool pread_all(int fd, void* p, size_t n, uint64_t pos, size_t* moved) {
    bool failed;
    const size_t done = move(::pread, fd, static_cast<char*>(p), n, pos, ENODATA, &failed);
    return all_moved(done, n, failed, moved);
}

bool pwrite_all(int fd, const void* p, size_t n, uint64_t pos, int no_progress, size_t* moved) {
    bool failed;
    const size_t done =
        move(::pwrite, fd, static_cast<const char*>(p), n, pos, no_progress, &failed);
    return all_moved(done, n, failed, moved);
}

bool write_all(int fd, const void* p, size_t n, int no_progress) {
    bool failed;
    const auto write_here = [](int f, const char* b, size_t k, off_t) { return ::write(f, b, k); };
    const size_t done =
        move(write_here, fd, static_cast<const char*>(p), n, 0, no_progress, &failed);
    return all_moved(done, n, failed, nullptr);
}

std::string folder_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

bool flush_folder_of(const std::string& path) {
    const int fd = open(folder_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = fsync(fd) == 0;
    const int saved = errno;
    close(fd);
    errno = saved;
    return ok;
}

ssize_t read_full(int fd, void* p, size_t n) {
    bool failed;
    const auto read_here = [](int f, char* b, size_t k, off_t) { return ::read(f, b, k); };
    const size_t done = move(read_here, fd, static_cast<char*>(p), n, 0, 0, &failed);
    return failed ? -1 : static_cast<ssize_t>(done);
}

}  // namespace zev
