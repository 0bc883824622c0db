// The LAN transport of a disk session: the data travels inside the protocol, behind a write's
// request and behind a read's reply.
#include <cstring>
#include <memory>

#include "disk_session.h"

namespace qvsdk {
namespace {

// Transfers on the wire carry 32 bits of length in the LAN transport.
constexpr unsigned long long kLanLengthLimit = 0x100000000ULL;

// Receives the `count` data bytes of a read's reply into `buf` (of `bufSize` bytes, `saved`
// while the request was with the service) and leaves the read's scope.
int receive_data(CQuillonvardeSDKImpl& self, OpScope<int>& scope, uint32_t count,
                 unsigned long long VMLength, char* buf, unsigned long long& bufSize,
                 const SavedBuffer& saved) {
    if (bufSize < count) {
        // The data is taken off the connection in bounded pieces so that the stream
        // stays on message boundaries, without allocating what the peer announces.
        if (!drain_data(self, count)) {
            LOG_ERROR("ReadDisk: recv data from sever failed!  (line %d)", __LINE__);
            return scope.nok();
        }
        LOG_TRACE("the space of buf not enough,buf size[%d],date length[%d]",
                  static_cast<int>(bufSize), static_cast<int>(count));
        return scope.nok_at_error();
    }
    // Straight into buf when its bytes are saved; otherwise (no memory to save them, or
    // more data than was asked for) into a block of its own, copied out on success.
    std::unique_ptr<char[]> data;
    char* target = buf;
    if (!saved.covers(count)) {
        data = alloc_block(count, false);
        target = data.get();
    }
    if (target == nullptr) {
        // The data is still taken off the connection to keep the stream aligned.
        drain_data(self, count);
        LOG_ERROR("ReadDisk: out of memory for [%u] data bytes!  (line %d)", count, __LINE__);
        return scope.nok();
    }
    if (self.recv_msg(target, count) != 0) {
        saved.restore(count);
        LOG_ERROR("ReadDisk: recv data from sever failed!  (line %d)", __LINE__);
        return scope.nok();
    }
    bufSize = count;
    if (target != buf) std::memcpy(buf, target, count);
    if (count != VMLength)
        LOG_TRACE("read data length is(%d),expected(%d)", static_cast<int>(count),
                  static_cast<int>(VMLength));
    return scope.ok();
}

class LanSession final : public DiskSession {
  public:
    bool fields_fit(const std::string& diskPath, const std::string& token) const override {
        return open_fields_fit(diskPath, token, sizeof(hxa::OpenLanRequest::diskPath) - 1);
    }
    bool open_devices(CQuillonvardeSDKImpl&, const std::list<std::string>&) const override {
        return true;
    }
    uint16_t open_operation() const override { return hxa::OP_LAN_OPEN; }
    void build_open(Request& request, const std::string& diskPath, const std::string& token,
                    OPENMODE openMode) const override {
        hxa::OpenLanRequest req{};
        put_string(req.diskPath, sizeof req.diskPath, diskPath);
        put_string(req.token, sizeof req.token, token);
        req.openMode = static_cast<uint16_t>(static_cast<unsigned int>(openMode) & 0xFFFF);
        request.build(req);
    }

    void close_devices(CQuillonvardeSDKImpl&) const override {}
    uint16_t close_operation() const override { return hxa::OP_LAN_CLOSE; }

    bool read_length_fits(unsigned long long length) const override {
        if (length < kLanLengthLimit) return true;
        // The request carries 32 bits of length; a longer read would ask for something else.
        LOG_ERROR(
            "ReadDisk: invalid parameters! LAN read length [%llu] must be below 4 GiB  "
            "(line %d)",
            length, __LINE__);
        return false;
    }
    int read(CQuillonvardeSDKImpl& self, OpScope<int>& scope, const Range& range, char* buf,
             unsigned long long& bufSize) const override;

    // A write without a buffer asks the service to write no data.
    bool writes_without_data() const override { return true; }
    bool write_length_fits(unsigned long long length) const override {
        if (length < kLanLengthLimit) return true;
        // Only 32 bits of length travel, while a data block would carry all bytes: refused
        // before anything is sent so that the stream cannot lose its message boundaries.
        LOG_ERROR(
            "WriteDisk: invalid parameters! LAN write length [%llu] must be below 4 GiB  "
            "(line %d)",
            length, __LINE__);
        return false;
    }
    int write(CQuillonvardeSDKImpl& self, OpScope<int>& scope, const Range& range, const char* buf,
              long long& bufLength) const override;
};

int LanSession::read(CQuillonvardeSDKImpl& self, OpScope<int>& scope, const Range& range, char* buf,
                     unsigned long long& bufSize) const {
    Request request(&self, kRead, hxa::OP_LAN_READ);
    request.build(hxa::LanTransferRequest{range.diskHandle, range.offset,
                                          static_cast<uint32_t>(range.length)});
    SavedBuffer saved(buf, range.length < bufSize ? range.length : bufSize);
    request.saved = &saved;
    if (!request.exchange()) return scope.nok();

    hxa::TransferReplyHead reply;
    if (!read_reply_head(request, reply)) return scope.nok();
    if (reply.result != hxa::RES_OK || reply.count == 0) {
        // A zero result without data is named as an unknown code, and said to bring no data.
        say_result(kRead, reply.result, __LINE__);
        if (reply.result == hxa::RES_OK)
            LOG_ERROR("ReadDisk: storage can backup date length is zero");
        return scope.nok();
    }
    return receive_data(self, scope, reply.count, range.length, buf, bufSize, saved);
}

int LanSession::write(CQuillonvardeSDKImpl& self, OpScope<int>& scope, const Range& range,
                      const char* buf, long long& bufLength) const {
    const bool noData = buf == nullptr;
    // A write holds a data block of the write's size, taken before the request goes out, so
    // that a shortage of memory is reported ("out of memory") without leaving the service
    // waiting for data that never comes. The data itself is sent straight from the caller's
    // buffer, which stays untouched until the call returns: copying it into the block first
    // cost a pass over every byte. The block is kept (untouched, so it costs address space
    // rather than memory) so that a host short of memory still sees the write fail exactly
    // where and how it always did.
    std::unique_ptr<char[]> dataBlock;
    if (!noData) {
        dataBlock = alloc_block(range.length, false);
        if (!dataBlock) {
            LOG_ERROR("WriteDisk: out of memory for [%llu] data bytes!  (line %d)", range.length,
                      __LINE__);
            return scope.nok();
        }
    }

    Request request(&self, kWrite, noData ? hxa::OP_LAN_WRITE_NODATA : hxa::OP_LAN_WRITE);
    request.build(hxa::LanTransferRequest{range.diskHandle, range.offset,
                                          static_cast<uint32_t>(range.length)});
    request.data = buf;
    request.dataSize = range.length;
    if (!request.exchange()) {
        if (request.dataSent != 0) bufLength = request.dataSent;
        return scope.nok();
    }
    // The LAN transport reads only the result of the reply.
    hxa::TransferReplyHead reply;
    if (!write_reply_ok(request, sizeof(hxa::TransferReplyHead::result), reply)) return scope.nok();
    bufLength = noData ? 0 : static_cast<long long>(range.length);
    return scope.ok();
}

const LanSession kLanSession{};

}  // namespace

const DiskSession& lan_session() { return kLanSession; }

}  // namespace qvsdk
