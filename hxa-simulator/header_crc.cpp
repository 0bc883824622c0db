#include "header_crc.h"

#include <array>

namespace hxasim {
namespace {

constexpr std::array<uint32_t, 256> make_table() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xED58F323u : c >> 1;
        table[i] = c;
    }
    return table;
}

constexpr std::array<uint32_t, 256> kTable = make_table();
static_assert(kTable[1] == 0xFC49B05Fu && kTable[128] == 0xED58F323u && kTable[255] == 0xE257CDF7u,
              "checksum table");

}  // namespace

uint32_t header_crc(const void* data, size_t size) {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i) c = (c >> 8) ^ kTable[(p[i] ^ c) & 0xFF];
    return c;
}

}  // namespace hxasim
