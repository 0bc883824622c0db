// Whole transfers on a descriptor: the system calls move what they can, these go on after short
// transfers and interruptions until every byte has moved. Every program of the data plane
// reads and writes files through them.
#ifndef ZEV_STREAM_IO_ALL_H
#define ZEV_STREAM_IO_ALL_H

#include <errno.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <string>

namespace zev {

// Each moves exactly `n` bytes, or returns false with errno set: ENODATA when a read meets
// the end of the file, `no_progress` when a write takes nothing. `moved`, when given, receives
// the bytes moved before the failure (all `n` on success).

// At `pos`, without moving the descriptor's position.
bool pread_all(int fd, void* p, size_t n, uint64_t pos, size_t* moved = nullptr);
bool pwrite_all(int fd, const void* p, size_t n, uint64_t pos, int no_progress = EIO,
                size_t* moved = nullptr);
// At the descriptor's own position: for pipes, and for files opened to append.
bool write_all(int fd, const void* p, size_t n, int no_progress = EIO);

// Reads up to `n` bytes at the descriptor's position, fewer only at the end of the file.
// Returns the bytes read, or -1 with errno set.
ssize_t read_full(int fd, void* p, size_t n);

// The folder a path names a file in ("." for a bare name).
std::string folder_of(const std::string& path);
// Puts the folder of `path` on stable storage, so that a file renamed into it stays renamed.
// False with errno set.
bool flush_folder_of(const std::string& path);

}  // namespace zev

#endif
