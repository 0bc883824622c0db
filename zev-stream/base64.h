// Base64 codec of the block difference tool: standard alphabet, "=" padding, no line breaks.
#ifndef ZEV_TOOL_BASE64_H
#define ZEV_TOOL_BASE64_H

#include <stddef.h>

// Number of characters (without terminator) that encoding `length` bytes produces:
// 4 * ceil(length / 3). The caller must make sure the result fits in size_t.
size_t base64_encoded_length(size_t length);

// Encodes `length` bytes of `data` into `out`, which must hold base64_encoded_length(length)
// characters. Writes no terminator. Returns the number of characters written.
size_t base64_encode_to(const unsigned char* data, size_t length, char* out);

// Returns a newly allocated, zero-terminated Base64 text of `length` bytes of `data`, or null
// when the text cannot be allocated. Stores the text length (without terminator) in
// *out_length when out_length is not null. The caller releases the text with free.
char* base64_encode(const unsigned char* data, size_t length, size_t* out_length);

// Value (0 to 63) of one character of the alphabet, or -1 for any other character.
int base64_char_value(char c);

// Decodes the zero-terminated `text` into `out` (room for `capacity` bytes). Decoding stops at
// the first "=" or at the terminator. Returns the number of bytes written, or -1 when a
// character outside the alphabet comes first or the output would exceed `capacity`.
// One call decodes less than 2^31 bytes; longer output returns -1.
int base64_decode(const char* text, unsigned char* out, size_t capacity);

#endif
