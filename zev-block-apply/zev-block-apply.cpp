// zev-block-apply: writes the change records of a zev-block-diff-tool stream into a target
// image, so that a copy of the first image becomes the second one.
//
// The stream is read line by line through a buffer that grows to the longest line met, never
// beyond the longest record a block of the target's size can give; every record is checked
// completely (form, range, Base64, LZ4 length) before its block is written at its offset.
//
// Block manifests bracket the writes when they are given: the target is proven to be the base
// the stream was made from before anything is written (--base-manifest), and to be the image
// the stream leads to once everything is flushed (--result-manifest).
#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <lz4.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <string>

#include "base64.h"
#include "block-manifest.h"
#include "diff-tool.h"

namespace {

// Exit status: 0 the target is a complete copy, 1 failure or invalid stream, 2 a valid stream
// whose diff stopped early.
const int kExitFailure = 1;
const int kExitIncomplete = 2;

const size_t kReadChunk = 1 << 20;

struct Record {
    enum Kind { kChange, kHeartbeat, kFinal } kind;
    uint64_t offset;
    uint64_t length;
    char* data;  // Base64 text inside the line, zero-terminated in place
    size_t data_length;
};

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
// stream's grammar (diff-tool.h): a change, a heartbeat or the final record. Returns null, or
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
                start_ = scan_ = static_cast<size_t>(newline - base) + 1;
                return 1;
            }
            scan_ = end_;
            if (eof_) return end_ == start_ ? 0 : -2;
            if (start_ > 0 && (end_ == buffer_.capacity || start_ >= buffer_.capacity / 2)) {
                memmove(buffer_.data, buffer_.data + start_, end_ - start_);
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

  private:
    int fd_;
    size_t max_line_;
    Buffer buffer_;
    size_t start_ = 0;  // first byte of the current line
    size_t scan_ = 0;   // bytes before this hold no line break
    size_t end_ = 0;
    bool eof_ = false;
};

struct Target {
    std::string path;
    int fd = -1;
    uint64_t size = 0;
    ~Target() {
        if (fd >= 0) close(fd);
    }
};

// Opens the target with `access` (O_RDONLY for a check, O_RDWR when a manifest check reads it
// back, O_WRONLY otherwise) and finds its size by seeking to its end. Only a regular file or a
// block device is taken.
bool open_target(Target* target, int access) {
    // The type is checked before the open, which would block on a FIFO, and again on what was
    // opened (without blocking), so that a file swapped in between is refused too.
    struct stat named;
    if (stat(target->path.c_str(), &named) != 0) {
        perror(target->path.c_str());
        return false;
    }
    const auto refuse_type = [&](const struct stat& st) {
        if (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)) return false;
        errno = S_ISDIR(st.st_mode) ? EISDIR : ENOTBLK;
        perror(target->path.c_str());
        return true;
    };
    if (refuse_type(named)) return false;
    target->fd = open(target->path.c_str(), access | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    struct stat st;
    if (target->fd < 0 || fstat(target->fd, &st) != 0) {
        perror(target->path.c_str());
        return false;
    }
    if (refuse_type(st)) return false;
    if (st.st_dev != named.st_dev || st.st_ino != named.st_ino) {
        fprintf(stderr, "%s: changed while it was opened\n", target->path.c_str());
        return false;
    }
    fcntl(target->fd, F_SETFL, fcntl(target->fd, F_GETFL) & ~O_NONBLOCK);
    const off_t end = lseek(target->fd, 0, SEEK_END);
    if (end < 0) {
        perror(target->path.c_str());
        return false;
    }
    target->size = static_cast<uint64_t>(end);
    return true;
}

bool write_block(const Target& target, const unsigned char* block, uint64_t length,
                 uint64_t offset) {
    uint64_t done = 0;
    while (done < length) {
        const ssize_t n =
            pwrite(target.fd, block + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            fprintf(stderr, "%s: write at offset %" PRIu64 " failed: %s\n", target.path.c_str(),
                    offset + done, strerror(errno));
            return false;
        }
        done += static_cast<uint64_t>(n);
    }
    return true;
}

