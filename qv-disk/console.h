// Standard error shared by the transfer threads, the library's log and the progress line:
// every message is written as one whole line, and a progress line shown on a terminal is
// cleared first so that messages never end up in the middle of it.
#ifndef QV_DISK_CONSOLE_H
#define QV_DISK_CONSOLE_H

#include <string>

namespace qvdisk {

// Writes "qv-disk: <text>" and a newline on standard error, and remembers `text` as the
// reason of the run's failure, should it fail: every failure is said with message().
void message(const std::string& text);

// Writes "qv-disk: <text>" as message() does, for a line that is never the reason of a
// failure (a warning, a retry, a step of a stop, what a stopped run left).
void note(const std::string& text);

// The text of the last message(): why the run failed, when it failed. "" when none was said.
std::string last_error();

// Standard output carries the data (read -o -): the summary lines go to standard error.
void data_on_standard_output();

// A summary line and a newline: on standard output, or on standard error when standard
// output carries the data.
void summary(const std::string& line);

// Writes `line` and a newline on standard error, as it is (for lines meant for programs).
void message_raw(const std::string& line);

// True when standard error is a terminal: only then is a progress line drawn.
bool progress_wanted();
// Replaces the progress line (no newline) / removes it.
void show_progress(const std::string& text);
void clear_progress();

}  // namespace qvdisk

#endif  // QV_DISK_CONSOLE_H
