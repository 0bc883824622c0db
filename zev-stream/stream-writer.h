// Writing the change stream: records built in memory (LZ4, Base64 and the record's fixed parts)
// and the heartbeat schedule, for every program that writes a stream.
#ifndef ZEV_STREAM_WRITER_H
#define ZEV_STREAM_WRITER_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "stream-format.h"

// Room LZ4 may need for a block of `length` bytes (1 to ZEV_MAX_BLOCK_SIZE).
int block_compress_bound(uint64_t length);

// Compresses the `length` bytes at `block` into `compressed`, which holds `capacity` bytes
// (block_compress_bound(length) always suffices). Returns the size of the LZ4 block, or 0 or
// less when LZ4 refused the block.
int compress_block(const void* block, uint64_t length, void* compressed, int capacity);

// Bytes a change record needs for a block whose LZ4 bound is `compress_bound`.
size_t change_record_capacity(size_t compress_bound);

// Builds the change record of the block at `offset` of `length` bytes, whose LZ4 block is
// `compressed`, in `record` (change_record_capacity bytes); returns its length. No terminator.
size_t build_change_record(char* record, uint64_t offset, uint64_t length,
                           const unsigned char* compressed, size_t compressed_size);

// Compresses the block at `offset` of `length` bytes and appends its change record to
// `records`; `scratch` holds the LZ4 block in between and is reused from call to call. False,
// with `records` as it was, when LZ4 refused the block.
bool append_change_record(std::vector<char>& records, std::vector<char>& scratch, uint64_t offset,
                          const void* block, uint64_t length);

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

#endif
