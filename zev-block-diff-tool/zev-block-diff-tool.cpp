// zev-block-diff-tool: compares two equal-size files block by block and streams every differing
// block of the second file, LZ4-compressed and Base64-encoded, as JSON lines on standard output.
// The argument walk, file opening and the block comparison loop.
#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "io-all.h"
#include "logging.h"
#include "stream-writer.h"

#define HEARTBEAT_LOG HEARTBEAT_FORMAT " (heartbeat message)"

// Exit status of a run whose stream could not be written to standard output.
#define EXIT_OUTPUT_FAILED 2

// Opens `path` read-only and stores the descriptor in *fd (also when negative) and, in *size,
// the offset of the end of the file found by seeking the descriptor. Returns 0, or -1 after
// reporting with perror on the path a failed open or seek, or an input that is neither a
// regular file nor a block device (a directory: EISDIR; a pipe, FIFO or socket: ESPIPE; any
// other kind: ENOTBLK). A descriptor opened before such a failure stays open and is left to
// the caller.
static int open_file_for_reading(const char* path, int* fd, off_t* size) {
    *fd = open(path, O_RDONLY);
    if (*fd < 0) {
        perror(path);
        return -1;
    }
    // Only regular files and block devices have a size to compare. A directory would seek to
    // a meaningless end and fail at its first read; pipes, FIFOs and sockets keep the error
    // that seeking them gives; character devices have no size.
    struct stat st;
    if (fstat(*fd, &st) != 0) {
        perror(path);
        return -1;
    }
    if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
        if (S_ISDIR(st.st_mode)) {
            errno = EISDIR;
        } else if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) {
            errno = ESPIPE;
        } else {
            errno = ENOTBLK;
        }
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

// The stream is the only copy of the changes: a record that does not reach standard output
// ends the run with this message and EXIT_OUTPUT_FAILED, never with success.
static void report_output_error(void) {
    fprintf(stderr, "Error writing standard output: %s\n", strerror(errno));
}

// Writes one whole change record to standard output with as few write calls as the
// descriptor allows (one for a pipe with a reader), so a reading caller is woken once per
// record. Standard output's own buffer is flushed after every record, so nothing can be
// pending ahead of it. Returns 0, or -1 after reporting a failed write.
static int write_record(const char* record, size_t length) {
    if (fflush(stdout) != 0 || !zev::write_all(STDOUT_FILENO, record, length)) {
        report_output_error();
        return -1;
    }
    return 0;
}

// A closed standard descriptor would be handed out by the next open: the log stream would
// then take descriptor 1 and the records would land in the log. Standard input and standard
// error are therefore filled with /dev/null when closed. Returns 0, or -1 when standard output
// is closed, since the run could not deliver its stream.
static int check_standard_descriptors(void) {
    bool output_closed = false;
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        if (fd == STDOUT_FILENO) output_closed = true;
        // The lowest free descriptor is `fd`, since every lower one is open by now. Should
        // /dev/null be missing, the descriptor stays closed and the run goes on as before.
        open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    }
    if (output_closed) {
        errno = EBADF;
        report_output_error();
        return -1;
    }
    return 0;
}

// The command line of one run.
struct run_options {
    const char* first_path;
    const char* second_path;
    uint64_t block_size;
    const char* log_path;
};

// Walks the options after the two paths in name/value pairs. Returns 0, or -1 after printing
// the message of the first bad pair.
static int parse_options(int argc, char** argv, run_options* options) {
    options->first_path = argv[1];
    options->second_path = argv[2];
    options->block_size = ZEV_DEFAULT_BLOCK_SIZE;
    options->log_path = nullptr;
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
                return -1;
            }
            options->block_size = parsed;
        } else if (strcmp(name, "--log-file") == 0 && has_value) {
            options->log_path = argv[i + 1];
        } else {
            fprintf(stderr, "Unknown argument: %s\n", name);
            return -1;
        }
    }
    return 0;
}

// Everything a run acquires. Members start empty (-1 or null) and are released together by
// release_run, whatever point the run reached.
struct run_state {
    FILE* log;
    int first_fd;
    int second_fd;
    uint64_t file_size;
    uint64_t block_size;
    unsigned char* first_block;
    unsigned char* second_block;
    // The compression buffer and the change record (which holds the Base64 text) are made
    // once, at the size the largest block needs, when the first differing block arrives, and
    // reused for every later one: memory stays constant and identical files never allocate
    // them. A failed allocation skips that block's record and is tried again at the next one.
    int compress_bound;
    unsigned char* compressed;
    size_t record_capacity;
    char* record;
};

