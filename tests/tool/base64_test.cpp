// Unit tests of the Base64 codec: known vectors, agreement with a plain reference encoder on
// every length and byte value, and every decoder rule.
#include "base64.h"

#include <gtest/gtest.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

std::string encode(const std::string& bytes, size_t* out_length = nullptr) {
    char* text = base64_encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                               out_length);
    EXPECT_NE(text, nullptr);
    if (text == nullptr) return std::string();
    std::string s(text);
    free(text);
    return s;
}

std::string hex(const char* digits) {
    std::string s;
    for (const char* p = digits; p[0] != '\0' && p[1] != '\0'; p += 2) {
        s += static_cast<char>(strtol(std::string(p, 2).c_str(), nullptr, 16));
        if (p[2] == ' ') ++p;
    }
    return s;
}

// A straightforward encoder, one 6-bit group at a time, to compare the tool's encoder with.
std::string plain_encode(const std::string& bytes) {
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const uint32_t v = static_cast<uint8_t>(bytes[i]) << 16 |
                           static_cast<uint8_t>(bytes[i + 1]) << 8 |
                           static_cast<uint8_t>(bytes[i + 2]);
        for (int shift = 18; shift >= 0; shift -= 6) out += alphabet[(v >> shift) & 63];
    }
    const size_t rest = bytes.size() - i;
    if (rest > 0) {
        uint32_t v = static_cast<uint8_t>(bytes[i]) << 16;
        if (rest == 2) v |= static_cast<uint8_t>(bytes[i + 1]) << 8;
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += rest == 2 ? alphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::string pseudo_random(size_t n, uint32_t seed) {
    std::string s(n, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        s[i] = static_cast<char>(x >> 24);
    }
    return s;
}

struct DecodeResult {
    int result;
    std::string bytes;  // what the decoder wrote, up to the capacity
};

DecodeResult decode(const char* text, size_t capacity) {
    std::vector<unsigned char> out(capacity + 8, 0xEE);
    const int r = base64_decode(text, out.data(), capacity);
    // Nothing beyond the capacity may ever be touched.
    for (size_t i = capacity; i < out.size(); ++i) EXPECT_EQ(out[i], 0xEE) << "byte " << i;
    size_t written = 0;
    while (written < capacity && out[written] != 0xEE) ++written;
    return {r, std::string(reinterpret_cast<char*>(out.data()), r >= 0 ? r : written)};
}

TEST(Base64Encode, KnownVectors) {
    struct Case {
        std::string input;
        const char* text;
    } cases[] = {
        {"", ""},
        {hex("4D"), "TQ=="},
        {hex("4D61"), "TWE="},
        {hex("4D616E"), "TWFu"},
        {hex("FBFF"), "+/8="},
        {hex("00000000"), "AAAAAA=="},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {hex("FFFFFFFFFFFFFFFFFFFFFFFFFFFFFF"), "////////////////////"},
        {hex("000102030405060708090A0B0C0D0E0F10"), "AAECAwQFBgcICQoLDA0ODxA="},
    };
    for (const Case& c : cases) {
        size_t length = 12345;
        EXPECT_EQ(encode(c.input, &length), c.text);
        EXPECT_EQ(length, strlen(c.text));
    }
}

TEST(Base64Encode, EmptyInputGivesTerminatedEmptyTextAndZeroLength) {
    size_t length = 99;
    char* text = base64_encode(reinterpret_cast<const unsigned char*>(""), 0, &length);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(text[0], '\0');
    EXPECT_EQ(length, 0u);
    free(text);
}

TEST(Base64Encode, NullOutLengthIsAllowed) { EXPECT_EQ(encode("Man", nullptr), "TWFu"); }

TEST(Base64Encode, MatchesPlainEncoderForEveryLengthAndOffset) {
    // Lengths around every step of the 12-byte fast path and the 3-byte tail, and unaligned
    // starting addresses.
    const std::string source = pseudo_random(4200, 7);
    for (size_t offset = 0; offset < 8; ++offset) {
        for (size_t n = 0; n <= 200; ++n) {
            const std::string input = source.substr(offset, n);
            size_t length = 0;
            ASSERT_EQ(encode(input, &length), plain_encode(input))
                << "n=" << n << " offset=" << offset;
            ASSERT_EQ(length, (n + 2) / 3 * 4);
        }
    }
    for (size_t n : {1000u, 4095u, 4096u, 4097u, 4199u}) {
        EXPECT_EQ(encode(source.substr(1, n)), plain_encode(source.substr(1, n))) << n;
    }
}

TEST(Base64Encode, EveryByteValueInEveryPosition) {
    std::string all;
    for (int round = 0; round < 3; ++round) {
        for (int b = 0; b < 256; ++b) all += static_cast<char>((b * 7 + round) & 0xFF);
        all += static_cast<char>(round);  // shift the alignment of the next round
    }
    EXPECT_EQ(encode(all), plain_encode(all));
}

TEST(Base64Encode, LargeBufferMatchesPlainEncoderAndDecodesBack) {
    const std::string input = pseudo_random(3 * 1024 * 1024 + 2, 11);
    const std::string text = encode(input);
    ASSERT_EQ(text, plain_encode(input));
    std::string back(input.size(), '\0');
    EXPECT_EQ(base64_decode(text.c_str(), reinterpret_cast<unsigned char*>(&back[0]), back.size()),
              static_cast<int>(input.size()));
    EXPECT_EQ(back, input);
}

TEST(Base64Encode, EncodeToWritesExactlyTheEncodedLengthAndNoTerminator) {
    const std::string input = pseudo_random(100, 3);
    for (size_t n = 0; n <= input.size(); ++n) {
        const size_t expected = base64_encoded_length(n);
        ASSERT_EQ(expected, (n + 2) / 3 * 4);
        std::string buffer(expected + 4, '#');
        ASSERT_EQ(
            base64_encode_to(reinterpret_cast<const unsigned char*>(input.data()), n, &buffer[0]),
            expected);
        EXPECT_EQ(buffer.substr(expected), "####") << n;
        EXPECT_EQ(buffer.substr(0, expected), plain_encode(input.substr(0, n)));
    }
}

TEST(Base64Encode, ImpossibleLengthReturnsNull) {
    // No buffer could hold the text of SIZE_MAX bytes: null, and the out length stays as it was.
    size_t length = 77;
    const unsigned char byte = 0;
    EXPECT_EQ(base64_encode(&byte, SIZE_MAX, &length), nullptr);
    EXPECT_EQ(length, 77u);
}

TEST(Base64Decode, TableOfCases) {
    DecodeResult r = decode("TWFu", 3);
    EXPECT_EQ(r.result, 3);
    EXPECT_EQ(r.bytes, hex("4D616E"));

    r = decode("TWFu", 2);  // does not fit: -1, with the bytes that did fit left in place
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.bytes, hex("4D61"));

    r = decode("TWE", 3);  // no padding
    EXPECT_EQ(r.result, 2);
    EXPECT_EQ(r.bytes, hex("4D61"));

    for (const char* text : {"TWE=", "TWE=garbage", "TWE= !*\n", "TWE==", "TWE=TWFu"}) {
        r = decode(text, 3);
        EXPECT_EQ(r.result, 2) << text;
        EXPECT_EQ(r.bytes, hex("4D61")) << text;
    }

    for (const char* text :
         {"TW Fu", "TWFu\n", "TW\nFu", "\nTWFu", "TWF-", "TWF_", "TW.u", "TWF\x80", "TWF\xff"}) {
        EXPECT_EQ(decode(text, 3).result, -1) << text;
    }

    for (size_t capacity : {0u, 1u, 100u}) {
        EXPECT_EQ(decode("=", capacity).result, 0);
        EXPECT_EQ(decode("", capacity).result, 0);
        EXPECT_EQ(decode("====", capacity).result, 0);
        EXPECT_EQ(decode("=TWFu", capacity).result, 0);
    }
}

