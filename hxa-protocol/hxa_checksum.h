// Checksum of a message header: a table-driven, reflected CRC-32 with the polynomial
// 0xED58F323, initial value 0xFFFFFFFF and no final inversion, over the header bytes before
// `crc` (0 to 13). The one implementation for the simulator, the protocol client of the tests
// and benchmarks, and the fuzz targets; the library keeps the table its interface exports.
#ifndef HXA_CHECKSUM_H
#define HXA_CHECKSUM_H

#include <array>
#include <cstddef>
#include <cstdint>

#include "hxa_protocol.h"

namespace hxa {

namespace checksum_detail {

constexpr std::array<uint32_t, 256> make_table() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xED58F323u : c >> 1;
        table[i] = c;
    }
    return table;
}

inline constexpr std::array<uint32_t, 256> kTable = make_table();
static_assert(kTable[1] == 0xFC49B05Fu && kTable[128] == 0xED58F323u && kTable[255] == 0xE257CDF7u,
              "checksum table");

}  // namespace checksum_detail

// Checksum of `size` bytes at `data`.
inline uint32_t header_crc(const void* data, size_t size) {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i) c = (c >> 8) ^ checksum_detail::kTable[(p[i] ^ c) & 0xFF];
    return c;
}

// The checksum a header carries: over its bytes before `crc`.
inline uint32_t header_crc(const MsgHeader& header) {
    return header_crc(&header, offsetof(MsgHeader, crc));
}

// A complete header: magic, operation, sequence number, payload length and checksum.
inline MsgHeader make_header(uint16_t operation, uint32_t seqNo, uint32_t length) {
    MsgHeader h{};
    h.magic = kMagic;
    h.operation = operation;
    h.seqNo = seqNo;
    h.length = length;
    h.crc = header_crc(h);
    return h;
}

}  // namespace hxa

#endif  // HXA_CHECKSUM_H
