// Diagnostic log: timestamped lines, hex dumps and text previews on standard I/O streams.
#include "logging.h"

#include <sys/time.h>
#include <time.h>

namespace {

void write_timestamp_prefix(FILE* stream) {
    struct timeval now;
    gettimeofday(&now, nullptr);
    const time_t seconds = now.tv_sec;
    struct tm local;
    if (localtime_r(&seconds, &local) == nullptr) return;  // no prefix for this line
    char date[64];
    strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &local);
    fprintf(stream, "[%s.%03ld] ", date, static_cast<long>(now.tv_usec) / 1000);
}

void write_hex_dump(FILE* stream, const char* label, const unsigned char* data, size_t size) {
    static const char hex_digits[] = "0123456789abcdef";
    fprintf(stream, "%s (%zu bytes):\n", label, size);
    // Each line is formatted in a local buffer: 16 times "xx " and a line break.
    char line[16 * 3 + 1];
    size_t used = 0;
    for (size_t i = 0; i < size; ++i) {
        line[used++] = hex_digits[data[i] >> 4];
        line[used++] = hex_digits[data[i] & 15];
        line[used++] = ' ';
        if (i % 16 == 15) {
            line[used++] = '\n';
            fwrite(line, 1, used, stream);
            used = 0;
        }
    }
    if (used != 0) {
        line[used++] = '\n';
        fwrite(line, 1, used, stream);
    }
    fflush(stream);
}

void write_text_preview(FILE* stream, const char* label, const unsigned char* data, size_t size,
                        size_t preview_limit) {
    const size_t n = size < preview_limit ? size : preview_limit;
    if (n == 0) return;
    size_t text_bytes = 0;
    for (size_t i = 0; i < n; ++i) {
        const unsigned char c = data[i];
        if (c == 0) return;
        if ((c >= 0x20 && c <= 0x7E) || c == '\t' || c == '\n' || c == '\r') ++text_bytes;
    }
    // Fewer than 90 per cent text bytes: no preview.
    if (text_bytes * 10 < n * 9) return;
    fprintf(stream, "%s (text preview, first %zu bytes):\n", label, n);
    // The first n bytes hold no zero byte, so writing them as they are is what "%.*s" writes,
    // without the int limit on the precision.
    fwrite(data, 1, n, stream);
    fputc('\n', stream);
    fflush(stream);
}

}  // namespace

FILE* open_log_file(const char* path) {
    if (path == nullptr) return nullptr;
    FILE* stream = fopen(path, "a+");
    if (stream == nullptr) {
        perror("Failed to open log file");
        return stderr;
    }
    return stream;
}

void close_log_file(FILE* stream) {
    if (stream != nullptr && stream != stderr) fclose(stream);
}

void vlog_message(FILE* stream, const char* format, va_list args) {
    if (stream == nullptr) return;
    write_timestamp_prefix(stream);
    vfprintf(stream, format, args);
    fputc('\n', stream);
    fflush(stream);
}

void log_message(FILE* stream, const char* format, ...) {
    if (stream == nullptr) return;
    va_list args;
    va_start(args, format);
    vlog_message(stream, format, args);
    va_end(args);
}

void log_message_into_file(const char* path, const char* format, ...) {
    if (path == nullptr) return;
    FILE* stream = open_log_file(path);
    va_list args;
    va_start(args, format);
    vlog_message(stream, format, args);
    va_end(args);
    close_log_file(stream);
}

void log_buffer(FILE* stream, const char* label, const unsigned char* data, size_t size) {
    if (stream == nullptr || data == nullptr) return;
    write_hex_dump(stream, label, data, size);
}

void log_buffer_with_preview(FILE* stream, const char* label, const unsigned char* data,
                             size_t size, size_t preview_limit) {
    if (stream == nullptr || data == nullptr) return;
    write_hex_dump(stream, label, data, size);
    if (size != 0) write_text_preview(stream, label, data, size, preview_limit);
}

void log_buffer_into_file(const char* path, const char* label, const unsigned char* data,
                          size_t size) {
    if (path == nullptr) return;
    FILE* stream = open_log_file(path);
    log_buffer(stream, label, data, size);
    close_log_file(stream);
}

void log_buffer_with_preview_into_file(const char* path, const char* label,
                                       const unsigned char* data, size_t size,
                                       size_t preview_limit) {
    if (path == nullptr) return;
    FILE* stream = open_log_file(path);
    log_buffer_with_preview(stream, label, data, size, preview_limit);
    close_log_file(stream);
}
