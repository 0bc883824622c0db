// The request/reply exchange of the disk operations: a request built in the call's fixed
// message area, sent with the data of a write behind it, and its reply read and checked,
// every step reported in the operation's words. Internal to the library.
#ifndef QUILLONVARDE_SDK_EXCHANGE_H
#define QUILLONVARDE_SDK_EXCHANGE_H

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "Quillonvarde_sdk_impl.h"
#include "hxa_protocol.h"
#include "messages.h"

namespace qvsdk {

// Allocates a block of `size` + 1 bytes; null when memory is short. A reply payload block is
// zero-filled; a data block, whose first `size` bytes are always overwritten (by the data
// received) before any of them is read, only gets its one trailing zero byte.
std::unique_ptr<char[]> alloc_block(uint64_t size, bool zeroFilled = true);

// Reads and discards `count` bytes of the connection in bounded pieces; false when the
// connection fails first.
bool drain_data(CQuillonvardeSDKImpl& self, uint64_t count);

// Copies at most field_size - 1 characters so that the field always ends in a zero byte.
void put_string(char* field, size_t field_size, const std::string& text);

// The caller's buffer of a LAN read, saved while the request is with the service. The data
// is then received straight into the buffer, and a receive that fails part-way puts the saved
// bytes back, so the buffer ends as it began on every failure. Saving costs the one block and
// the one copy that receiving into a block and copying it out would cost, but it is done
// while the service reads the disk instead of after the data has arrived.
class SavedBuffer {
  public:
    SavedBuffer(char* buf, unsigned long long size) : buf_(buf), size_(size) {}
    // Copies the buffer aside; without memory nothing is saved, and covers() says so.
    void save() {
        if (buf_ == nullptr || size_ == 0) return;
        copy_ = alloc_block(size_, false);
        if (copy_) std::memcpy(copy_.get(), buf_, static_cast<size_t>(size_));
    }
    // Whether the first `count` bytes of the buffer are saved.
    bool covers(unsigned long long count) const { return copy_ && count <= size_; }
    void restore(unsigned long long count) const {
        if (covers(count)) std::memcpy(buf_, copy_.get(), static_cast<size_t>(count));
    }

  private:
    char* buf_;
    unsigned long long size_;
    std::unique_ptr<char[]> copy_;
};

// One request of a disk operation, built in the call's fixed message area.
class Request {
  public:
    // `operation` 0 stands for a transport mode that is neither SAN nor LAN.
    Request(CQuillonvardeSDKImpl* self, DiskOp op, uint16_t operation)
        : self_(self), op_(op), operation_(operation) {
        std::memset(area_, 0, sizeof area_);
    }

    // Fills the header (the object's next sequence number, the checksum over the bytes
    // before it) and the payload.
    template <typename Payload>
    void build(const Payload& payload) {
        fill(&payload, sizeof payload);
    }
    // A header of length 0 and nothing to send, which the send refuses: the request of a
    // transport mode that is neither SAN nor LAN.
    void build_empty() { fill(nullptr, 0); }

    // A write's data, sent behind the request; the buffer of a LAN read, saved meanwhile;
    // for open and close, the one payload length their reply may announce, and whether its
    // operation is checked.
    const char* data = nullptr;
    unsigned long long dataSize = 0;
    SavedBuffer* saved = nullptr;
    uint32_t replyLength = 0;
    bool anyOperation = false;

    // The reply, once exchange() has succeeded: its header and payload (length + 1 bytes,
    // zero-filled), and what the send of the data block returned.
    hxa::MsgHeader reply{};
    std::unique_ptr<char[]> payload;
    int dataSent = 0;

    // The reply payload's leading structure; bytes the reply does not hold read as zero.
    template <typename Field>
    Field reply_as() const {
        Field field{};
        std::memcpy(&field, payload.get(), std::min<size_t>(reply.length, sizeof field));
        return field;
    }

    // The exchange: sends the request (and the data), reads and checks the reply header,
    // reads the payload into a block of its own. A payload that cannot be stored is still
    // taken off the connection, so the stream stays on message boundaries. Every step is
    // reported in the operation's words; false after a failed step.
    bool exchange();

  private:
    void fill(const void* payload, uint32_t length);
    bool fail(Step step, uint32_t value, int line);

    CQuillonvardeSDKImpl* self_;
    DiskOp op_;
    uint16_t operation_;
    char area_[hxa::kMessageAreaSize];
    size_t size_ = 0;
};

}  // namespace qvsdk

#endif  // QUILLONVARDE_SDK_EXCHANGE_H
