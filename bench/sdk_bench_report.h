// The report of qv-sdk-bench: the speed table (medians of the runs with their spread, the
// library's figure against the baseline's), the resident-memory table and the profile line.
#ifndef ZEV_BENCH_SDK_BENCH_REPORT_H
#define ZEV_BENCH_SDK_BENCH_REPORT_H

#include <cstdint>
#include <string>
#include <vector>

#include "sdk_bench_cases.h"

namespace sdk_bench {

// "4 KiB", "1 MiB".
std::string size_text(uint64_t s);

void print_speed_head();
// One row for `size` bytes per request from the runs of the library and of the baseline;
// false (nothing printed) when either side has no figure.
bool print_speed_row(Mode mode, Op op, uint64_t size, const std::vector<Sample>& library,
                     const std::vector<Sample>& baseline);

void print_memory_head(int calls);
void print_memory_row(bool library, Mode mode, long early, long late, long server);

void print_profile(const std::string& program, Mode mode, Op op, uint64_t size, const Sample& s,
                   pid_t server);

}  // namespace sdk_bench

#endif
