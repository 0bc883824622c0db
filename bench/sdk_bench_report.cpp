#include "sdk_bench_report.h"

#include <algorithm>
#include <cstdio>

namespace sdk_bench {

namespace {

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n == 0 ? 0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The figures of one side over its runs: MiB/s (median, slowest, fastest), requests per
// second, and the medians of host and server CPU time per request in microseconds.
struct Figures {
    double mibs = 0, lo = 0, hi = 0, rps = 0, host_cpu = 0, server_cpu = 0;
};

Figures figures(const std::vector<Sample>& runs, uint64_t size) {
    std::vector<double> rate, h, sv;
    for (const auto& s : runs) {
        const double n = static_cast<double>(s.requests);
        rate.push_back(n * static_cast<double>(size) / kMiB / s.seconds);
        h.push_back(s.host_cpu / n * 1e6);
        sv.push_back(s.server_cpu / n * 1e6);
    }
    Figures f;
    f.mibs = median(rate);
    f.lo = rate.empty() ? 0 : *std::min_element(rate.begin(), rate.end());
    f.hi = rate.empty() ? 0 : *std::max_element(rate.begin(), rate.end());
    f.rps = f.mibs * kMiB / static_cast<double>(size);
    f.host_cpu = median(h);
    f.server_cpu = median(sv);
    return f;
}

}  // namespace

std::string size_text(uint64_t s) {
    return s >= kMiB ? std::to_string(s / kMiB) + " MiB" : std::to_string(s / kKiB) + " KiB";
}

void print_speed_head() {
    std::printf(
        "\n| mode | op | request | library MiB/s (min-max) | baseline MiB/s (min-max) | ratio | "
        "library req/s | baseline req/s | host CPU us/req lib / base | server CPU us/req sim / "
        "base |\n|---|---|---|---|---|---|---|---|---|---|\n");
}

bool print_speed_row(Mode mode, Op op, uint64_t size, const std::vector<Sample>& library,
                     const std::vector<Sample>& baseline) {
    const Figures l = figures(library, size), b = figures(baseline, size);
    if (library.empty() || baseline.empty() || !(l.mibs > 0) || !(b.mibs > 0)) return false;
    std::printf(
        "| %s | %s | %s | %.0f (%.0f-%.0f) | %.0f (%.0f-%.0f) | %.2f | %.0f | %.0f | "
        "%.1f / %.1f | %.1f / %.1f |\n",
        mode_name(mode), op == Op::kRead ? "read" : "write", size_text(size).c_str(), l.mibs, l.lo,
        l.hi, b.mibs, b.lo, b.hi, l.mibs / b.mibs, l.rps, b.rps, l.host_cpu, b.host_cpu,
        l.server_cpu, b.server_cpu);
    std::fflush(stdout);
    return true;
}

void print_memory_head(int calls) {
    std::printf(
        "\n| resident memory, %d calls of 64 KiB (write, read, ...) | host KiB after %d calls | "
        "host KiB after %d calls | server KiB after %d calls |\n|---|---|---|---|\n",
        calls, calls / 10, calls, calls);
}

void print_memory_row(bool library, Mode mode, long early, long late, long server) {
    std::printf("| %s %s | %ld | %ld | %ld |\n", library ? "library" : "baseline", mode_name(mode),
                early, late, server);
}

void print_profile(const std::string& program, Mode mode, Op op, uint64_t size, const Sample& s,
                   pid_t server) {
    const double requests = static_cast<double>(std::max<uint64_t>(s.requests, 1));
    std::printf(
        "profile %s %s %s %llu: %llu requests in %.3f s, host CPU %.1f us/req, "
        "server (pid %d) CPU %.1f us/req\n",
        program.c_str(), mode_name(mode), op == Op::kRead ? "read" : "write",
        static_cast<unsigned long long>(size), static_cast<unsigned long long>(s.requests),
        s.seconds, s.host_cpu / requests * 1e6, static_cast<int>(server),
        s.server_cpu / requests * 1e6);
}

}  // namespace sdk_bench
