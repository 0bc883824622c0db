// The stream reader: a line reader whose buffer grows to the longest line met, up to a limit,
// and the checks of each record against the image and the records before it.
#include "stream-reader.h"

#include <errno.h>
#include <inttypes.h>
#include <lz4.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include "base64.h"
#include "stream-format.h"
#include "stream-writer.h"

namespace zev {
namespace {

const size_t kReadChunk = 1 << 20;
// More than any LZ4 block expands by: a match's length grows by 255 for every byte it takes.
const uint64_t kMaxLz4Ratio = 256;

using Record = StreamRecord;

// Reads a decimal number without sign or leading zeros that fits in 64 bits. Returns the
// position after it, or null.
const char* parse_number(const char* p, const char* end, uint64_t* value) {
    if (p == end || *p < '0' || *p > '9') return nullptr;
    if (*p == '0') {
        *value = 0;
        ++p;
        return p != end && *p >= '0' && *p <= '9' ? nullptr : p;
    }
    uint64_t v = 0;
    for (; p != end && *p >= '0' && *p <= '9'; ++p) {
        const uint64_t digit = static_cast<uint64_t>(*p - '0');
        if (v > (UINT64_MAX - digit) / 10) return nullptr;
        v = v * 10 + digit;
    }
    *value = v;
    return p;
}

const char* parse_literal(const char* p, const char* end, const char* literal) {
    const size_t n = strlen(literal);
    if (static_cast<size_t>(end - p) < n || memcmp(p, literal, n) != 0) return nullptr;
    return p + n;
}

// Parses one line (without its line break) as exactly one of the three record forms of the
// stream's grammar (stream-format.h): a change, a heartbeat or the final record. Returns null, or
// the text of what is wrong.
const char* parse_record(char* line, size_t size, Record* record) {
    const char* end = line + size;
    const char* p = parse_literal(line, end, ZEV_RECORD_OFFSET);
    if (p != nullptr) p = parse_number(p, end, &record->offset);
    if (p != nullptr) p = parse_literal(p, end, ZEV_RECORD_LENGTH);
    if (p != nullptr) p = parse_number(p, end, &record->length);
    if (p != nullptr) p = parse_literal(p, end, ZEV_RECORD_DATA);
    if (p == nullptr) return "not one of the three record forms of the diff stream";
    char* data = line + (p - line);
    const char* data_end =
        static_cast<const char*>(memchr(p, ZEV_RECORD_DATA_END[0], static_cast<size_t>(end - p)));
    if (data_end == nullptr) return "not one of the three record forms of the diff stream";
    record->data = data;
    record->data_length = static_cast<size_t>(data_end - p);
    p = data_end + 1;
    if (parse_literal(p, end, ZEV_RECORD_CLOSE) == end) {
        record->kind = Record::kChange;
    } else if (parse_literal(p, end, ZEV_RECORD_LAST "false" ZEV_RECORD_CLOSE) == end) {
        record->kind = Record::kHeartbeat;
    } else if (parse_literal(p, end, ZEV_RECORD_LAST "true" ZEV_RECORD_CLOSE) == end) {
        record->kind = Record::kFinal;
    } else {
        return "not one of the three record forms of the diff stream";
    }
    if (record->kind == Record::kChange) {
        if (record->length == 0 || record->data_length == 0) {
            return "change record without data";
        }
    } else if (record->length != 0 || record->data_length != 0) {
        return "heartbeat or final record with data";
    }
    data[record->data_length] = '\0';
    return nullptr;
}

// The number of bytes a Base64 text with correct padding decodes to, or -1 when its length,
// its padding or the unused bits before the padding are not as an encoder writes them. The
// characters themselves are checked by the decoder.
int64_t canonical_base64_size(const char* text, size_t length) {
    if (length == 0 || length % 4 != 0) return -1;
    size_t padding = 0;
    if (text[length - 1] == '=') padding = text[length - 2] == '=' ? 2 : 1;
    const int last = base64_char_value(text[length - 1 - padding]);
    if (last < 0) return -1;
    // One padding character leaves 2 unused bits in the last character, two leave 4.
    if (padding == 1 && (last & 0x3) != 0) return -1;
    if (padding == 2 && (last & 0xF) != 0) return -1;
    return static_cast<int64_t>(length / 4 * 3 - padding);
}

// A buffer that grows to the largest size asked for, up to a limit, and is reused.
struct Buffer {
    unsigned char* data = nullptr;
    size_t capacity = 0;
    ~Buffer() { free(data); }
    bool reserve(size_t n) {
        if (n <= capacity) return true;
        n = std::max(n, capacity + capacity / 2);
        void* grown = realloc(data, n);
        if (grown == nullptr) return false;
        data = static_cast<unsigned char*>(grown);
        capacity = n;
        return true;
    }
};

// Reads the stream line by line. The buffer grows to hold the longest line met, at most
// `max_line` bytes; a longer line is refused.
class LineReader {
  public:
    LineReader(int fd, size_t max_line) : fd_(fd), max_line_(max_line) {}

