// The part of the disk operations that depends on the transport of the disk session: SAN
// (address maps carried out on local LUN devices), LAN (the data inside the protocol), or a
// mode that is neither (whose requests the send refuses). OpenDisk chooses the session from
// its transport mode once; the operations after it take the session of the mode it recorded.
// Internal to the library.
#ifndef QUILLONVARDE_SDK_DISK_SESSION_H
#define QUILLONVARDE_SDK_DISK_SESSION_H

#include <cstdint>
#include <list>
#include <string>

#include "Quillonvarde_sdk_impl.h"
#include "exchange.h"
#include "hxa_protocol.h"
#include "log_scope.h"

namespace qvsdk {

// The range of one read or write.
struct Range {
    unsigned int diskHandle;
    unsigned long long offset;
    unsigned long long length;
};

// The steps of each operation that differ between the transports, in the order the
// operation takes them. A refusal is logged by the step that refuses. The operations hand
// their scope to read and write, which leave it with the operation's result.
class DiskSession {
  public:
    // OpenDisk: whether the disk path and the token fit the fields of the open request; the
    // session's LUN devices, opened before the request; the request's operation and payload.
    virtual bool fields_fit(const std::string& diskPath, const std::string& token) const = 0;
    virtual bool open_devices(CQuillonvardeSDKImpl& self,
                              const std::list<std::string>& LunWWNList) const = 0;
    virtual uint16_t open_operation() const = 0;
    virtual void build_open(Request& request, const std::string& diskPath, const std::string& token,
                            OPENMODE openMode) const = 0;

    // CloseDisk: the session's LUN devices, closed before the request; the request's
    // operation (0 for a mode that is neither transport, whose reply may name any operation).
    virtual void close_devices(CQuillonvardeSDKImpl& self) const = 0;
    virtual uint16_t close_operation() const = 0;

    // ReadDisk, after its parameter check: whether the length can travel, then the exchange
    // and the data.
    virtual bool read_length_fits(unsigned long long length) const = 0;
    virtual int read(CQuillonvardeSDKImpl& self, OpScope<int>& scope, const Range& range, char* buf,
                     unsigned long long& bufSize) const = 0;

    // WriteDisk: whether a write without a buffer asks the service to write no data (else it
    // is refused); after the parameter checks, whether the length can travel, then the
    // exchange and the data.
    virtual bool writes_without_data() const = 0;
    virtual bool write_length_fits(unsigned long long length) const = 0;
    virtual int write(CQuillonvardeSDKImpl& self, OpScope<int>& scope, const Range& range,
                      const char* buf, long long& bufLength) const = 0;

  protected:
    ~DiskSession() = default;
};

// The session of transport mode `mode`.
const DiskSession& disk_session(TRANSMODE mode);
const DiskSession& san_session();
const DiskSession& lan_session();

// Steps both transports take.

// Whether `diskPath` (at most `pathLimit` characters) and `token` fit the fields of the open
// request. A path or token longer than its field is refused rather than cut: a cut path may
// name another disk, a cut token another token.
bool open_fields_fit(const std::string& diskPath, const std::string& token, size_t pathLimit);

// The result and count of a read's reply; false when the reply is too short for them.
bool read_reply_head(const Request& request, hxa::TransferReplyHead& reply);

// The result (and count) of a write's reply; false when the reply is shorter than `needed` or
// reports a failure.
bool write_reply_ok(const Request& request, uint32_t needed, hxa::TransferReplyHead& reply);

}  // namespace qvsdk

#endif  // QUILLONVARDE_SDK_DISK_SESSION_H
