// Wire layout of the disk-service protocol spoken with the HXA service.
//
// Every message starts with an 18-byte header followed by `length` payload bytes. All
// structures are packed, integers are little-endian, string fields are fixed-size and
// zero-filled. The library and the HXA service simulator share these definitions.
#ifndef HXA_PROTOCOL_H
#define HXA_PROTOCOL_H

#include <cstddef>
#include <cstdint>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the wire structures are laid out for a little-endian host");

namespace hxa {

constexpr uint16_t kMagic = 0x3535;
constexpr size_t kHeaderSize = 18;
constexpr size_t kMessageAreaSize = 1024;  // fixed request and reply-header area

// Operation codes; a reply carries the code of its request.
enum Operation : uint16_t {
    OP_LAN_OPEN = 1,
    OP_LAN_CLOSE = 2,
    OP_LAN_READ = 3,
    OP_LAN_WRITE = 4,
    OP_LAN_WRITE_NODATA = 5,
    OP_SAN_OPEN = 10,
    OP_SAN_CLOSE = 11,
    OP_SAN_ADDR_MAP = 12,
};

// Result codes, one numbering for every reply; 0 is success.
enum Result : uint16_t {
    RES_OK = 0,
    RES_OPCODE_ERROR = 1,
    RES_FILE_NOT_EXIST = 2,
    RES_TOKEN_ERROR = 3,
    RES_OPEN_ERROR = 4,
    RES_HANDLE_NOT_EXIST = 5,
    RES_START_BLOCK_OVERFLOW = 6,
    RES_DATA_SIZE_OVERFLOW = 7,
    RES_READ_FAILED = 8,
    RES_END_BLOCK_OVERFLOW = 9,
    RES_WRITE_FAILED = 10,
    RES_CLOSE_FAILED = 11,
    RES_STRUCT_ERROR = 12,
    RES_ADDR_PARSE_ERROR = 13,
};

#pragma pack(push, 1)

struct MsgHeader {
    uint16_t magic;
    uint16_t reserved;
    uint16_t operation;
    uint32_t seqNo;
    uint32_t length;  // payload bytes that follow the header
    uint32_t crc;     // checksum of header bytes 0..13 (requests only)
};

// Open request, SAN transport (operation 10).
struct OpenSanRequest {
    char diskPath[512];
    char token[128];
};

// Open request, LAN transport (operation 1).
struct OpenLanRequest {
    char diskPath[256];
    char token[128];
    uint16_t openMode;
};

struct OpenReply {
    uint16_t result;
    uint32_t handle;
};

struct CloseRequest {
    uint32_t handle;
};

struct CloseReply {
    uint16_t result;
};

// Read or write request, LAN transport (operations 3, 4, 5). Only the low 32 bits of the
// length travel.
struct LanTransferRequest {
    uint32_t handle;
    uint64_t offset;
    uint32_t length;
};

// Address-map request, SAN transport (operation 12).
struct SanMapRequest {
    uint32_t handle;
    uint64_t offset;
    uint64_t length;
};

// Start of every transfer reply; in the SAN transport `count` address-map records follow,
// in the LAN read reply `count` data bytes follow outside the payload.
struct TransferReplyHead {
    uint16_t result;
    uint32_t count;
};

#pragma pack(pop)

static_assert(sizeof(MsgHeader) == kHeaderSize, "header is 18 bytes");
static_assert(offsetof(MsgHeader, operation) == 4 && offsetof(MsgHeader, seqNo) == 6 &&
                  offsetof(MsgHeader, length) == 10 && offsetof(MsgHeader, crc) == 14,
              "header field offsets");
static_assert(sizeof(OpenSanRequest) == 640 && offsetof(OpenSanRequest, token) == 512,
              "SAN open request");
static_assert(sizeof(OpenLanRequest) == 386 && offsetof(OpenLanRequest, token) == 256 &&
                  offsetof(OpenLanRequest, openMode) == 384,
              "LAN open request");
static_assert(sizeof(OpenReply) == 6 && offsetof(OpenReply, handle) == 2, "open reply");
static_assert(sizeof(CloseRequest) == 4 && sizeof(CloseReply) == 2, "close messages");
static_assert(sizeof(LanTransferRequest) == 16 && offsetof(LanTransferRequest, offset) == 4 &&
                  offsetof(LanTransferRequest, length) == 12,
              "LAN transfer request");
static_assert(sizeof(SanMapRequest) == 20 && offsetof(SanMapRequest, length) == 12,
              "SAN address-map request");
static_assert(sizeof(TransferReplyHead) == 6 && offsetof(TransferReplyHead, count) == 2,
              "transfer reply head");

}  // namespace hxa

#pragma pack(push, 1)
// One extent of an address map: `dataLen` bytes at `phyOffset` on the LUN named by
// `lunWwn`. phyOffset 0 marks an extent without storage (a hole) in a read map.
struct vhd_Rec {
    unsigned char lunWwn[16];
    unsigned char reserved1[24];
    uint64_t phyOffset;
    uint64_t dataLen;
    unsigned char reserved2[8];
};
#pragma pack(pop)

static_assert(sizeof(vhd_Rec) == 64 && offsetof(vhd_Rec, phyOffset) == 40 &&
                  offsetof(vhd_Rec, dataLen) == 48 && offsetof(vhd_Rec, reserved2) == 56,
              "address-map record is 64 bytes");

#endif  // HXA_PROTOCOL_H