    // Returns 1 with a line (without its break, writable), 0 at a clean end of the stream, -1
    // on a read error (errno set), -2 for a line without its break at the end of the stream,
    // -3 for a line longer than the limit or a buffer that cannot grow.
    int next(char** line, size_t* size) {
        for (;;) {
            char* base = reinterpret_cast<char*>(buffer_.data);
            char* newline = nullptr;
            if (end_ > scan_)
                newline =
                    static_cast<char*>(memchr(base + scan_, ZEV_RECORD_BREAK[0], end_ - scan_));
            if (newline != nullptr) {
                *line = base + start_;
                *size = static_cast<size_t>(newline - *line);
                line_start_ = consumed_ + start_;
                line_length_ = *size + 1;
                start_ = scan_ = static_cast<size_t>(newline - base) + 1;
                return 1;
            }
            scan_ = end_;
            if (eof_) return end_ == start_ ? 0 : -2;
            if (start_ > 0 && (end_ == buffer_.capacity || start_ >= buffer_.capacity / 2)) {
                memmove(buffer_.data, buffer_.data + start_, end_ - start_);
                consumed_ += start_;
                end_ -= start_;
                scan_ -= start_;
                start_ = 0;
            }
            if (end_ == buffer_.capacity) {
                if (end_ >= max_line_ + 1) return -3;
                const size_t want =
                    std::min(max_line_ + 1, std::max(kReadChunk, buffer_.capacity * 2));
                if (!buffer_.reserve(want)) return -3;
            }
            const ssize_t n = read(fd_, buffer_.data + end_, buffer_.capacity - end_);
            if (n < 0) {
                if (errno == EINTR) continue;
                return -1;
            }
            if (n == 0) eof_ = true;
            end_ += static_cast<size_t>(n);
        }
    }
    // Bytes of the input before the line next() returned last, and its length with its break.
    uint64_t line_start() const { return line_start_; }
    uint64_t line_length() const { return line_length_; }

