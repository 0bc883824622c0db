// Whole transfers on a descriptor: the system calls move what they can, these go on after
// short transfers and interruptions until every byte has moved.
#ifndef QV_DISK_IO_ALL_H
#define QV_DISK_IO_ALL_H

#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

namespace qvdisk {

// Moves exactly `n` bytes at `pos` with `io` (pread, pwrite, or a call that ignores the
// position); false with errno set (`at_end` when the file gives or takes no more).
template <typename Byte, typename Io>
bool move_all(Io io, int fd, Byte* p, size_t n, uint64_t pos, int at_end) {
    while (n > 0) {
        ssize_t moved = io(fd, p, n, static_cast<off_t>(pos));
        if (moved < 0 && errno == EINTR) continue;
        if (moved <= 0) {
            if (moved == 0) errno = at_end;
            return false;
        }
        p += moved;
        n -= static_cast<size_t>(moved);
        pos += static_cast<uint64_t>(moved);
    }
    return true;
}

inline bool pread_all(int fd, char* p, size_t n, uint64_t pos) {
    return move_all(::pread, fd, p, n, pos, ENODATA);
}

inline bool pwrite_all(int fd, const char* p, size_t n, uint64_t pos) {
    return move_all(::pwrite, fd, p, n, pos, EIO);
}

// At the descriptor's own position: for pipes, and for files opened to append.
inline bool write_all(int fd, const char* p, size_t n) {
    return move_all([](int f, const char* b, size_t k, off_t) { return ::write(f, b, k); }, fd, p,
                    n, 0, EIO);
}

}  // namespace qvdisk

#endif  // QV_DISK_IO_ALL_H
