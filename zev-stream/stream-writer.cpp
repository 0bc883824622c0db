// The records of the change stream, built in memory: the diff tool writes them on its standard
// output, `qv-disk diff` on its own.
#include "stream-writer.h"

#include <lz4.h>
#include <stdio.h>
#include <string.h>

#include "base64.h"

// The longest record, a heartbeat with two 20-digit numbers, fits in CHANGE_RECORD_OVERHEAD
// bytes with its terminator.
static_assert(sizeof(ZEV_RECORD_OFFSET ZEV_RECORD_LENGTH ZEV_RECORD_DATA ZEV_RECORD_DATA_END
                         ZEV_RECORD_LAST "false" ZEV_RECORD_CLOSE ZEV_RECORD_BREAK) +
                      2 * 20 <=
                  CHANGE_RECORD_OVERHEAD,
              "CHANGE_RECORD_OVERHEAD is too small for the record grammar");

int block_compress_bound(uint64_t length) { return LZ4_compressBound(static_cast<int>(length)); }

int compress_block(const void* block, uint64_t length, void* compressed, int capacity) {
    return LZ4_compress_default(static_cast<const char*>(block), static_cast<char*>(compressed),
                                static_cast<int>(length), capacity);
}

size_t change_record_capacity(size_t compress_bound) {
    return base64_encoded_length(compress_bound) + CHANGE_RECORD_OVERHEAD;
}

// Appends the decimal digits of `value` at `out`; returns the position after them.
static char* put_decimal(char* out, uint64_t value) {
    char digits[20];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (n > 0) *out++ = digits[--n];
    return out;
}

static char* put_text(char* out, const char* text) {
    const size_t n = strlen(text);
    memcpy(out, text, n);
    return out + n;
}

size_t build_change_record(char* record, uint64_t offset, uint64_t length,
                           const unsigned char* compressed, size_t compressed_size) {
    char* p = put_text(record, ZEV_RECORD_OFFSET);
    p = put_decimal(p, offset);
    p = put_text(p, ZEV_RECORD_LENGTH);
    p = put_decimal(p, length);
    p = put_text(p, ZEV_RECORD_DATA);
    p += base64_encode_to(compressed, compressed_size, p);
    p = put_text(p, ZEV_RECORD_DATA_END ZEV_RECORD_CLOSE ZEV_RECORD_BREAK);
    return static_cast<size_t>(p - record);
}

bool append_change_record(std::vector<char>& records, std::vector<char>& scratch, uint64_t offset,
                          const void* block, uint64_t length) {
    const int bound = block_compress_bound(length);
    scratch.resize(static_cast<size_t>(bound));
    const int size = compress_block(block, length, scratch.data(), bound);
    if (size <= 0) return false;
    const size_t begin = records.size();
    records.resize(begin + change_record_capacity(static_cast<size_t>(bound)));
    const size_t used = build_change_record(records.data() + begin, offset, length,
                                            reinterpret_cast<const unsigned char*>(scratch.data()),
                                            static_cast<size_t>(size));
    records.resize(begin + used);
    return true;
}

size_t build_heartbeat_record(char* record, uint64_t bytes_processed, bool last) {
    const int n = snprintf(record, CHANGE_RECORD_OVERHEAD, HEARTBEAT_RECORD, bytes_processed,
                           last ? "true" : "false");
    return n > 0 ? static_cast<size_t>(n) : 0;
}

void start_heartbeats(struct heartbeat_schedule* schedule, uint64_t file_size) {
    schedule->interval = file_size >= 100 ? file_size / 100 : 1;
    schedule->next = schedule->interval;
}

bool heartbeat_due(struct heartbeat_schedule* schedule, uint64_t bytes_processed) {
    if (bytes_processed < schedule->next) return false;
    schedule->next += schedule->interval;
    return true;
}
