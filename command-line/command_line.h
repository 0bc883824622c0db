// The command-line conventions of the programs (all but the diff tool, whose command line is
// fixed): one parser of sizes and counts with its CLI11 checks, and one setup of an
// application's help, version and usage errors.
//
// Sizes are whole decimal numbers of bytes, optionally followed by K, M, G or T (or KiB, MiB,
// GiB, TiB), which are powers of 1024, case ignored; KB, MB, GB and TB are refused as
// ambiguous. Counts are whole decimal numbers. Neither takes a sign, a fraction, blanks, a
// hexadecimal "0x" or anything past 2^64 - 1; a leading 0 is decimal.
#ifndef ZEV_COMMAND_LINE_H
#define ZEV_COMMAND_LINE_H

#include <CLI/CLI.hpp>
#include <cstdint>
#include <string>

namespace zevcli {

// Exit status of a usage error: a wrong option or value, found before anything is opened.
constexpr int kUsageError = 2;

// The sentence every help text and page gives for sizes (broken into lines for the help).
extern const char* const kSizeRule;

// The project's version, the same for every program.
const char* version();

// A size in bytes. "" when `text` is one, otherwise a sentence that says why not and names
// the text, e.g. "'-1' is not a byte count: it is negative" or "\"MB\" in 64MB is ambiguous;
// write 64M (67108864 bytes) or the byte count, e.g. 64000000".
std::string parse_size(const std::string& text, uint64_t& bytes);

// A whole decimal count; "" or a sentence that says why not, as parse_size.
std::string parse_count(const std::string& text, uint64_t& value);

// CLI11 transform for a size from `min` to `max` bytes: the text becomes the number of bytes.
CLI::Validator SizeIn(uint64_t min, uint64_t max);

// CLI11 transform for a count from `min` to `max`; the text becomes the count in decimal.
CLI::Validator CountIn(uint64_t min, uint64_t max);

// CLI11 check for a number of seconds from `min` to `max` (not NaN, not infinite).
CLI::Validator SecondsIn(double min, double max);

// Sets up `app`, named `program`, the way every program is: --version prints "PROGRAM
// VERSION"; the help shows each option's value name and its help text, without CLI11's type
// and range notation, and ends with `footer` (the examples); CLI11's failure messages begin
// with "PROGRAM: " like the program's own.
void setup(CLI::App& app, const std::string& program, const std::string& footer);

// The message of a usage error: "PROGRAM: WHAT" and a line that points to --help.
std::string usage_error_text(const std::string& program, const std::string& what);

// Prints what `error` asks for (the help or the version on standard output, a usage error on
// standard error) and returns the exit status: 0 for --help and --version, kUsageError
// otherwise.
int exit_status(CLI::App& app, const CLI::ParseError& error);

}  // namespace zevcli

#endif  // ZEV_COMMAND_LINE_H
