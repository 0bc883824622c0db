// Base64 codec: a table-driven encoder that turns 12 input bytes into 16 characters per
// iteration without any per-character branching, and a decoder that takes whole groups of four
// characters at a time and the rest character by character.
#include "base64.h"

#include <errno.h>
#include <limits.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

namespace {

const char b64_enc_table[65] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Index of each alphabet character in b64_enc_table; -1 for every other byte value.
struct DecodeTable {
    signed char entry[256];
};

constexpr DecodeTable make_decode_table() {
    DecodeTable t{};
    for (int i = 0; i < 256; ++i) t.entry[i] = -1;
    const char alphabet[65] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 64; ++i)
        t.entry[static_cast<unsigned char>(alphabet[i])] = static_cast<signed char>(i);
    return t;
}

constexpr DecodeTable b64_dec_table = make_decode_table();

// The two characters of every 12-bit value, stored so that copying the 16-bit entry to memory
// writes the character of the high 6 bits first.
struct PairTable {
    uint16_t entry[4096];
};

constexpr PairTable make_pair_table() {
    PairTable t{};
    const char alphabet[65] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int v = 0; v < 4096; ++v) {
        const unsigned hi = static_cast<unsigned char>(alphabet[v >> 6]);
        const unsigned lo = static_cast<unsigned char>(alphabet[v & 63]);
        t.entry[v] = static_cast<uint16_t>(hi | (lo << 8));  // memory order on little endian
    }
    return t;
}

constexpr PairTable b64_pair_table = make_pair_table();

inline uint64_t load_be64(const unsigned char* p) {
    uint64_t v;
    memcpy(&v, p, sizeof v);
    return __builtin_bswap64(v);
}

// Writes the 8 characters of the 48 bits held in the top of `v`.
inline void put_48_bits(uint64_t v, char* out) {
    const uint16_t c0 = b64_pair_table.entry[(v >> 52) & 0xFFF];
    const uint16_t c1 = b64_pair_table.entry[(v >> 40) & 0xFFF];
    const uint16_t c2 = b64_pair_table.entry[(v >> 28) & 0xFFF];
    const uint16_t c3 = b64_pair_table.entry[(v >> 16) & 0xFFF];
    const uint64_t chars = static_cast<uint64_t>(c0) | (static_cast<uint64_t>(c1) << 16) |
                           (static_cast<uint64_t>(c2) << 32) | (static_cast<uint64_t>(c3) << 48);
    memcpy(out, &chars, sizeof chars);
}

}  // namespace

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the pair table assumes little endian");

size_t base64_encoded_length(size_t length) { return (length / 3 + (length % 3 != 0)) * 4; }

size_t base64_encode_to(const unsigned char* data, size_t length, char* out) {
    const unsigned char* p = data;
    char* o = out;
    size_t left = length;
    // Each step consumes 12 bytes but loads 14 (two 8-byte loads at +0 and +6).
    while (left >= 14) {
        put_48_bits(load_be64(p), o);
        put_48_bits(load_be64(p + 6), o + 8);
        p += 12;
        o += 16;
        left -= 12;
    }
    while (left >= 3) {
        const uint32_t v =
            (static_cast<uint32_t>(p[0]) << 16) | (static_cast<uint32_t>(p[1]) << 8) | p[2];
        o[0] = b64_enc_table[v >> 18];
        o[1] = b64_enc_table[(v >> 12) & 63];
        o[2] = b64_enc_table[(v >> 6) & 63];
        o[3] = b64_enc_table[v & 63];
        p += 3;
        o += 4;
        left -= 3;
    }
    if (left == 1) {
        o[0] = b64_enc_table[p[0] >> 2];
        o[1] = b64_enc_table[(p[0] & 3) << 4];
        o[2] = '=';
        o[3] = '=';
        o += 4;
    } else if (left == 2) {
        o[0] = b64_enc_table[p[0] >> 2];
        o[1] = b64_enc_table[((p[0] & 3) << 4) | (p[1] >> 4)];
        o[2] = b64_enc_table[(p[1] & 15) << 2];
        o[3] = '=';
        o += 4;
    }
    return static_cast<size_t>(o - out);
}

char* base64_encode(const unsigned char* data, size_t length, size_t* out_length) {
    // ((length + 2) / 3) * 4 + 1 must not wrap around.
    if (length / 3 >= (SIZE_MAX - 1) / 4 - 1) {
        errno = ENOMEM;
        return nullptr;
    }
    char* text = static_cast<char*>(malloc(base64_encoded_length(length) + 1));
    if (text == nullptr) return nullptr;
    const size_t n = base64_encode_to(data, length, text);
    text[n] = '\0';
    if (out_length != nullptr) *out_length = n;
    return text;
}

int base64_char_value(char c) { return b64_dec_table.entry[static_cast<unsigned char>(c)]; }

int base64_decode(const char* text, unsigned char* out, size_t capacity) {
    size_t written = 0;
    uint32_t accumulator = 0;
    int bits = 0;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    // Whole groups of four alphabet characters that fit the output go three bytes at a time.
    // A group is looked at one character after another, so nothing past the terminator or a
    // padding character is read; the first group that does not qualify (padding, terminator,
    // a character outside the alphabet, or too little room) is left to the character loop
    // below, which then writes exactly what it would have written from the start.
    const size_t limit = capacity < static_cast<size_t>(INT_MAX) ? capacity : INT_MAX;
    while (written + 3 <= limit) {
        const int a = b64_dec_table.entry[p[0]];
        if (a < 0) break;
        const int b = b64_dec_table.entry[p[1]];
        if (b < 0) break;
        const int c = b64_dec_table.entry[p[2]];
        if (c < 0) break;
        const int d = b64_dec_table.entry[p[3]];
        if (d < 0) break;
        const uint32_t v = (static_cast<uint32_t>(a) << 18) | (static_cast<uint32_t>(b) << 12) |
                           (static_cast<uint32_t>(c) << 6) | static_cast<uint32_t>(d);
        out[written] = static_cast<unsigned char>(v >> 16);
        out[written + 1] = static_cast<unsigned char>(v >> 8);
        out[written + 2] = static_cast<unsigned char>(v);
        written += 3;
        p += 4;
    }
    for (;; ++p) {
        const unsigned char c = *p;
        if (c == '=' || c == '\0') return static_cast<int>(written);
        const int value = b64_dec_table.entry[c];
        if (value < 0) return -1;
        accumulator = (accumulator << 6) | static_cast<uint32_t>(value);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            if (written == capacity || written == static_cast<size_t>(INT_MAX)) return -1;
            out[written++] = static_cast<unsigned char>(accumulator >> bits);
            accumulator &= (1u << bits) - 1;  // keep only the bits not yet written
        }
    }
}
