// zev-block-diff-tool entry point: argument walk, file opening and the block comparison loop.
#include "diff-tool.h"

#include <errno.h>
#include <fcntl.h>
#include <lz4.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "base64.h"
#include "logging.h"

#define HEARTBEAT_RECORD "{\"offset\":%lu,\"length\":0,\"data\":\"\",\"last\":%s}\n"
#define HEARTBEAT_LOG "{\"offset\":%lu,\"length\":0,\"data\":\"\",\"last\":%s} (heartbeat message)"

// Room for the fixed parts of a change record around its Base64 text:
// {"offset":<20 digits>,"length":<20 digits>,"data":"<text>"}\n plus a terminator.
#define CHANGE_RECORD_OVERHEAD 96

int open_file_for_reading(const char* path, int* fd, off_t* size) {
    *fd = open(path, O_RDONLY);
    if (*fd < 0) {
        perror(path);
        return -1;
    }
    *size = lseek(*fd, 0, SEEK_END);
    if (*size < 0) {
        perror(path);
        return -1;
    }
    return 0;
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

// Builds the whole change record {"offset":..,"length":..,"data":".."}\n in `record` and
// returns its length.
static size_t build_change_record(char* record, uint64_t offset, uint64_t length,
                                  const unsigned char* compressed, size_t compressed_size) {
    char* p = put_text(record, "{\"offset\":");
    p = put_decimal(p, offset);
    p = put_text(p, ",\"length\":");
    p = put_decimal(p, length);
    p = put_text(p, ",\"data\":\"");
    p += base64_encode_to(compressed, compressed_size, p);
    p = put_text(p, "\"}\n");
    return static_cast<size_t>(p - record);
}

// Writes one whole change record to standard output with as few write calls as the
// descriptor allows (one for a pipe with a reader), so a reading caller is woken once per
// record. Standard output's own buffer is flushed after every record, so nothing can be
// pending ahead of it. Write errors are not reported, as for every other record.
static void write_record(const char* record, size_t length) {
    fflush(stdout);
    size_t written = 0;
    while (written < length) {
        const ssize_t n = write(STDOUT_FILENO, record + written, length - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        written += static_cast<size_t>(n);
    }
}

static void close_if_open(int fd) {
    if (fd >= 0) close(fd);
}

int main(int argc, char** argv) {
    if (argc < 3) {
        // A caller may start the program with an empty argument vector: name it then.
        fprintf(stderr, "Usage: %s <file1> <file2> [--block-size <bytes>] [--log-file <path>]\n",
                argc > 0 ? argv[0] : "zev-block-diff-tool");
        return 1;
    }
    const char* first_path = argv[1];
    const char* second_path = argv[2];
    uint64_t block_size = ZEV_DEFAULT_BLOCK_SIZE;
    const char* log_path = nullptr;

    for (int i = 3; i < argc; i += 2) {
        const char* name = argv[i];
        const bool has_value = i + 1 < argc;
        if (strcmp(name, "--block-size") == 0 && has_value) {
            const char* value = argv[i + 1];
            char* end = nullptr;
            errno = 0;
            const unsigned long parsed = strtoul(value, &end, 10);
            // Zero, trailing garbage and anything LZ4 cannot take in one call are refused.
            if (*end != '\0' || parsed == 0 || parsed > ZEV_MAX_BLOCK_SIZE || errno == ERANGE) {
                fprintf(stderr, "Invalid block size: %s\n", value);
                return 1;
            }
            block_size = parsed;
        } else if (strcmp(name, "--log-file") == 0 && has_value) {
            log_path = argv[i + 1];
        } else {
            fprintf(stderr, "Unknown argument: %s\n", name);
            return 1;
        }
    }

    FILE* log = open_log_file(log_path);
    log_message(log,
                "Running ZEV diff tool, with command: zev-block-diff-tool %s %s [--block-size %zu] "
                "[--log-file %s]",
                first_path, second_path, static_cast<size_t>(block_size), log_path);

    int first_fd = -1;
    int second_fd = -1;
    off_t first_size = 0;
    off_t second_size = 0;
    if (open_file_for_reading(first_path, &first_fd, &first_size) != 0) {
        close_if_open(first_fd);
        close_log_file(log);
        return 1;
    }
    if (open_file_for_reading(second_path, &second_fd, &second_size) != 0) {
        close_if_open(first_fd);
        close_if_open(second_fd);
        close_log_file(log);
        return 1;
    }
    if (first_size != second_size) {
        fprintf(stderr, "Files differ in size: %ld vs %ld\n", static_cast<long>(first_size),
                static_cast<long>(second_size));
        close(first_fd);
        close(second_fd);
        close_log_file(log);
        return 1;
    }

    const uint64_t file_size = static_cast<uint64_t>(first_size);
    const uint64_t block_count = (file_size + block_size - 1) / block_size;
    unsigned char* first_block = static_cast<unsigned char*>(malloc(block_size));
    unsigned char* second_block = static_cast<unsigned char*>(malloc(block_size));
    if (first_block == nullptr || second_block == nullptr) {
        perror("malloc");
        free(first_block);
        free(second_block);
        close(first_fd);
        close(second_fd);
        close_log_file(log);
        return 1;
    }

    const uint64_t heartbeat_interval = file_size >= 100 ? file_size / 100 : 1;
    log_message(log, "Initialized heartbeat interval: every %ld bytes (0.01 of %ld)",
                static_cast<long>(heartbeat_interval), static_cast<long>(file_size));
    uint64_t next_heartbeat = heartbeat_interval;
    uint64_t bytes_processed = 0;
    uint64_t block_offset = 0;

    // The compression buffer and the change record (which holds the Base64 text) are made once,
    // at the size the largest block needs, when the first differing block arrives, and reused
    // for every later one: memory stays constant and identical files never allocate them.
    // A failed allocation skips that block's record and is tried again at the next one.
    const int compress_bound = LZ4_compressBound(static_cast<int>(block_size));
    unsigned char* compressed = nullptr;
    char* record = nullptr;
    const size_t record_capacity =
        base64_encoded_length(static_cast<size_t>(compress_bound)) + CHANGE_RECORD_OVERHEAD;

    for (uint64_t block_index = 0; block_index < block_count; ++block_index) {
        log_message(log, "Processing block %zu of %zu blocks\n", static_cast<size_t>(block_index),
                    static_cast<size_t>(block_count));
        uint64_t length = block_size;
        if (block_index == block_count - 1 && file_size % block_size != 0) {
            length = file_size % block_size;
        }

        const ssize_t first_read = pread(first_fd, first_block, length, block_offset);
        const int first_errno = errno;
        const ssize_t second_read = pread(second_fd, second_block, length, block_offset);
        const int second_errno = errno;
        if (first_read != static_cast<ssize_t>(length) ||
            second_read != static_cast<ssize_t>(length)) {
            // A read that failed reports its own error; a short read (the file ended early)
            // has no error of its own and reports ENODATA instead of whatever errno held.
            int error;
            if (first_read != static_cast<ssize_t>(length)) {
                error = first_read < 0 ? first_errno : ENODATA;
            } else {
                error = second_read < 0 ? second_errno : ENODATA;
            }
            fprintf(stderr, "Error reading block %lu: %s\n",
                    static_cast<unsigned long>(block_index), strerror(error));
            break;
        }

        if (memcmp(first_block, second_block, length) == 0) {
            log_message(log, "Blocks are identical");
        } else {
            log_buffer_with_preview(log, "Blocks are different\n", second_block, length, length);
            if (compressed == nullptr) {
                compressed =
                    static_cast<unsigned char*>(malloc(static_cast<size_t>(compress_bound)));
            }
            if (compressed == nullptr) {
                perror("malloc");
            } else {
                const int compressed_size = LZ4_compress_default(
                    reinterpret_cast<const char*>(second_block),
                    reinterpret_cast<char*>(compressed), static_cast<int>(length), compress_bound);
                log_message(log, "Compressed bytes: %lu\n (block size: %lu)",
                            static_cast<unsigned long>(static_cast<uint32_t>(compressed_size)),
                            static_cast<unsigned long>(length));
                if (compressed_size <= 0) {
                    fprintf(stderr, "LZ4 compression failed at offset %lu\n",
                            static_cast<unsigned long>(block_offset));
                } else {
                    if (record == nullptr) record = static_cast<char*>(malloc(record_capacity));
                    if (record == nullptr) {
                        perror("base64_encode");
                    } else {
                        const size_t record_length =
                            build_change_record(record, block_offset, length, compressed,
                                                static_cast<size_t>(compressed_size));
                        write_record(record, record_length);
                        if (log != nullptr) {
                            // The record already ends in its line break; "%s" has no int
                            // limit on the length, unlike a precision.
                            record[record_length] = '\0';
                            log_message(log, "%s", record);
                        }
                    }
                }
            }
        }

        bytes_processed += length;
        if (bytes_processed >= next_heartbeat) {
            log_message(log, HEARTBEAT_LOG, static_cast<unsigned long>(bytes_processed), "false");
            printf(HEARTBEAT_RECORD, static_cast<unsigned long>(bytes_processed), "false");
            fflush(stdout);
            next_heartbeat += heartbeat_interval;
        }
        block_offset += block_size;
    }

    log_message(log, HEARTBEAT_LOG, static_cast<unsigned long>(bytes_processed), "true");
    printf(HEARTBEAT_RECORD, static_cast<unsigned long>(bytes_processed), "true");
    fflush(stdout);

    free(record);
    free(compressed);
    free(first_block);
    free(second_block);
    close(first_fd);
    close(second_fd);
    close_log_file(log);
    return 0;
}
