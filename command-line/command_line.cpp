#include "command_line.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace zevcli {

const char* const kSizeRule =
    "Sizes are whole decimal numbers of bytes, optionally followed by K, M, G or T (or KiB,\n"
    "MiB, GiB, TiB), which are powers of 1024, case ignored; KB, MB, GB and TB are refused\n"
    "as ambiguous.";

const char* version() { return ZEV_PROJECT_VERSION; }

namespace {

bool digit(char c) { return c >= '0' && c <= '9'; }

bool letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// The decimal digits at the start of `text` as a number, `end` where they stop; "" or why
// they are not a whole number. What follows the digits is left to the caller, except a
// decimal point, which makes a fraction.
std::string leading_whole(const std::string& text, uint64_t& value, size_t& end) {
    if (text.empty()) return "it is empty";
    if (text[0] == '-') return "it is negative";
    if (!digit(text[0])) return "it does not start with a digit";
    if (text.size() > 1 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        return "hexadecimal is not taken; write the number in decimal";
    value = 0;
    for (end = 0; end < text.size() && digit(text[end]); ++end) {
        if (__builtin_mul_overflow(value, uint64_t{10}, &value) ||
            __builtin_add_overflow(value, uint64_t(text[end] - '0'), &value))
            return "it is more than 2^64 - 1";
    }
    if (end < text.size() && (text[end] == '.' || text[end] == ',')) return "it has a fraction";
    return "";
}

// The units of a size, in lower case, and their powers of 1024.
struct Unit {
    const char* name;
    unsigned power;
};
const Unit kUnits[] = {{"k", 1},   {"m", 2},   {"g", 3},   {"t", 4},
                       {"kib", 1}, {"mib", 2}, {"gib", 3}, {"tib", 4}};
// Units a reader may take for powers of 1000 as well as of 1024.
const Unit kAmbiguous[] = {{"kb", 1}, {"mb", 2}, {"gb", 3}, {"tb", 4}};

// Why `unit` after `count` is refused as ambiguous, with what to write instead.
std::string ambiguous(const std::string& text, uint64_t count, const std::string& unit,
                      unsigned power) {
    const char binary = static_cast<char>(std::toupper(static_cast<unsigned char>(unit[0])));
    std::string why = "\"" + unit + "\" in " + text + " is ambiguous; write ";
    uint64_t bytes = count, decimal = count;
    bool fits = true;
    for (unsigned i = 0; i < power; ++i)
        fits = fits && !__builtin_mul_overflow(bytes, uint64_t{1024}, &bytes) &&
               !__builtin_mul_overflow(decimal, uint64_t{1000}, &decimal);
    if (!fits) return why + binary + " (a power of 1024) or the byte count";
    return why + std::to_string(count) + binary + " (" + std::to_string(bytes) +
           " bytes) or the byte count, e.g. " + std::to_string(decimal);
}

// A size: "" with `bytes` set, or why not; `sentence` is set instead when the whole message is
// a sentence of its own (an ambiguous unit).
std::string size_why(const std::string& text, uint64_t& bytes, std::string& sentence) {
    uint64_t count = 0;
    size_t end = 0;
    const std::string why = leading_whole(text, count, end);
    if (!why.empty()) return why;
    const std::string unit = text.substr(end);
    if (unit.empty()) {
        bytes = count;
        return "";
    }
    const std::string name = lower(unit);
    for (const Unit& u : kAmbiguous) {
        if (name != u.name) continue;
        sentence = ambiguous(text, count, unit, u.power);
        return sentence;
    }
    for (const Unit& u : kUnits) {
        if (name != u.name) continue;
        if (count > (UINT64_MAX >> (10 * u.power))) return "it is more than 2^64 - 1 bytes";
        bytes = count << (10 * u.power);
        return "";
    }
    for (char c : unit)
        if (!letter(c)) return "\"" + unit + "\" after the number is not a unit";
    return "\"" + unit + "\" is not a unit (K, M, G, T or KiB, MiB, GiB, TiB: powers of 1024)";
}

// A count: "" with `value` set, or why not.
std::string count_why(const std::string& text, uint64_t& value) {
    size_t end = 0;
    const std::string why = leading_whole(text, value, end);
    if (!why.empty()) return why;
    if (end < text.size()) return "\"" + text.substr(end) + "\" follows the digits";
    return "";
}

std::string range_text(uint64_t min, uint64_t max) {
    return "a whole number from " + std::to_string(min) + " to " + std::to_string(max);
}

std::string number_text(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

// CLI11's help without its type notation: an option shows its value name (and "..." when it
// may repeat), then its help text; whether it is required, and which options it needs or
// excludes, in words.
class PlainFormatter : public CLI::Formatter {
  public:
    std::string make_option_opts(const CLI::Option* opt) const override {
        if (!opt->get_option_text().empty()) return " " + opt->get_option_text();
        std::string out;
        const std::string name = value_name(opt->get_type_name());
        if (opt->get_type_size() != 0) {
            if (!name.empty()) out += " " + name;
            if (opt->get_required() && !opt->get_positional()) out += " (required)";
        }
        std::string needs, excludes;
        for (const CLI::Option* other : opt->get_needs())
            needs += (needs.empty() ? "" : ", ") + other->get_name();
        for (const CLI::Option* other : opt->get_excludes())
            excludes += (excludes.empty() ? "" : ", ") + other->get_name();
        if (!needs.empty()) out += " (needs " + needs + ")";
        if (!excludes.empty()) out += " (not with " + excludes + ")";
        return out;
    }

  private:
    // The type name without the descriptions of checks that CLI11 appends after a colon; a
    // colon inside brackets belongs to the name ("ADDR[:PORT]").
    static std::string value_name(const std::string& type) {
        int depth = 0;
        for (size_t at = 0; at < type.size(); ++at) {
            if (type[at] == '[') ++depth;
            if (type[at] == ']') --depth;
            if (type[at] == ':' && depth == 0) return type.substr(0, at);
        }
        return type;
    }
};

}  // namespace

std::string parse_size(const std::string& text, uint64_t& bytes) {
    std::string sentence;
    const std::string why = size_why(text, bytes, sentence);
    if (!sentence.empty()) return sentence;
    return why.empty() ? "" : "'" + text + "' is not a byte count: " + why;
}

std::string parse_count(const std::string& text, uint64_t& value) {
    const std::string why = count_why(text, value);
    return why.empty() ? "" : "'" + text + "' is not a whole number: " + why;
}

CLI::Validator SizeIn(uint64_t min, uint64_t max) {
    return CLI::Validator(
        [min, max](std::string& text) -> std::string {
            uint64_t bytes = 0;
            const std::string why = parse_size(text, bytes);
            if (!why.empty()) return why;
            if (bytes < min || bytes > max)
                return "'" + text + "' is " + std::to_string(bytes) + " bytes, not " +
                       range_text(min, max);
            text = std::to_string(bytes);
            return "";
        },
        "");
}

CLI::Validator CountIn(uint64_t min, uint64_t max) {
    return CLI::Validator(
        [min, max](std::string& text) -> std::string {
            uint64_t value = 0;
            const std::string why = count_why(text, value);
            if (!why.empty() || value < min || value > max)
                return "'" + text + "' is not " + range_text(min, max) +
                       (why.empty() ? "" : ": " + why);
            text = std::to_string(value);
            return "";
        },
        "");
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
        "");
}

void setup(CLI::App& app, const std::string& program, const std::string& footer) {
    app.name(program);
    app.set_version_flag("--version", program + " " + version(), "print the version and exit");
    app.set_help_flag("-h,--help", "print this help and exit");
    app.formatter(std::make_shared<PlainFormatter>());
    app.get_formatter()->column_width(32);
    if (!footer.empty()) app.footer(footer);
    app.failure_message([program](const CLI::App*, const CLI::Error& e) {
        return usage_error_text(program, e.what());
    });
}

std::string usage_error_text(const std::string& program, const std::string& what) {
    return program + ": " + what + "\n" + program + ": run '" + program +
           " --help' for the options\n";
}

int exit_status(CLI::App& app, const CLI::ParseError& error) {
    return app.exit(error) == 0 ? 0 : kUsageError;
}

}  // namespace zevcli
