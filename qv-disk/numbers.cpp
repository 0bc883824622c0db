#include "numbers.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace qvdisk {
namespace {

bool blank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

bool letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

std::string trimmed(const std::string& s) {
    size_t begin = 0, end = s.size();
    while (begin < end && blank(s[begin])) ++begin;
    while (end > begin && blank(s[end - 1])) --end;
    return s.substr(begin, end - begin);
}

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// The value of a digit in bases up to 16; 16 for anything else.
unsigned digit_value(char c) {
    if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
    return 16;
}

// The factor of a size unit in lower case: b, and k, m, g, t, p, e alone or followed by b, i
// or ib, all in powers of 1024. False for any other unit.
bool unit_factor(const std::string& unit, uint64_t& factor) {
    if (unit == "b") {
        factor = 1;
        return true;
    }
    static const std::string kPowers = "kmgtpe";
    const size_t power = unit.empty() ? std::string::npos : kPowers.find(unit[0]);
    const std::string rest = unit.empty() ? "" : unit.substr(1);
    if (power == std::string::npos || !(rest.empty() || rest == "b" || rest == "i" || rest == "ib"))
        return false;
    factor = uint64_t{1} << (10 * (power + 1));
    return true;
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

std::string parse_whole(const std::string& given, uint64_t& value) {
    const std::string text = trimmed(given);
    if (text.empty()) return "it is empty";
    if (text[0] == '-') return "it is negative";
    size_t at = text[0] == '+' ? 1 : 0;
    // The bases C's strtoull takes with base 0, so that a number means what it always meant.
    unsigned base = 10;
    if (text.size() - at > 2 && text[at] == '0' && (text[at + 1] == 'x' || text[at + 1] == 'X')) {
        base = 16;
        at += 2;
    } else if (text.size() - at > 1 && text[at] == '0') {
        base = 8;
        at += 1;
    }
    if (at == text.size()) return "it has no digits";
    value = 0;
    for (; at < text.size(); ++at) {
        const unsigned digit = digit_value(text[at]);
        if (digit >= base) return "it is not a whole number";
        if (__builtin_mul_overflow(value, uint64_t{base}, &value) ||
            __builtin_add_overflow(value, uint64_t{digit}, &value))
            return "it is more than 2^64 - 1";
    }
    return "";
}

std::string parse_size(const std::string& given, uint64_t& bytes) {
    const std::string text = trimmed(given);
    if (text.empty()) return "it is empty";
    size_t unit_at = text.size();
    while (unit_at > 0 && letter(text[unit_at - 1])) --unit_at;
    const std::string unit = lower(text.substr(unit_at));
    const std::string number = trimmed(text.substr(0, unit_at));
    uint64_t factor = 1;
    if (!unit.empty() && !unit_factor(unit, factor))
        return "'" + text.substr(unit_at) +
               "' is not a unit (b, K, M, G, T, P, E: 1, 1024, 1024^2, ...)";
    if (number.empty()) {
        bytes = factor;
        return "";
    }
    uint64_t count = 0;
    const std::string why = parse_whole(number, count);
    if (!why.empty()) return why;
    if (__builtin_mul_overflow(count, factor, &bytes)) return "it is more than 2^64 - 1 bytes";
    return "";
}

CLI::Validator SizeIn(uint64_t min, uint64_t max) {
    return CLI::Validator(
        [min, max](std::string& text) -> std::string {
            uint64_t bytes = 0;
            const std::string why = parse_size(text, bytes);
            if (!why.empty()) return "'" + text + "' is not a byte count: " + why;
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
            const std::string why = parse_whole(text, value);
            if (!why.empty() || value < min || value > max)
                return "'" + text + "' is not " + range_text(min, max) +
                       (why.empty() ? "" : ": " + why);
            text = std::to_string(value);
            return "";
        },
        "N");
}

}  // namespace qvdisk
