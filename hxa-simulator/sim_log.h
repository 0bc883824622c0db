// Logging of the HXA service simulator: one line per event on standard error, with a
// wall-clock time stamp. Safe to call from every connection thread.
#ifndef HXA_SIMULATOR_SIM_LOG_H
#define HXA_SIMULATOR_SIM_LOG_H

namespace hxasim {

enum class Verbosity { kQuiet, kNormal, kVerbose };

void set_verbosity(Verbosity v);

// Start-up, shutdown, connections and every request (hidden by --quiet).
void log_info(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Failures and refused input; always shown.
void log_error(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Per-extent details of transfers (only with --verbose).
void log_debug(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace hxasim

#endif  // HXA_SIMULATOR_SIM_LOG_H