// What is wrong with a line, formatted like printf; empty when nothing is.
std::string problem(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string problem(const char* format, ...) {
    char text[256];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

// What the records seen so far have established, and the buffers reused for every block.
struct StreamState {
    uint64_t last_heartbeat = 0;
    uint64_t change_end = 0;  // where the last change record's block ends
    bool final_seen = false;
    uint64_t final_offset = 0;
    Buffer compressed;
    Buffer block;
};

// Checks a heartbeat or final record against the target and the records before it.
std::string take_progress_record(const Record& record, StreamState* state) {
    if (record.offset < state->last_heartbeat) {
        return problem("offset %" PRIu64 " goes back from the previous heartbeat at %" PRIu64,
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
        return problem("length %" PRIu64 " above the largest block", record.length);
    }
    const int64_t compressed_size = canonical_base64_size(record.data, record.data_length);
    if (compressed_size < 0) return problem("data is not Base64 with correct padding");
    if (compressed_size > LZ4_compressBound(static_cast<int>(record.length))) {
        return problem("data is longer than any LZ4 block of %" PRIu64 " bytes", record.length);
    }
    if (!state->compressed.reserve(static_cast<size_t>(compressed_size)) ||
        !state->block.reserve(static_cast<size_t>(record.length))) {
        return problem("no memory for a block of %" PRIu64 " bytes", record.length);
    }
    if (base64_decode(record.data, state->compressed.data, static_cast<size_t>(compressed_size)) !=
        compressed_size) {
        return problem("data is not valid Base64");
    }
    const int decoded =
        LZ4_decompress_safe(reinterpret_cast<const char*>(state->compressed.data),
                            reinterpret_cast<char*>(state->block.data),
                            static_cast<int>(compressed_size), static_cast<int>(record.length));
    if (decoded != static_cast<int>(record.length)) {
        return problem("data does not decode to %" PRIu64 " bytes", record.length);
    }
    return std::string();
}

// Checks one line completely; a change record's block is then ready in state->block.
std::string check_line(char* line, size_t size, const Target& target, Record* record,
                       StreamState* state) {
    if (state->final_seen) return problem("line after the final record");
    const char* form = parse_record(line, size, record);
    if (form != nullptr) return form;
    if (record->offset > target.size || record->length > target.size - record->offset) {
        return problem("offset %" PRIu64 " and length %" PRIu64
                       " reach beyond the target size %" PRIu64,
                       record->offset, record->length, target.size);
    }
    if (record->kind != Record::kChange) return take_progress_record(*record, state);
    // Blocks come in the order of the image, each once: a record that goes back or overlaps
    // the one before would let a later block silently replace an earlier one.
    if (record->offset < state->change_end) {
        return problem("change record at offset %" PRIu64
                       " starts before the end of the previous one at %" PRIu64,
                       record->offset, state->change_end);
    }
    state->change_end = record->offset + record->length;
    return decode_change_record(*record, state);
}

// Applies (or with check_only, only validates) the stream read from `input_fd`. Returns the
// exit status.
int apply_stream(const Target& target, int input_fd, const char* input_name, bool check_only) {
    const uint64_t largest_block = std::min<uint64_t>(target.size, ZEV_MAX_BLOCK_SIZE);
    const size_t largest_compressed = static_cast<size_t>(
        LZ4_compressBound(static_cast<int>(std::max<uint64_t>(largest_block, 1))));
    LineReader reader(input_fd, change_record_capacity(largest_compressed));
    StreamState state;
    uint64_t line_number = 0;
    for (;;) {
        char* line = nullptr;
        size_t size = 0;
        const int got = reader.next(&line, &size);
        if (got == 0) break;
        if (got == -1) {
            fprintf(stderr, "%s: %s\n", input_name, strerror(errno));
            return kExitFailure;
        }
        ++line_number;
        std::string wrong;
        Record record = {};
        if (got == -2) {
            wrong = "stream cut inside the line (no line break)";
        } else if (got == -3) {
            wrong =
                problem("longer than any record for a target of %" PRIu64 " bytes", target.size);
        } else {
            wrong = check_line(line, size, target, &record, &state);
        }
        if (!wrong.empty()) {
            fprintf(stderr, "line %" PRIu64 ": %s\n", line_number, wrong.c_str());
            return kExitFailure;
        }
        if (record.kind == Record::kChange && !check_only &&
            !write_block(target, state.block.data, record.length, record.offset)) {
            return kExitFailure;
        }
    }

    if (!state.final_seen) {
        fprintf(stderr, "stream ended without its final record after line %" PRIu64 "\n",
                line_number);
        return kExitFailure;
    }
    if (!check_only && fsync(target.fd) != 0) {
        fprintf(stderr, "%s: flush to stable storage failed: %s\n", target.path.c_str(),
                strerror(errno));
        return kExitFailure;
    }
    if (state.final_offset < target.size) {
        fprintf(stderr,
                "the diff stopped at offset %" PRIu64 " of %" PRIu64
                " bytes: the target %s a complete copy\n",
                state.final_offset, target.size, check_only ? "would not be" : "is not");
        return kExitIncomplete;
    }
    return 0;
}

// A manifest named on the command line and what it describes.
struct ManifestOption {
    CLI::Option* option = nullptr;
    std::string path;
    zev::Manifest manifest;
    bool given() const { return option->count() > 0; }
};

// Loads a manifest given on the command line; a damaged or unreadable one is refused.
bool load_manifest(ManifestOption* option) {
    std::string error;
    if (!option->given() || option->manifest.load(option->path, error)) return true;
    fprintf(stderr, "%s\n", error.c_str());
    return false;
}

// Says so when the target's size is not the image size of the manifest.
bool same_size(const Target& target, const zev::Manifest& manifest) {
    if (target.size == manifest.image_size()) return true;
    fprintf(stderr, "%s: size %" PRIu64 " bytes, the manifest describes %" PRIu64 " bytes\n",
            target.path.c_str(), target.size, manifest.image_size());
    return false;
}

enum class Comparison { kSame, kDifferent, kUnreadable };

// Hashes the whole target in the manifest's blocks, with one thread per core, and compares.
// Every difference, or the read failure, goes to standard error.
Comparison compare_with(const Target& target, const zev::Manifest& expected) {
    zev::Manifest actual;
    std::string error;
    if (!zev::hash_image(target.fd, target.path, expected.block_size(), 0, actual, error)) {
        fprintf(stderr, "%s\n", error.c_str());
        return Comparison::kUnreadable;
    }
    const std::string differences = zev::describe_differences(expected, actual, target.path);
    fputs(differences.c_str(), stderr);
    return differences.empty() ? Comparison::kSame : Comparison::kDifferent;
}

void report_wrong_base(const Target& target, const ManifestOption& base) {
    fprintf(stderr,
            "%s: not the base this stream was made from (base manifest %s): nothing was "
            "written\n",
            target.path.c_str(), base.path.c_str());
}

// The checks that come before the stream is read: the manifests describe images of the
// target's size, and the target is the base. Nothing has been written when they fail; the
// base manifest's digests are released once they have served.
bool check_before_writing(const Target& target, ManifestOption* base,
                          const ManifestOption& result) {
    if (base->given() && !same_size(target, base->manifest)) {
        report_wrong_base(target, *base);
        return false;
    }
    if (result.given() && !same_size(target, result.manifest)) {
        fprintf(stderr,
                "%s: the result manifest %s describes an image of another size: nothing was "
                "written\n",
                target.path.c_str(), result.path.c_str());
        return false;
    }
    if (base->given()) {
        const Comparison found = compare_with(target, base->manifest);
        if (found == Comparison::kDifferent) report_wrong_base(target, *base);
        if (found != Comparison::kSame) return false;
        base->manifest = zev::Manifest();
    }
    return true;
}

// The check after a complete stream has been applied and flushed: the target now holds the
// image the result manifest describes. Returns the exit status.
int check_result(const Target& target, const ManifestOption& result) {
    const Comparison found = compare_with(target, result.manifest);
    if (found == Comparison::kDifferent) {
        fprintf(stderr, "%s: the result does not match the manifest %s\n", target.path.c_str(),
                result.path.c_str());
    }
    return found == Comparison::kSame ? 0 : kExitFailure;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Applies a zev-block-diff-tool change stream to a target image of the same size.",
                 "zev-block-apply"};
    std::string target_path;
    std::string input_path;
    bool check_only = false;
    ManifestOption base;
    ManifestOption result;
    app.add_option("target", target_path,
                   "file or block device to write the changed blocks into; it keeps its size")
        ->required();
    app.add_option("--input", input_path,
                   "read the stream from this file (default: standard input)");
    CLI::Option* check = app.add_flag("--check", check_only,
                                      "validate the stream only; the target is opened read-only");
    base.option =
        app.add_option("--base-manifest", base.path,
                       "before writing anything, check that the target is the image this block "
                       "manifest describes")
            ->type_name("FILE");
    result.option =
        app.add_option("--result-manifest", result.path,
                       "after applying, check that the target is the image this block manifest "
                       "describes")
            ->type_name("FILE")
            ->excludes(check);
    app.set_version_flag("--version", "zev-block-apply " ZEV_VERSION);
    try {
        app.parse(argc, argv);
        // "-" reads a manifest from standard input, which then cannot also carry the stream
        // or the other manifest.
        const bool base_dash = base.given() && base.path == "-";
        const bool result_dash = result.given() && result.path == "-";
        if ((base_dash || result_dash) && (input_path.empty() || (base_dash && result_dash))) {
            throw CLI::ValidationError((base_dash ? base : result).option->get_name(),
                                       "standard input can carry one manifest, and only when "
                                       "the stream comes from --input");
        }
    } catch (const CLI::ParseError& e) {
        const int status = app.exit(e);
        return status == 0 ? 0 : kExitFailure;
    }

    if (!load_manifest(&base) || !load_manifest(&result)) return kExitFailure;
    Target target;
    target.path = target_path;
    // A manifest check reads the target back: it is opened read-write, never write-only.
    const int access = check_only ? O_RDONLY : base.given() || result.given() ? O_RDWR : O_WRONLY;
    if (!open_target(&target, access)) return kExitFailure;
    int input_fd = STDIN_FILENO;
    const char* input_name = "standard input";
    if (!input_path.empty()) {
        input_fd = open(input_path.c_str(), O_RDONLY | O_CLOEXEC);
        if (input_fd < 0) {
            perror(input_path.c_str());
            return kExitFailure;
        }
        input_name = input_path.c_str();
    }
    if (!check_before_writing(target, &base, result)) {
        if (input_fd != STDIN_FILENO) close(input_fd);
        return kExitFailure;
    }
    int status = apply_stream(target, input_fd, input_name, check_only);
    if (input_fd != STDIN_FILENO) close(input_fd);
    if (result.given() && status == 0) status = check_result(target, result);
    if (result.given() && status == kExitIncomplete) {
        // The blocks after the diff's stop are missing: comparing would only list them.
        fprintf(stderr,
                "%s: not checked against the result manifest %s: the stream is incomplete\n",
                target.path.c_str(), result.path.c_str());
    }
    return status;
}