  private:
    int fd_;
    size_t max_line_;
    Buffer buffer_;
    size_t start_ = 0;  // first byte of the current line
    size_t scan_ = 0;   // bytes before this hold no line break
    size_t end_ = 0;
    bool eof_ = false;
    uint64_t consumed_ = 0;  // bytes of the input before buffer_.data
    uint64_t line_start_ = 0;
    uint64_t line_length_ = 0;
};

// What is wrong with a line, formatted like printf; empty when nothing is.
std::string wrong(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string wrong(const char* format, ...) {
    char text[256];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

}  // namespace

// What the records seen so far have established, and the buffers reused for every block.
struct StreamReader::State {
    State(int fd, size_t max_line, uint64_t size) : reader(fd, max_line), image_size(size) {}
    LineReader reader;
    uint64_t image_size;
    uint64_t last_heartbeat = 0;
    uint64_t change_end = 0;  // where the last change record's block ends
    bool final_seen = false;
    uint64_t final_offset = 0;
    Buffer compressed;
    Buffer block;
};

namespace {

using StreamState = StreamReader::State;

// Checks a heartbeat or final record against the image and the records before it.
std::string take_progress_record(const Record& record, StreamState* state) {
    if (record.offset < state->last_heartbeat) {
        return wrong("offset %" PRIu64 " goes back from the previous heartbeat at %" PRIu64,
                     record.offset, state->last_heartbeat);
    }
    state->last_heartbeat = record.offset;
    if (record.kind == Record::kFinal) {
        state->final_seen = true;
        state->final_offset = record.offset;
    }
    return std::string();
}

// Decodes a change record's data (Base64 text -> LZ4 block -> exactly `length` bytes) into
// state->block.
std::string decode_change_record(const Record& record, StreamState* state) {
    if (record.length > ZEV_MAX_BLOCK_SIZE) {
        return wrong("length %" PRIu64 " above the largest block", record.length);
    }
    const int64_t compressed_size = canonical_base64_size(record.data, record.data_length);
    if (compressed_size < 0) return wrong("data is not Base64 with correct padding");
    if (compressed_size > LZ4_compressBound(static_cast<int>(record.length))) {
        return wrong("data is longer than any LZ4 block of %" PRIu64 " bytes", record.length);
    }
    // An LZ4 block gives at most 255 bytes per byte; refusing less before the block is
    // allocated keeps the memory a line can claim proportional to its length.
    if (static_cast<uint64_t>(compressed_size) < record.length / kMaxLz4Ratio) {
        return wrong("data is shorter than any LZ4 block of %" PRIu64 " bytes", record.length);
    }
    if (!state->compressed.reserve(static_cast<size_t>(compressed_size)) ||
        !state->block.reserve(static_cast<size_t>(record.length))) {
        return wrong("no memory for a block of %" PRIu64 " bytes", record.length);
    }
    if (base64_decode(record.data, state->compressed.data, static_cast<size_t>(compressed_size)) !=
        compressed_size) {
        return wrong("data is not valid Base64");
    }
    const int decoded =
        LZ4_decompress_safe(reinterpret_cast<const char*>(state->compressed.data),
                            reinterpret_cast<char*>(state->block.data),
                            static_cast<int>(compressed_size), static_cast<int>(record.length));
    if (decoded != static_cast<int>(record.length)) {
        return wrong("data does not decode to %" PRIu64 " bytes", record.length);
    }
    return std::string();
}

// Checks one line completely; a change record's block is then ready in state->block.
std::string check_line(char* line, size_t size, uint64_t image_size, Record* record,
                       StreamState* state) {
    if (state->final_seen) return wrong("line after the final record");
    const char* form = parse_record(line, size, record);
    if (form != nullptr) return form;
    if (record->offset > image_size || record->length > image_size - record->offset) {
        return wrong("offset %" PRIu64 " and length %" PRIu64
                     " reach beyond the target size %" PRIu64,
                     record->offset, record->length, image_size);
    }
    if (record->kind != Record::kChange) return take_progress_record(*record, state);
    // Blocks come in the order of the image, each once: a record that goes back or overlaps
    // the one before would let a later block silently replace an earlier one.
    if (record->offset < state->change_end) {
        return wrong("change record at offset %" PRIu64
                     " starts before the end of the previous one at %" PRIu64,
                     record->offset, state->change_end);
    }
    state->change_end = record->offset + record->length;
    return decode_change_record(*record, state);
}

}  // namespace

StreamReader::StreamReader(int fd, uint64_t image_size) {
    const uint64_t largest_block = std::min<uint64_t>(image_size, ZEV_MAX_BLOCK_SIZE);
    const size_t largest_compressed = static_cast<size_t>(
        LZ4_compressBound(static_cast<int>(std::max<uint64_t>(largest_block, 1))));
    state_ = std::make_unique<State>(fd, change_record_capacity(largest_compressed), image_size);
}

StreamReader::~StreamReader() = default;

StreamReader::Result StreamReader::next(StreamRecord& record) {
    char* line = nullptr;
    size_t size = 0;
    const int got = state_->reader.next(&line, &size);
    if (got == 0) return kEnd;
    if (got == -1) return kReadError;
    ++line_number_;
    record = {};
    if (got == -2) {
        problem_ = "stream cut inside the line (no line break)";
    } else if (got == -3) {
        problem_ =
            wrong("longer than any record for a target of %" PRIu64 " bytes", state_->image_size);
    } else {
        problem_ = check_line(line, size, state_->image_size, &record, state_.get());
    }
    return problem_.empty() ? kRecord : kInvalid;
}

const unsigned char* StreamReader::block() const { return state_->block.data; }
uint64_t StreamReader::line_start() const { return state_->reader.line_start(); }
uint64_t StreamReader::line_length() const { return state_->reader.line_length(); }
bool StreamReader::final_seen() const { return state_->final_seen; }
uint64_t StreamReader::final_offset() const { return state_->final_offset; }

}  // namespace zev