static void release_run(run_state* run) {
    free(run->record);
    free(run->compressed);
    free(run->first_block);
    free(run->second_block);
    if (run->first_fd >= 0) close(run->first_fd);
    if (run->second_fd >= 0) close(run->second_fd);
    close_log_file(run->log);
}

// Opens both files, checks their sizes and allocates the block buffers. Returns 0, or -1
// after printing why the run cannot start.
static int prepare_run(const run_options* options, run_state* run) {
    off_t first_size = 0;
    off_t second_size = 0;
    if (open_file_for_reading(options->first_path, &run->first_fd, &first_size) != 0) return -1;
    if (open_file_for_reading(options->second_path, &run->second_fd, &second_size) != 0) {
        return -1;
    }
    if (first_size != second_size) {
        fprintf(stderr, "Files differ in size: %" PRIu64 " vs %" PRIu64 "\n",
                static_cast<uint64_t>(first_size), static_cast<uint64_t>(second_size));
        return -1;
    }
    run->file_size = static_cast<uint64_t>(first_size);
    run->block_size = options->block_size;
    run->first_block = static_cast<unsigned char*>(malloc(run->block_size));
    run->second_block = static_cast<unsigned char*>(malloc(run->block_size));
    if (run->first_block == nullptr || run->second_block == nullptr) {
        perror("malloc");
        return -1;
    }
    run->compress_bound = block_compress_bound(run->block_size);
    run->record_capacity = change_record_capacity(static_cast<size_t>(run->compress_bound));
    return 0;
}

// Compresses, encodes and writes the change record of one differing block (already in the
// second block buffer). A block that cannot be compressed or encoded gets no record and the
// run goes on. Returns -1 only when standard output refused the record.
static int emit_change_record(run_state* run, uint64_t block_offset, uint64_t length) {
    log_buffer_with_preview(run->log, "Blocks are different\n", run->second_block, length, length);
    if (run->compressed == nullptr) {
        run->compressed =
            static_cast<unsigned char*>(malloc(static_cast<size_t>(run->compress_bound)));
    }
    if (run->compressed == nullptr) {
        perror("malloc");
        return 0;
    }
    const int compressed_size =
        compress_block(run->second_block, length, run->compressed, run->compress_bound);
    log_message(run->log, "Compressed bytes: %" PRIu64 "\n (block size: %" PRIu64 ")",
                static_cast<uint64_t>(static_cast<uint32_t>(compressed_size)), length);
    if (compressed_size <= 0) {
        fprintf(stderr, "LZ4 compression failed at offset %" PRIu64 "\n", block_offset);
        return 0;
    }
    if (run->record == nullptr) run->record = static_cast<char*>(malloc(run->record_capacity));
    if (run->record == nullptr) {
        perror("base64_encode");
        return 0;
    }
    const size_t record_length = build_change_record(
        run->record, block_offset, length, run->compressed, static_cast<size_t>(compressed_size));
    if (write_record(run->record, record_length) != 0) return -1;
    if (run->log != nullptr) {
        // The record already ends in its line break; "%s" has no int limit on the length,
        // unlike a precision.
        run->record[record_length] = '\0';
        log_message(run->log, "%s", run->record);
    }
    return 0;
}

// Logs and prints a heartbeat record (last = "false") or the final record (last = "true").
// Returns -1 after reporting that standard output refused it.
static int emit_heartbeat(FILE* log, uint64_t bytes_processed, const char* last) {
    log_message(log, HEARTBEAT_LOG, bytes_processed, last);
    if (printf(HEARTBEAT_RECORD, bytes_processed, last) < 0 || fflush(stdout) != 0) {
        report_output_error();
        return -1;
    }
    return 0;
}

// Reads block `block_index` of both files into the block buffers. Returns 0, or -1 after
// printing the read error; a short read (the file ended early) has no error of its own and is
// reported as ENODATA instead of whatever errno held.
static int read_blocks(run_state* run, uint64_t block_index, uint64_t block_offset,
                       uint64_t length) {
    const off_t at = static_cast<off_t>(block_offset);
    const ssize_t first_read = pread(run->first_fd, run->first_block, length, at);
    const int first_errno = errno;
    const ssize_t second_read = pread(run->second_fd, run->second_block, length, at);
    const int second_errno = errno;
    const ssize_t expected = static_cast<ssize_t>(length);
    if (first_read == expected && second_read == expected) return 0;
    int error;
    if (first_read != expected) {
        error = first_read < 0 ? first_errno : ENODATA;
    } else {
        error = second_read < 0 ? second_errno : ENODATA;
    }
    fprintf(stderr, "Error reading block %" PRIu64 ": %s\n", block_index, strerror(error));
    return -1;
}

