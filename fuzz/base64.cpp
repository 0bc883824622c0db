// Fuzz target: base64_encode and base64_decode of the tool.
//  - every input encodes to 4 * ceil(n / 3) characters that decode back to the input, and
//    one byte less of capacity is refused;
//  - the input taken as text (zero-terminated, in a block that ends right there) decodes as
//    a plain bit-by-bit decoder says, into an output block of exactly the given capacity, so
//    neither a read past the text nor a write past the output goes unnoticed.
#include "base64.h"

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Plain decoder: stops at "=" or the terminator, -1 on a character outside the alphabet or
// when the output would pass `capacity`.
long reference_decode(const char* text, unsigned char* out, size_t capacity) {
    size_t written = 0;
    unsigned acc = 0;
    int bits = 0;
    for (const char* p = text; *p != '\0' && *p != '='; ++p) {
        const char* at = strchr(kAlphabet, *p);
        if (at == nullptr) return -1;
        acc = (acc << 6) | static_cast<unsigned>(at - kAlphabet);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            if (written == capacity) return -1;
            out[written++] = static_cast<unsigned char>(acc >> bits);
        }
    }
    return static_cast<long>(written);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Round trip.
    size_t text_length = 0;
    char* text = base64_encode(data, size, &text_length);
    if (text == nullptr) abort();
    if (text_length != (size + 2) / 3 * 4 || strlen(text) != text_length ||
        base64_encoded_length(size) != text_length)
        abort();
    unsigned char* back = static_cast<unsigned char*>(malloc(size + 1));
    if (base64_decode(text, back, size) != static_cast<int>(size)) abort();
    if (size > 0 && memcmp(back, data, size) != 0) abort();
    if (size > 0 && base64_decode(text, back, size - 1) != -1) abort();
    free(back);
    free(text);

    // Garbage as text: the first byte chooses the capacity of the output block.
    if (size == 0) return 0;
    const size_t capacity = data[0] % 64 == 63 ? size : data[0] % 64;
    char* garbage = static_cast<char*>(malloc(size));
    memcpy(garbage, data + 1, size - 1);
    garbage[size - 1] = '\0';
    unsigned char* out = static_cast<unsigned char*>(malloc(capacity > 0 ? capacity : 1));
    unsigned char* expected = static_cast<unsigned char*>(malloc(capacity > 0 ? capacity : 1));
    const int got = base64_decode(garbage, out, capacity);
    const long want = reference_decode(garbage, expected, capacity);
    if (got != want) abort();
    if (got > 0 && memcmp(out, expected, static_cast<size_t>(got)) != 0) abort();
    free(expected);
    free(out);
    free(garbage);
    return 0;
}
