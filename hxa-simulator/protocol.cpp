#include "protocol.h"

#include "hxa_checksum.h"

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

std::string field_text(const char* field, size_t size) {
    return std::string(field, strnlen(field, size));
}

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

OpenFields open_fields(const Request& request) {
    OpenFields f;
    f.san = request.header.operation == hxa::OP_SAN_OPEN;
    if (f.san) {
        const auto req = request.fields<hxa::OpenSanRequest>();
        f.path = field_text(req.diskPath, sizeof req.diskPath);
        f.token = field_text(req.token, sizeof req.token);
    } else {
        const auto req = request.fields<hxa::OpenLanRequest>();
        f.path = field_text(req.diskPath, sizeof req.diskPath);
        f.token = field_text(req.token, sizeof req.token);
        f.mode = req.openMode;
    }
    return f;
}

std::vector<char> encode_reply(const hxa::MsgHeader& request, const void* payload,
                               uint32_t length) {
    std::vector<char> out(hxa::kHeaderSize + length);
    const hxa::MsgHeader h = hxa::make_header(request.operation, request.seqNo, length);
    std::memcpy(out.data(), &h, sizeof h);
    if (length) std::memcpy(out.data() + hxa::kHeaderSize, payload, length);
    return out;
}

void encode_read_head(const hxa::MsgHeader& request, uint32_t count, char* out) {
    const hxa::MsgHeader h =
        hxa::make_header(request.operation, request.seqNo, sizeof(hxa::TransferReplyHead));
    const hxa::TransferReplyHead t{hxa::RES_OK, count};
    std::memcpy(out, &h, sizeof h);
    std::memcpy(out + sizeof h, &t, sizeof t);
}

std::vector<unsigned char> encode_map_reply(const std::vector<vhd_Rec>& records) {
    std::vector<unsigned char> out(sizeof(hxa::TransferReplyHead) +
                                   records.size() * sizeof(vhd_Rec));
    const hxa::TransferReplyHead head{hxa::RES_OK, static_cast<uint32_t>(records.size())};
    std::memcpy(out.data(), &head, sizeof head);
    if (!records.empty())
        std::memcpy(out.data() + sizeof head, records.data(), records.size() * sizeof(vhd_Rec));
    return out;
}

}  // namespace hxasim
