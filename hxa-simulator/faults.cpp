#include "faults.h"

#include <cstdio>

#include "sim_log.h"

namespace hxasim {
namespace {

constexpr uint64_t kGolden = 0x9E3779B97F4A7C15ull;

uint64_t mix(uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

std::string number_text(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", v);
    return text;
}

}  // namespace

Random::Random(uint64_t seed, uint64_t stream) : state_(mix(seed) ^ mix(stream * kGolden)) {}

uint64_t Random::next() {
    state_ += kGolden;
    return mix(state_);
}

uint64_t Random::between(uint64_t lo, uint64_t hi) { return lo + next() % (hi - lo + 1); }

double Random::unit() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

bool FaultBudget::claim(std::string& label) {
    const uint64_t n = claimed_.fetch_add(1) + 1;
    const uint64_t limit = settings_.fault_limit;
    if (limit != 0 && n > limit) {
        if (n == limit + 1)
            log_info("fault limit %llu reached: serving without faults from now on",
                     static_cast<unsigned long long>(limit));
        return false;
    }
    label = "fault " + std::to_string(n);
    if (limit != 0) label += " of " + std::to_string(limit);
    return true;
}

ConnectionFaults::ConnectionFaults(FaultBudget& budget, uint64_t conn)
    : budget_(budget), conn_(conn), random_(budget.settings().seed, conn) {
    const FaultSettings& s = budget_.settings();
    if (s.drop_after != 0)
        drop_limit_ = s.drop_jitter == 0 ? s.drop_after
                                         : random_.between(s.drop_after - s.drop_jitter,
                                                           s.drop_after + s.drop_jitter);
}

bool ConnectionFaults::claim_drop(std::string& label) {
    if (drop_limit_ == 0) return false;
    if (budget_.claim(label)) return true;
    drop_limit_ = 0;
    return false;
}

bool ConnectionFaults::io_error(std::string& label) {
    const double rate = budget_.settings().io_error_rate;
    return rate > 0 && random_.unit() < rate && budget_.claim(label);
}

bool ConnectionFaults::stall(uint64_t answered, std::string& label) {
    const auto& after = budget_.settings().stall_after;
    return after && *after == answered && budget_.claim(label);
}

std::string describe_faults(const FaultSettings& s) {
    std::string text;
    auto add = [&text](const std::string& part) { text += (text.empty() ? "" : ", ") + part; };
    if (s.drop_after != 0)
        add("connections " + std::string(s.drop_mode == DropMode::kClose ? "closed" : "reset") +
            " after " + std::to_string(s.drop_after) +
            (s.drop_jitter != 0 ? " +/- " + std::to_string(s.drop_jitter) : std::string()) +
            " bytes");
    if (s.io_error_rate > 0) add("I/O errors on a share of " + number_text(s.io_error_rate));
    if (s.stall_after) add("stall after " + std::to_string(*s.stall_after) + " requests");
    if (s.reply_delay_ms > 0) add("replies delayed " + number_text(s.reply_delay_ms) + " ms");
    if (text.empty()) return text;
    add("seed " + std::to_string(s.seed));
    add(s.fault_limit != 0 ? "at most " + std::to_string(s.fault_limit) + " faults"
                           : "no fault limit");
    return text;
}

}  // namespace hxasim
