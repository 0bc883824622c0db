// The numbers of qv-disk's command line, checked as they are parsed: a value that is
// negative, too large for its option, not finite or not a number at all is a usage error,
// before anything is opened or connected.
#ifndef QV_DISK_NUMBERS_H
#define QV_DISK_NUMBERS_H

#include <CLI/CLI.hpp>
#include <cstdint>
#include <string>

namespace qvdisk {

// A whole number as C reads one in base 0 (decimal; 0x hexadecimal; a leading 0 octal),
// with an optional '+' and blanks around it, but never a '-' and never past 2^64 - 1.
// "" when it is one, otherwise why not.
std::string parse_whole(const std::string& text, uint64_t& value);

// A byte count: a whole number (above) followed by an optional unit, case ignored and blanks
// allowed before it: b (1), k, kb, ki or kib (1024), m... (1024^2), g, t, p, e (1024^6); a
// unit alone counts once. Trailing letters are the unit. "" when it is one, otherwise why not
// (a sign, a fraction, a count past 2^64 - 1, an unknown unit, anything else).
std::string parse_size(const std::string& text, uint64_t& bytes);

// CLI11 transform for a byte count from `min` to `max`: the text becomes the number of bytes.
CLI::Validator SizeIn(uint64_t min, uint64_t max);

// CLI11 check for a number of seconds from `min` to `max` (not NaN, not infinite).
CLI::Validator SecondsIn(double min, double max);

// CLI11 transform for a whole count from `min` to `max`, written as parse_whole reads it;
// the text becomes the count in decimal.
CLI::Validator CountIn(uint64_t min, uint64_t max);

}  // namespace qvdisk

#endif  // QV_DISK_NUMBERS_H
