// Standard error shared by the transfer threads, the library's log and the progress line:
// every message is written as one whole line, and a progress line shown on a terminal is
// cleared first so that messages never end up in the middle of it.
#ifndef QV_DISK_CONSOLE_H
#define QV_DISK_CONSOLE_H

#include <string>

namespace qvdisk {

// Writes "qv-disk: <text>" and a newline on standard error.
void message(const std::string& text);

// Writes `line` and a newline on standard error, as it is (for lines meant for programs).
void message_raw(const std::string& line);

// True when standard error is a terminal: only then is a progress line drawn.
bool progress_wanted();
// Replaces the progress line (no newline) / removes it.
void show_progress(const std::string& text);
void clear_progress();

}  // namespace qvdisk

#endif  // QV_DISK_CONSOLE_H
