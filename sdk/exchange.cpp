// The request/reply exchange: the header checksum, the exact-count transfers of send_msg and
// recv_msg over the connection's transport, and the request of a disk operation with its
// reply.
#include "exchange.h"

#include <sys/uio.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <new>

#include "log_scope.h"
#include "transport.h"

// =======================================================================================
// Wire layout: little-endian fields of packed structures and the header checksum, a
// table-driven CRC-32 with the reflected polynomial 0xED58F323 and no final inversion.

void CQuillonvardeSDKImpl::init_crc_table() {
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xED58F323u : (c >> 1);
        crc_table[i] = c;
    }
}

unsigned int CQuillonvardeSDKImpl::bsb_crc32(char* data, unsigned int size) {
    uint32_t c = 0xFFFFFFFFu;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(data);
    for (unsigned int i = 0; i < size; ++i) c = (c >> 8) ^ crc_table[(p[i] ^ c) & 0xFF];
    return c;
}

// =======================================================================================
// Transfers: the exact-count sends and receives of the connection.

namespace {

using qvsdk::CallTransport;
using qvsdk::Piece;

constexpr int kZeroReadAllowance = 100;

// How one send call's outcome is logged, the same for a block sent by itself and for the
// parts of a gathered send: the bytes one call moved of a block of `size`.
void log_piece_sent(long ret, unsigned long long size) {
    LOG_INFO("send message to server success,%d bytes datas sended,total data:[%d]!",
             static_cast<int>(ret), static_cast<int>(size));
}

enum class SendFailure { kNone, kRequest, kData };

// Sends the `requestSize` bytes of `request` and then the `dataSize` bytes of `data`, gathered
// into as few calls as the transport allows: on a plain connection the request does not leave
// as a small segment of its own, and the data goes out of the caller's buffer without a copy.
// The bytes on the wire are the same as with two sends, and so is the log: the bytes a call
// moved are counted to the request first and then to the data, each part logged as a block
// by itself, and `requestOut` runs once all of the request is out. A part that a call does not
// accept at all fails the send instead of being offered again without end.
template <typename RequestOut>
SendFailure send_parts(CQuillonvardeSDKImpl* self, const char* request, size_t requestSize,
                       const char* data, size_t dataSize, RequestOut requestOut) {
    if (requestSize == 0) {
        LOG_ERROR("send_msg: send_msg len is zero! (line %d)", __LINE__);
        return SendFailure::kRequest;
    }
    CallTransport transport(self);
    const size_t total = requestSize + dataSize;
    for (size_t done = 0; done < total;) {
        // One call moves at most INT_MAX bytes (the TLS calls take an int count).
        size_t room = INT_MAX;
        struct iovec parts[2];
        int count = 0;
        // The parts are only read from; iovec has no const form.
        if (done < requestSize) {
            const size_t left = std::min(requestSize - done, room);
            parts[count++] = {const_cast<char*>(request) + done, left};
            room -= left;
        }
        const size_t dataDone = done < requestSize ? 0 : done - requestSize;
        if (dataSize > dataDone && room > 0)
            parts[count++] = {const_cast<char*>(data) + dataDone,
                              std::min(dataSize - dataDone, room)};
        const Piece piece = transport->send(parts, count);
        const SendFailure failed = done < requestSize ? SendFailure::kRequest : SendFailure::kData;
        if (piece.ret < 0) {
            LOG_ERROR("send_msg: [%s] return:[%d] errno:[%d] (line %d)", piece.reason,
                      static_cast<int>(piece.ret), piece.err, __LINE__);
            return failed;
        }
        if (piece.ret == 0) {
            LOG_ERROR("send_msg: connection accepts no data, return:[0] errno:[%d] (line %d)",
                      piece.err, __LINE__);
            return failed;
        }
        size_t moved = static_cast<size_t>(piece.ret);
        if (done < requestSize) {
            const size_t head = std::min(moved, requestSize - done);
            log_piece_sent(static_cast<long>(head), requestSize);
            done += head;
            moved -= head;
            if (done == requestSize) {
                LOG_DETAIL("send message to server success!");
                requestOut();
            }
        }
        if (moved > 0) {
            log_piece_sent(static_cast<long>(moved), dataSize);
            done += moved;
        }
    }
    if (dataSize > 0) LOG_DETAIL("send message to server success!");
    return SendFailure::kNone;
}

}  // namespace

int CQuillonvardeSDKImpl::send_msg(char* data, unsigned long long size) {
    return send_parts(this, data, static_cast<size_t>(size), nullptr, 0, [] {}) ==
                   SendFailure::kNone
               ? 0
               : -1;
}

