// The requests the simulator understands: one table of their operation codes, names and
// payload lengths, which every check of a request's payload reads.
#ifndef HXA_SIMULATOR_REQUESTS_H
#define HXA_SIMULATOR_REQUESTS_H

#include <cstdint>

namespace hxasim {

// The name of an operation in the log ("LAN open", ...; "unknown operation" for others).
const char* op_name(uint16_t op);

// The payload length a request of `op` carries; 0 for an unknown operation.
uint32_t request_payload(uint16_t op);

}  // namespace hxasim

#endif  // HXA_SIMULATOR_REQUESTS_H