TEST(Base64Decode, LeftoverBitsAreDroppedWithoutCheck) {
    // "TQ" carries 12 bits: one byte, four bits dropped; "TR" differs only in those four bits.
    EXPECT_EQ(decode("TQ", 3).bytes, hex("4D"));
    EXPECT_EQ(decode("TR", 3).result, 1);
    EXPECT_EQ(decode("TR", 3).bytes, hex("4D"));
    // A single character holds 6 bits: no byte.
    EXPECT_EQ(decode("T", 3).result, 0);
    // Five characters: three bytes from the first four, the fifth character's bits dropped.
    EXPECT_EQ(decode("TWFuT", 3).result, 3);
}

TEST(Base64Decode, CapacityIsExactlyEnough) {
    EXPECT_EQ(decode("Zm9vYmFy", 6).result, 6);
    EXPECT_EQ(decode("Zm9vYmFy", 5).result, -1);
    EXPECT_EQ(decode("Zm9vYmFy", 5).bytes, "fooba");
    EXPECT_EQ(decode("Zg==", 0).result, -1);
    EXPECT_EQ(decode("Zg==", 1).bytes, "f");
}

TEST(Base64Decode, EveryAlphabetCharacterHasItsValue) {
    const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 64; ++i) {
        // "A" carries 0, so "AAA<c>" decodes to the three bytes 0, 0, i.
        const std::string text = std::string("AAA") + alphabet[i];
        const DecodeResult r = decode(text.c_str(), 3);
        ASSERT_EQ(r.result, 3);
        EXPECT_EQ(static_cast<unsigned char>(r.bytes[2]), i) << alphabet[i];
    }
    // Every other byte value is refused.
    for (int c = 1; c < 256; ++c) {
        if (strchr(alphabet, c) != nullptr || c == '=') continue;
        const char text[] = {'A', 'A', static_cast<char>(c), 'A', '\0'};
        EXPECT_EQ(decode(text, 3).result, -1) << c;
    }
}

TEST(Base64Decode, RoundTripsEveryLength) {
    const std::string source = pseudo_random(300, 5);
    for (size_t n = 0; n <= source.size(); ++n) {
        const std::string input = source.substr(0, n);
        const std::string text = encode(input);
        DecodeResult r = decode(text.c_str(), n);
        ASSERT_EQ(r.result, static_cast<int>(n));
        EXPECT_EQ(r.bytes, input);
        // Without the padding the same bytes come back.
        const std::string bare = text.substr(0, text.find('='));
        r = decode(bare.c_str(), n);
        EXPECT_EQ(r.result, static_cast<int>(n));
        EXPECT_EQ(r.bytes, input);
        if (n > 0) {
            EXPECT_EQ(decode(text.c_str(), n - 1).result, -1);
        }
    }
}

}  // namespace
