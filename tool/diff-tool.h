// zev-block-diff-tool: compares two equal-size files block by block and streams every differing
// block of the second file, LZ4-compressed and Base64-encoded, as JSON lines on standard output.
#ifndef ZEV_TOOL_DIFF_TOOL_H
#define ZEV_TOOL_DIFF_TOOL_H

#include <inttypes.h>
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

// Block size used when --block-size is not given.
#define ZEV_DEFAULT_BLOCK_SIZE 65536u

// Largest accepted block size: the largest input LZ4 compresses in one call.
#define ZEV_MAX_BLOCK_SIZE 0x7E000000u

// The stream's record grammar, for the programs that write it and for zev-block-apply, which
// parses it. Every record is one JSON object on one line, its fields in this order, no blanks,
// numbers in decimal without sign or leading zeros:
//   {"offset":O,"length":L,"data":"TEXT"}             change record: block at offset O of L
//                                                    bytes, TEXT the Base64 of its LZ4 block
//   {"offset":B,"length":0,"data":"","last":false}   heartbeat: B bytes processed so far
//   {"offset":B,"length":0,"data":"","last":true}    final record, once, as the last line
// Each piece below is written, and parsed, as it stands:
#define ZEV_RECORD_OFFSET "{\"offset\":"  // then the offset
#define ZEV_RECORD_LENGTH ",\"length\":"  // then the length
#define ZEV_RECORD_DATA ",\"data\":\""    // then the Base64 text, which holds no quote
#define ZEV_RECORD_DATA_END "\""          // one character: ends the Base64 text
#define ZEV_RECORD_LAST ",\"last\":"      // heartbeats only: then false, or true at the end
#define ZEV_RECORD_CLOSE "}"
#define ZEV_RECORD_BREAK "\n"  // one character: ends every record

// A heartbeat or the final record without its line break, for printf with the bytes processed
// and "false" or "true".
#define HEARTBEAT_FORMAT                                                      \
    ZEV_RECORD_OFFSET "%" PRIu64 ZEV_RECORD_LENGTH                            \
                      "0" ZEV_RECORD_DATA ZEV_RECORD_DATA_END ZEV_RECORD_LAST \
                      "%s" ZEV_RECORD_CLOSE
#define HEARTBEAT_RECORD HEARTBEAT_FORMAT ZEV_RECORD_BREAK

// Room for the fixed parts of any record around its Base64 text:
// {"offset":<20 digits>,"length":<20 digits>,"data":"<text>","last":false}\n plus a
// terminator.
#define CHANGE_RECORD_OVERHEAD 96

// Bytes a change record needs for a block whose LZ4 bound is `compress_bound`.
size_t change_record_capacity(size_t compress_bound);

// Builds the change record of the block at `offset` of `length` bytes, whose LZ4 block is
// `compressed`, in `record` (change_record_capacity bytes); returns its length. No terminator.
size_t build_change_record(char* record, uint64_t offset, uint64_t length,
                           const unsigned char* compressed, size_t compressed_size);

// Builds a heartbeat (last false) or the final record (last true) in `record`, which holds
// CHANGE_RECORD_OVERHEAD bytes; returns its length. No terminator.
size_t build_heartbeat_record(char* record, uint64_t bytes_processed, bool last);

// When heartbeats are due: every 1/100 of the file size (every byte below 100 bytes), after
// the block at which the bytes processed reach the next threshold; the threshold then moves
// on by one interval, however far the bytes processed have run past it.
struct heartbeat_schedule {
    uint64_t interval;
    uint64_t next;
};
void start_heartbeats(struct heartbeat_schedule* schedule, uint64_t file_size);
// True when a heartbeat follows the block that brought the bytes processed to
// `bytes_processed`; moves the threshold on when it is.
bool heartbeat_due(struct heartbeat_schedule* schedule, uint64_t bytes_processed);

// Opens `path` read-only and stores the descriptor in *fd (also when negative) and, in *size,
// the offset of the end of the file found by seeking the descriptor. Returns 0, or -1 after
// reporting with perror on the path a failed open or seek, or an input that is neither a
// regular file nor a block device (a directory: EISDIR; a pipe, FIFO or socket: ESPIPE; any
// other kind: ENOTBLK). A descriptor opened before such a failure stays open and is left to
// the caller.
int open_file_for_reading(const char* path, int* fd, off_t* size);

#endif