// The block loop and the final record. Returns 0, or -1 when standard output failed: the
// stream then stops at once, without a final record.
static int compare_files(run_state* run) {
    const uint64_t file_size = run->file_size;
    const uint64_t block_size = run->block_size;
    const uint64_t block_count = (file_size + block_size - 1) / block_size;
    heartbeat_schedule heartbeats;
    start_heartbeats(&heartbeats, file_size);
    log_message(run->log,
                "Initialized heartbeat interval: every %" PRIu64 " bytes (0.01 of %" PRIu64 ")",
                heartbeats.interval, file_size);
    uint64_t bytes_processed = 0;
    uint64_t block_offset = 0;

    for (uint64_t block_index = 0; block_index < block_count; ++block_index) {
        log_message(run->log, "Processing block %" PRIu64 " of %" PRIu64 " blocks\n", block_index,
                    block_count);
        uint64_t length = block_size;
        if (block_index == block_count - 1 && file_size % block_size != 0) {
            length = file_size % block_size;
        }
        if (read_blocks(run, block_index, block_offset, length) != 0) break;

        if (memcmp(run->first_block, run->second_block, length) == 0) {
            log_message(run->log, "Blocks are identical");
        } else if (emit_change_record(run, block_offset, length) != 0) {
            return -1;
        }

        bytes_processed += length;
        if (heartbeat_due(&heartbeats, bytes_processed) &&
            emit_heartbeat(run->log, bytes_processed, "false") != 0) {
            return -1;
        }
        block_offset += block_size;
    }
    return emit_heartbeat(run->log, bytes_processed, "true");
}

// Whether the file `log_st` describes is one of the two inputs (same device and inode,
// whatever the names): appending the log would change an image being compared.
static bool is_an_input(const struct stat* log_st, const run_options* options) {
    const char* inputs[] = {options->first_path, options->second_path};
    for (const char* input : inputs) {
        struct stat st;
        if (stat(input, &st) == 0 && st.st_dev == log_st->st_dev && st.st_ino == log_st->st_ino)
            return true;
    }
    return false;
}

static void report_log_is_an_input(const run_options* options) {
    fprintf(stderr, "--log-file %s is one of the files to compare; choose another log file\n",
            options->log_path);
}

// An existing log path is checked before it is opened, so that an input is never opened for
// appending; a missing one cannot be an input. The check is repeated on the opened file, which
// may be another one if the name changed in between: opening for appending writes nothing, so
// that check still comes before the first line.
static bool log_path_is_an_input(const run_options* options) {
    struct stat st;
    return options->log_path != nullptr && stat(options->log_path, &st) == 0 &&
           is_an_input(&st, options);
}

static bool opened_log_is_an_input(FILE* log, const run_options* options) {
    struct stat st;
    return log != nullptr && log != stderr && fstat(fileno(log), &st) == 0 &&
           is_an_input(&st, options);
}

int main(int argc, char** argv) {
    if (check_standard_descriptors() != 0) return EXIT_OUTPUT_FAILED;
    if (argc < 3) {
        // A caller may start the program with an empty argument vector: name it then.
        fprintf(stderr, "Usage: %s <file1> <file2> [--block-size <bytes>] [--log-file <path>]\n",
                argc > 0 ? argv[0] : "zev-block-diff-tool");
        return 1;
    }
    run_options options;
    if (parse_options(argc, argv, &options) != 0) return 1;

    run_state run = {};
    run.first_fd = -1;
    run.second_fd = -1;
    if (log_path_is_an_input(&options)) {
        report_log_is_an_input(&options);
        return 1;
    }
    run.log = open_log_file(options.log_path);
    if (opened_log_is_an_input(run.log, &options)) {
        report_log_is_an_input(&options);
        close_log_file(run.log);
        return 1;
    }
    log_message(
        run.log,
        "Running ZEV diff tool, with command: zev-block-diff-tool %s %s [--block-size %" PRIu64
        "] [--log-file %s]",
        options.first_path, options.second_path, options.block_size, options.log_path);

    int status = 1;
    if (prepare_run(&options, &run) == 0) {
        status = compare_files(&run) == 0 ? 0 : EXIT_OUTPUT_FAILED;
    }
    release_run(&run);
    return status;
}
