// Checksum of a message header: a table-driven, reflected CRC-32 with the polynomial
// 0xED58F323, initial value 0xFFFFFFFF and no final inversion, over header bytes 0 to 13.
#ifndef HXA_SIMULATOR_HEADER_CRC_H
#define HXA_SIMULATOR_HEADER_CRC_H

#include <cstddef>
#include <cstdint>

namespace hxasim {

uint32_t header_crc(const void* data, size_t size);

}  // namespace hxasim

#endif  // HXA_SIMULATOR_HEADER_CRC_H
