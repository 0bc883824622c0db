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

bool FaultCounter::claim(std::string& label) {
    label = "fault " + std::to_string(claimed_.fetch_add(1) + 1);
    return true;
}

bool FaultLimit::claim(std::string& label) {
    const uint64_t n = taken_.fetch_add(1) + 1;
    if (n > limit_) {
        if (n == limit_ + 1)
            log_info("fault limit %llu reached: serving without faults from now on",
                     static_cast<unsigned long long>(limit_));
        return false;
    }
    if (!next_.claim(label)) return false;
    label += " of " + std::to_string(limit_);
    return true;
}

ConnectionFaults::ConnectionFaults(const FaultSettings& settings, FaultSource& source,
                                   uint64_t conn)
    : settings_(settings), source_(source), conn_(conn), random_(settings.seed, conn) {
    const FaultSettings& s = settings_;
    if (s.drop_after != 0)
        drop_limit_ = s.drop_jitter == 0 ? s.drop_after
                                         : random_.between(s.drop_after - s.drop_jitter,
                                                           s.drop_after + s.drop_jitter);
}

bool ConnectionFaults::claim_drop(std::string& label) {
    if (drop_limit_ == 0) return false;
    if (source_.claim(label)) return true;
    drop_limit_ = 0;
    return false;
}

bool ConnectionFaults::io_error(std::string& label) {
    const double rate = settings_.io_error_rate;
    return rate > 0 && random_.unit() < rate && source_.claim(label);
}

bool ConnectionFaults::stall(uint64_t answered, std::string& label) {
    const auto& after = settings_.stall_after;
    return after && *after == answered && source_.claim(label);
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
