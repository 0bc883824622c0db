// The choice of a disk session's transport, the session of a mode that is neither SAN nor
// LAN, and the steps both transports take.
#include "disk_session.h"

namespace qvsdk {
namespace {

// A transport mode that is neither SAN nor LAN: no field is checked and no device opened,
// and the requests of open, read and write go out as headers without bytes to send, which the
// send refuses, so that these operations fail after taking their sequence number. A close
// sends its request with operation 0 and takes a reply of any operation.
class NoTransportSession final : public DiskSession {
  public:
    bool fields_fit(const std::string&, const std::string&) const override { return true; }
    bool open_devices(CQuillonvardeSDKImpl&, const std::list<std::string>&) const override {
        return true;
    }
    uint16_t open_operation() const override { return 0; }
    void build_open(Request& request, const std::string&, const std::string&,
                    OPENMODE) const override {
        request.build_empty();
    }

    void close_devices(CQuillonvardeSDKImpl&) const override {}
    uint16_t close_operation() const override { return 0; }

    bool read_length_fits(unsigned long long) const override { return true; }
    int read(CQuillonvardeSDKImpl& self, OpScope<int>& scope, const Range&, char*,
             unsigned long long&) const override {
        return refused(self, scope, kRead);
    }

    bool writes_without_data() const override { return false; }
    bool write_length_fits(unsigned long long) const override { return true; }
    int write(CQuillonvardeSDKImpl& self, OpScope<int>& scope, const Range&, const char*,
              long long&) const override {
        return refused(self, scope, kWrite);
    }

  private:
    // The exchange of a request without bytes fails at the send, which reports it.
    static int refused(CQuillonvardeSDKImpl& self, OpScope<int>& scope, DiskOp op) {
        Request request(&self, op, 0);
        request.build_empty();
        request.exchange();
        return scope.nok();
    }
};

const NoTransportSession kNoTransportSession{};

}  // namespace

const DiskSession& disk_session(TRANSMODE mode) {
    if (mode == TRANS_SAN) return san_session();
    if (mode == TRANS_LAN) return lan_session();
    return kNoTransportSession;
}

bool open_fields_fit(const std::string& diskPath, const std::string& token, size_t pathLimit) {
    // The check comes before any LUN device is opened and before a sequence number is taken.
    const size_t tokenLimit = sizeof(hxa::OpenLanRequest::token) - 1;
    if (diskPath.size() > pathLimit) {
        LOG_ERROR(
            "OpenDisk: disk path of %zu characters is longer than the %d the "
            "service's field holds  (line %d)",
            diskPath.size(), static_cast<int>(pathLimit), __LINE__);
        return false;
    }
    if (token.size() > tokenLimit) {
        LOG_ERROR(
            "OpenDisk: token of %zu characters is longer than the %d the "
            "service's field holds  (line %d)",
            token.size(), static_cast<int>(tokenLimit), __LINE__);
        return false;
    }
    return true;
}

bool read_reply_head(const Request& request, hxa::TransferReplyHead& reply) {
    const uint32_t L = request.reply.length;
    if (L < sizeof(hxa::TransferReplyHead)) {
        LOG_ERROR(
            "ReadDisk: reply too short for result and count, msg length:%d!  "
            "(line %d)",
            static_cast<int>(L), __LINE__);
        return false;
    }
    reply = request.reply_as<hxa::TransferReplyHead>();
    return true;
}

bool write_reply_ok(const Request& request, uint32_t needed, hxa::TransferReplyHead& reply) {
    const uint32_t L = request.reply.length;
    if (L < needed) {
        LOG_ERROR("WriteDisk: reply too short for its fields, msg length:%d!  (line %d)",
                  static_cast<int>(L), __LINE__);
        return false;
    }
    reply = request.reply_as<hxa::TransferReplyHead>();
    if (reply.result != hxa::RES_OK) {
        say_result(kWrite, reply.result, __LINE__);
        return false;
    }
    return true;
}

}  // namespace qvsdk