int CQuillonvardeSDKImpl::recv_msg(char* data, long long size) {
    CallTransport transport(this);
    long long remaining = size;
    int allowance = kZeroReadAllowance;
    char* pos = data;
    while (remaining > 0) {
        int chunk =
            remaining > static_cast<long long>(INT_MAX) ? INT_MAX : static_cast<int>(remaining);
        const Piece piece = transport->receive(pos, chunk);
        const long ret = piece.ret;
        if (ret < 0) {
            LOG_ERROR("recv_msg:[%s] return:[%d] errno:[%d]  (line %d)", piece.reason,
                      static_cast<int>(ret), piece.err, __LINE__);
            return -1;
        }
        LOG_INFO("recv message from server success,%d bytes datas recved,total data:[%d]",
                 static_cast<int>(ret), static_cast<int>(size));
        if (ret == 0) {
            if (allowance <= 0) {
                LOG_ERROR("recv_msg: read 100 zero buf! recv_msg fail!  (line %d)", __LINE__);
                return -1;
            }
            --allowance;
            LOG_INFO("recv_msg: read %d zero buf!", kZeroReadAllowance - allowance);
        }
        pos += ret;
        remaining -= ret;
    }
    LOG_INFO("recv message from server success!");
    return 0;
}

// =======================================================================================
// Requests: the one request/reply exchange of the four disk operations.

namespace qvsdk {
namespace {

// Chunk used to take unwanted reply bytes off the connection (on the stack, so that a drain
// needs no allocation).
constexpr size_t kDrainChunk = 64 * 1024;

// The largest reply payload the library accepts. The biggest legitimate reply is an address
// map: 6 bytes of result and count plus 64 bytes per extent. 1,048,576 extents cover a 4 GiB
// range in 4 KiB extents (or 2 TiB in 2 MiB blocks), far beyond any single transfer a host
// makes; a header announcing more is treated as broken instead of allocating what it asks.
constexpr uint64_t kMaxMapRecords = 1ULL << 20;
constexpr uint32_t kMaxReplyPayload =
    static_cast<uint32_t>(sizeof(hxa::TransferReplyHead) + kMaxMapRecords * sizeof(vhd_Rec));

}  // namespace

std::unique_ptr<char[]> alloc_block(uint64_t size, bool zeroFilled) {
    if (size >= SIZE_MAX) return nullptr;
    std::unique_ptr<char[]> block(new (std::nothrow) char[static_cast<size_t>(size) + 1]);
    if (!block) return nullptr;
    if (zeroFilled)
        std::memset(block.get(), 0, static_cast<size_t>(size) + 1);
    else
        block[static_cast<size_t>(size)] = 0;
    return block;
}

bool drain_data(CQuillonvardeSDKImpl& self, uint64_t count) {
    char sink[kDrainChunk];
    for (uint64_t left = count; left > 0;) {
        size_t piece = left < kDrainChunk ? static_cast<size_t>(left) : kDrainChunk;
        if (self.recv_msg(sink, static_cast<long long>(piece)) != 0) return false;
        left -= piece;
    }
    return true;
}

void put_string(char* field, size_t field_size, const std::string& text) {
    size_t n = text.size() < field_size - 1 ? text.size() : field_size - 1;
    std::memcpy(field, text.data(), n);
}

bool Request::exchange() {
    const SendFailure sent =
        send_parts(self_, area_, size_, data, data != nullptr ? dataSize : 0,
                   [this] { say_step(op_, kRequestSent, 0, kMaxReplyPayload, 0); });
    if (sent == SendFailure::kRequest) return fail(kRequestNotSent, 0, __LINE__);
    if (sent == SendFailure::kData) {
        dataSent = -1;
        return fail(kDataNotSent, 0, __LINE__);
    }
    if (saved != nullptr) saved->save();

    std::memset(area_, 0, sizeof area_);
    if (self_->recv_msg(area_, sizeof reply) != 0) return fail(kHeadNotReceived, 0, __LINE__);
    std::memcpy(&reply, area_, sizeof reply);
    if ((!anyOperation && reply.operation != operation_) ||
        (replyLength != 0 && reply.length != replyLength))
        return fail(kWrongHead, reply.operation, __LINE__);
    say_step(op_, kHeadReceived, reply.length, kMaxReplyPayload, 0);
    if (reply.length > kMaxReplyPayload) return fail(kReplyTooLong, reply.length, __LINE__);

    payload = alloc_block(reply.length);
    if (!payload) {
        drain_data(*self_, reply.length);
        return fail(kNoMemoryForReply, reply.length, __LINE__);
    }
    if (self_->recv_msg(payload.get(), reply.length) != 0)
        return fail(kReplyNotReceived, 0, __LINE__);
    return true;
}

void Request::fill(const void* payload, uint32_t length) {
    hxa::MsgHeader head{};
    head.magic = hxa::kMagic;
    head.operation = operation_;
    head.seqNo = self_->m_uiSeqNo++;
    head.length = length;
    std::memcpy(area_, &head, sizeof head);
    head.crc = self_->bsb_crc32(area_, offsetof(hxa::MsgHeader, crc));
    std::memcpy(area_, &head, sizeof head);
    if (payload != nullptr) std::memcpy(area_ + sizeof head, payload, length);
    size_ = payload != nullptr ? sizeof head + length : 0;
}

bool Request::fail(Step step, uint32_t value, int line) {
    say_step(op_, step, value, kMaxReplyPayload, line);
    return false;
}

}  // namespace qvsdk
