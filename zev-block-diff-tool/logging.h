// Diagnostic log of the block difference tool: timestamped printf-style lines and hex dumps on a
// standard I/O stream. A null stream means "no log": every function then does nothing.
#ifndef ZEV_TOOL_LOGGING_H
#define ZEV_TOOL_LOGGING_H

#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>

// Opens `path` for appending ("a+"). Null path: returns null. When the file cannot be opened,
// reports "Failed to open log file" with perror and returns stderr.
FILE* open_log_file(const char* path);

// Closes `stream` unless it is null or stderr.
void close_log_file(FILE* stream);

// Writes "[YYYY-MM-DD HH:MM:SS.mmm] ", the formatted message and a line break, then flushes.
void log_message(FILE* stream, const char* format, ...) __attribute__((format(printf, 2, 3)));
void vlog_message(FILE* stream, const char* format, va_list args)
    __attribute__((format(printf, 2, 0)));

// Appends one timestamped line to the file at `path` (opened and closed within the call).
void log_message_into_file(const char* path, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// Hex dump: "<label> (<size> bytes):" and 16 bytes a line as "xx ".
void log_buffer(FILE* stream, const char* label, const unsigned char* data, size_t size);

// Hex dump followed by a text preview of the first min(size, preview_limit) bytes when those
// hold no zero byte and at least 90 per cent of them are printable ASCII, tab, LF or CR.
void log_buffer_with_preview(FILE* stream, const char* label, const unsigned char* data,
                             size_t size, size_t preview_limit);

// The same two dumps, appended to the file at `path` (opened and closed within the call).
void log_buffer_into_file(const char* path, const char* label, const unsigned char* data,
                          size_t size);
void log_buffer_with_preview_into_file(const char* path, const char* label,
                                       const unsigned char* data, size_t size,
                                       size_t preview_limit);

#endif
