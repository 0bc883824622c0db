// Reading the change stream: every record checked completely (form, range, order, Base64 with
// correct padding, an LZ4 block that decodes to exactly its length) before it is handed on, with
// memory bounded by the longest record an image of the stream's size can give.
#ifndef ZEV_STREAM_READER_H
#define ZEV_STREAM_READER_H

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>

namespace zev {

struct StreamRecord {
    enum Kind { kChange, kHeartbeat, kFinal } kind;
    uint64_t offset;
    uint64_t length;
    char* data;  // Base64 text inside the line, zero-terminated in place
    size_t data_length;
};

class StreamReader {
  public:
    enum Result {
        kRecord,     // a record, checked; a change record's block is in block()
        kEnd,        // the input ended after a whole line (final_seen() says if it was complete)
        kReadError,  // reading failed, errno set
        kInvalid,    // line line_number() is not a valid record here: problem() says why
    };

    // The stream of an image of `image_size` bytes, read from `fd`, which stays open.
    StreamReader(int fd, uint64_t image_size);
    ~StreamReader();
    StreamReader(const StreamReader&) = delete;
    StreamReader& operator=(const StreamReader&) = delete;

    Result next(StreamRecord& record);

    // The block of the last change record, `record.length` bytes.
    const unsigned char* block() const;
    const std::string& problem() const { return problem_; }
    // Lines read so far.
    uint64_t line_number() const { return line_number_; }
    // Where the last line read starts (the bytes read from `fd` before it), and its length with
    // its line break: a record can be copied as it is.
    uint64_t line_start() const;
    uint64_t line_length() const;
    bool final_seen() const;
    uint64_t final_offset() const;

    // What the records so far have established, and the reused buffers (stream-reader.cpp).
    struct State;

  private:
    std::unique_ptr<State> state_;
    std::string problem_;
    uint64_t line_number_ = 0;
};

}  // namespace zev

#endif
