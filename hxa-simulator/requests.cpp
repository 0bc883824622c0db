#include "requests.h"

#include "hxa_protocol.h"

namespace hxasim {
namespace {

struct RequestKind {
    uint16_t op;
    const char* name;
    uint32_t payload;
};

constexpr RequestKind kRequests[] = {
    {hxa::OP_LAN_OPEN, "LAN open", sizeof(hxa::OpenLanRequest)},
    {hxa::OP_LAN_CLOSE, "LAN close", sizeof(hxa::CloseRequest)},
    {hxa::OP_LAN_READ, "LAN read", sizeof(hxa::LanTransferRequest)},
    {hxa::OP_LAN_WRITE, "LAN write", sizeof(hxa::LanTransferRequest)},
    {hxa::OP_LAN_WRITE_NODATA, "LAN data-less write", sizeof(hxa::LanTransferRequest)},
    {hxa::OP_SAN_OPEN, "SAN open", sizeof(hxa::OpenSanRequest)},
    {hxa::OP_SAN_CLOSE, "SAN close", sizeof(hxa::CloseRequest)},
    {hxa::OP_SAN_ADDR_MAP, "SAN address map", sizeof(hxa::SanMapRequest)},
};

const RequestKind* find(uint16_t op) {
    for (const RequestKind& kind : kRequests)
        if (kind.op == op) return &kind;
    return nullptr;
}

}  // namespace

const char* op_name(uint16_t op) {
    const RequestKind* kind = find(op);
    return kind != nullptr ? kind->name : "unknown operation";
}

uint32_t request_payload(uint16_t op) {
    const RequestKind* kind = find(op);
    return kind != nullptr ? kind->payload : 0;
}

}  // namespace hxasim
