// Time for measurements and time limits: the monotonic clock and this process's CPU time in
// seconds, and a stopwatch over both.
#ifndef ZEV_COMMON_TIMING_H
#define ZEV_COMMON_TIMING_H

namespace zev_common {

// Seconds on the monotonic clock (unaffected by changes of the wall clock).
double now_seconds();
// CPU seconds (user + system) this process has used, all threads together.
double process_cpu_seconds();

// Wall and CPU time since construction or the last restart().
class Stopwatch {
  public:
    Stopwatch() { restart(); }
    void restart() {
        start_ = now_seconds();
        cpu_start_ = process_cpu_seconds();
    }
    double seconds() const { return now_seconds() - start_; }
    double cpu_seconds() const { return process_cpu_seconds() - cpu_start_; }

  private:
    double start_ = 0;
    double cpu_start_ = 0;
};

}  // namespace zev_common

#endif  // ZEV_COMMON_TIMING_H
