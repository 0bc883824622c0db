// zev-block-diff-tool: compares two equal-size files block by block and streams every differing
// block of the second file, LZ4-compressed and Base64-encoded, as JSON lines on standard output.
#ifndef ZEV_TOOL_DIFF_TOOL_H
#define ZEV_TOOL_DIFF_TOOL_H

#include <stdint.h>
#include <sys/types.h>

// Block size used when --block-size is not given.
#define ZEV_DEFAULT_BLOCK_SIZE 65536u

// Largest accepted block size: the largest input LZ4 compresses in one call.
#define ZEV_MAX_BLOCK_SIZE 0x7E000000u

// Opens `path` read-only and stores the descriptor in *fd (also when negative) and, in *size,
// the offset of the end of the file found by seeking the descriptor. Returns 0, or -1 after
// reporting with perror on the path a failed open or seek, or an input that is neither a
// regular file nor a block device (a directory: EISDIR; a pipe, FIFO or socket: ESPIPE; any
// other kind: ENOTBLK). A descriptor opened before such a failure stays open and is left to
// the caller.
int open_file_for_reading(const char* path, int* fd, off_t* size);

#endif
