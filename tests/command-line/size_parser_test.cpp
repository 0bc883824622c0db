// The one parser of sizes and counts, as a table: what each text means in bytes, or the
// message that refuses it.
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>

#include "command_line.h"

namespace {

struct SizeCase {
    std::string text;
    uint64_t bytes;       // when accepted
    std::string refusal;  // "" when accepted; otherwise the whole message
};

void PrintTo(const SizeCase& c, std::ostream* out) { *out << "'" << c.text << "'"; }

class SizeParser : public testing::TestWithParam<SizeCase> {};

TEST_P(SizeParser, GivesTheBytesOrTheRefusal) {
    const SizeCase& c = GetParam();
    uint64_t bytes = 12345;
    const std::string why = zevcli::parse_size(c.text, bytes);
    EXPECT_EQ(why, c.refusal);
    if (c.refusal.empty()) {
        EXPECT_EQ(bytes, c.bytes);
    }
}

const uint64_t kK = 1024, kM = kK * kK, kG = kM * kK, kT = kG * kK;

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, SizeParser, testing::Values(
    SizeCase{"0", 0, ""},
    SizeCase{"4096", 4096, ""},
    SizeCase{"010", 10, ""},  // decimal, never octal
    SizeCase{"18446744073709551615", UINT64_MAX, ""},
    SizeCase{"64K", 64 * kK, ""},
    SizeCase{"64k", 64 * kK, ""},
    SizeCase{"4M", 4 * kM, ""},
    SizeCase{"4m", 4 * kM, ""},
    SizeCase{"2G", 2 * kG, ""},
    SizeCase{"3T", 3 * kT, ""},
    SizeCase{"1KiB", kK, ""},
    SizeCase{"1kib", kK, ""},
    SizeCase{"5MiB", 5 * kM, ""},
    SizeCase{"6GiB", 6 * kG, ""},
    SizeCase{"7TiB", 7 * kT, ""},
    SizeCase{"16777215T", 16777215 * kT, ""},
    SizeCase{"64MB", 0, "\"MB\" in 64MB is ambiguous; write 64M (67108864 bytes) or the byte "
                        "count, e.g. 64000000"},
    SizeCase{"64mb", 0, "\"mb\" in 64mb is ambiguous; write 64M (67108864 bytes) or the byte "
                        "count, e.g. 64000000"},
    SizeCase{"1KB", 0, "\"KB\" in 1KB is ambiguous; write 1K (1024 bytes) or the byte count, "
                       "e.g. 1000"},
    SizeCase{"2GB", 0, "\"GB\" in 2GB is ambiguous; write 2G (2147483648 bytes) or the byte "
                       "count, e.g. 2000000000"},
    SizeCase{"1Tb", 0, "\"Tb\" in 1Tb is ambiguous; write 1T (1099511627776 bytes) or the byte "
                       "count, e.g. 1000000000000"},
    SizeCase{"16777216TB", 0, "\"TB\" in 16777216TB is ambiguous; write T (a power of 1024) or "
                              "the byte count"},
    SizeCase{"", 0, "'' is not a byte count: it is empty"},
    SizeCase{"-1", 0, "'-1' is not a byte count: it is negative"},
    SizeCase{"+5", 0, "'+5' is not a byte count: it does not start with a digit"},
    SizeCase{" 5", 0, "' 5' is not a byte count: it does not start with a digit"},
    SizeCase{"K", 0, "'K' is not a byte count: it does not start with a digit"},
    SizeCase{"1.5K", 0, "'1.5K' is not a byte count: it has a fraction"},
    SizeCase{"0x10", 0, "'0x10' is not a byte count: hexadecimal is not taken; write the number "
                        "in decimal"},
    SizeCase{"18446744073709551616", 0, "'18446744073709551616' is not a byte count: it is "
                                        "more than 2^64 - 1"},
    SizeCase{"16777216T", 0, "'16777216T' is not a byte count: it is more than 2^64 - 1 bytes"},
    SizeCase{"10P", 0, "'10P' is not a byte count: \"P\" is not a unit (K, M, G, T or KiB, "
                       "MiB, GiB, TiB: powers of 1024)"},
    SizeCase{"10b", 0, "'10b' is not a byte count: \"b\" is not a unit (K, M, G, T or KiB, "
                       "MiB, GiB, TiB: powers of 1024)"},
    SizeCase{"10 M", 0, "'10 M' is not a byte count: \" M\" after the number is not a unit"},
    SizeCase{"64M ", 0, "'64M ' is not a byte count: \"M \" after the number is not a unit"},
    SizeCase{"4K4", 0, "'4K4' is not a byte count: \"K4\" after the number is not a unit"}));
// clang-format on

struct CountCase {
    std::string text;
    uint64_t value;
    std::string refusal;
};

void PrintTo(const CountCase& c, std::ostream* out) { *out << "'" << c.text << "'"; }

class CountParser : public testing::TestWithParam<CountCase> {};

TEST_P(CountParser, GivesTheCountOrTheRefusal) {
    const CountCase& c = GetParam();
    uint64_t value = 12345;
    EXPECT_EQ(zevcli::parse_count(c.text, value), c.refusal);
    if (c.refusal.empty()) {
        EXPECT_EQ(value, c.value);
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, CountParser, testing::Values(
    CountCase{"0", 0, ""},
    CountCase{"08", 8, ""},
    CountCase{"18446744073709551615", UINT64_MAX, ""},
    CountCase{"4K", 0, "'4K' is not a whole number: \"K\" follows the digits"},
    CountCase{"-3", 0, "'-3' is not a whole number: it is negative"},
    CountCase{"0x1F", 0, "'0x1F' is not a whole number: hexadecimal is not taken; write the "
                         "number in decimal"},
    CountCase{"2.5", 0, "'2.5' is not a whole number: it has a fraction"},
    CountCase{"18446744073709551616", 0, "'18446744073709551616' is not a whole number: it is "
                                         "more than 2^64 - 1"}));
// clang-format on

}  // namespace
