#include "timing.h"

#include <time.h>

namespace zev_common {
namespace {

double clock_seconds(clockid_t clock) {
    struct timespec ts;
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

}  // namespace

double now_seconds() { return clock_seconds(CLOCK_MONOTONIC); }

double process_cpu_seconds() { return clock_seconds(CLOCK_PROCESS_CPUTIME_ID); }

}  // namespace zev_common
