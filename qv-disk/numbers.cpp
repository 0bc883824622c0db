#include "numbers.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace qvdisk {
namespace {

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool parse_count(const std::string& text, uint64_t& value, size_t& used) {
    value = 0;
    used = 0;
    while (used < text.size() && std::isdigit(static_cast<unsigned char>(text[used]))) {
        const uint64_t digit = static_cast<uint64_t>(text[used] - '0');
        if (__builtin_mul_overflow(value, uint64_t{10}, &value) ||
            __builtin_add_overflow(value, digit, &value))
            return false;
        ++used;
    }
    return used > 0;
}

std::string range_text(uint64_t min, uint64_t max) {
    return "a whole number from " + std::to_string(min) + " to " + std::to_string(max);
}

std::string number_text(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

}  // namespace

bool parse_size(const std::string& text, uint64_t& bytes) {
    uint64_t count = 0;
    size_t used = 0;
    if (!parse_count(text, count, used)) return false;
    size_t at = used;
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
    const std::string unit = lower(text.substr(at));
    uint64_t factor = 1;
    if (!unit.empty() && unit != "b") {
        static const std::string kPowers = "kmgtpe";
        const size_t power = kPowers.find(unit[0]);
        const std::string rest = unit.substr(1);
        if (power == std::string::npos ||
            !(rest.empty() || rest == "b" || rest == "i" || rest == "ib"))
            return false;
        factor = uint64_t{1} << (10 * (power + 1));
    } else if (at != used && unit.empty()) {
        return false;  // blanks after the number and nothing else
    }
    return !__builtin_mul_overflow(count, factor, &bytes);
}

CLI::Validator SizeIn(uint64_t min, uint64_t max) {
    return CLI::Validator(
        [min, max](std::string& text) -> std::string {
            uint64_t bytes = 0;
            if (!parse_size(text, bytes))
                return "'" + text +
                       "' is not a byte count: a whole number, optionally followed by a unit "
                       "(K, M, G, T: 1024, 1024^2, ...), never negative and below 2^64";
            if (bytes < min || bytes > max)
                return "'" + text + "' is " + std::to_string(bytes) + " bytes, not " +
                       range_text(min, max);
            text = std::to_string(bytes);
            return "";
        },
        "BYTES");
}

CLI::Validator SecondsIn(double min, double max) {
    return CLI::Validator(
        [min, max](std::string& text) -> std::string {
            char* end = nullptr;
            const double value = std::strtod(text.c_str(), &end);
            if (text.empty() || *end != '\0' || !std::isfinite(value) || value < min || value > max)
                return "'" + text + "' is not a number of seconds from " + number_text(min) +
                       " to " + number_text(max);
            return "";
        },
        "SECONDS");
}

CLI::Validator CountIn(uint64_t min, uint64_t max) {
    return CLI::Validator(
        [min, max](std::string& text) -> std::string {
            uint64_t value = 0;
            size_t used = 0;
            if (!parse_count(text, value, used) || used != text.size() || value < min ||
                value > max)
                return "'" + text + "' is not " + range_text(min, max);
            return "";
        },
        "N");
}

}  // namespace qvdisk
