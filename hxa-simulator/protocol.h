// The protocol as the simulator speaks it: one table of the requests it understands (their
// operation codes, names and payload lengths), a request's payload read into its fields,
// and replies put into bytes.
#ifndef HXA_SIMULATOR_PROTOCOL_H
#define HXA_SIMULATOR_PROTOCOL_H

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "hxa_protocol.h"

namespace hxasim {

// Largest request payload: what fits the client's fixed 1024-byte message area.
constexpr uint32_t kMaxRequestPayload = hxa::kMessageAreaSize - hxa::kHeaderSize;

// Reply header and transfer head of a LAN read, sent in front of its data.
constexpr size_t kReadReplyHead = hxa::kHeaderSize + sizeof(hxa::TransferReplyHead);

// The name of an operation in the log ("LAN open", ...; "unknown operation" for others).
const char* op_name(uint16_t op);

// The payload length a request of `op` carries; 0 for an unknown operation.
uint32_t request_payload(uint16_t op);

// A request as read from the connection: its header, its payload, and whether the header's
// magic and checksum let it be carried out.
struct Request {
    hxa::MsgHeader header;
    unsigned char payload[kMaxRequestPayload + 1] = {};
    bool header_ok = true;

    // The payload as the request structure of its operation; the caller has checked that
    // the payload has the length of `T`.
    template <typename T>
    T fields() const {
        T t;
        std::memcpy(&t, payload, sizeof t);
        return t;
    }
};

// The fields of a LAN or SAN open request, with its text fields ended at their first NUL.
struct OpenFields {
    bool san = false;
    std::string path;
    std::string token;
    uint16_t mode = 0;  // LAN only
};
OpenFields open_fields(const Request& request);

// A reply to `request`: its header (same operation and sequence number) and `payload`.
std::vector<char> encode_reply(const hxa::MsgHeader& request, const void* payload, uint32_t length);

// The kReadReplyHead bytes in front of the data of a successful LAN read of `count` bytes.
void encode_read_head(const hxa::MsgHeader& request, uint32_t count, char* out);

// The payload of a successful address map reply: its head and one record per extent.
std::vector<unsigned char> encode_map_reply(const std::vector<vhd_Rec>& records);

}  // namespace hxasim

#endif  // HXA_SIMULATOR_PROTOCOL_H
