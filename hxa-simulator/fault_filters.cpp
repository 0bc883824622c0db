#include "fault_filters.h"

#include <algorithm>

#include "hxa_protocol.h"
#include "sim_log.h"

namespace hxasim {
namespace {

using ull = unsigned long long;

}  // namespace

size_t DropFilter::allowance(size_t size) const {
    if (faults_.drop_limit() == 0) return size;
    return static_cast<size_t>(std::min<uint64_t>(size, faults_.drop_limit() - received_ - sent_));
}

void DropFilter::moved(ssize_t n, uint64_t& counter) {
    if (n <= 0) return;
    counter += static_cast<uint64_t>(n);
    if (faults_.drop_limit() == 0 || received_ + sent_ < faults_.drop_limit()) return;
    std::string label;
    if (!faults_.claim_drop(label)) return;
    const bool reset = faults_.settings().drop_mode == DropMode::kReset;
    next_.cut(reset);
    cut_ = true;
    log_error("conn %llu: fault: connection %s after %llu bytes (%llu received, %llu sent); %s",
              static_cast<ull>(faults_.conn()), reset ? "reset" : "closed",
              static_cast<ull>(received_ + sent_), static_cast<ull>(received_),
              static_cast<ull>(sent_), label.c_str());
}

ssize_t DropFilter::receive(void* data, size_t size) {
    if (cut_) return -1;
    const ssize_t n = next_.receive(data, allowance(size));
    moved(n, received_);
    return n;
}

ssize_t DropFilter::send(const void* data, size_t size) {
    if (cut_) return -1;
    const ssize_t n = next_.send(data, allowance(size));
    moved(n, sent_);
    return n;
}

ssize_t StallFilter::receive(void* data, size_t size) {
    if (stalled_) return kEndedByFault;
    if (replied_) ++answered_;
    replied_ = false;
    if (at_request_) {
        at_request_ = false;
        std::string label;
        if (faults_.stall(answered_, label)) {
            log_error(
                "conn %llu: fault: stalled after %llu requests: nothing more is read or "
                "answered until the peer closes the connection; %s",
                static_cast<ull>(faults_.conn()), static_cast<ull>(answered_), label.c_str());
            stalled_ = true;
            next_.wait_for_close(-1);
            return kEndedByFault;
        }
    }
    return next_.receive(data, size);
}

ssize_t StallFilter::send(const void* data, size_t size) {
    replied_ = true;
    at_request_ = true;
    return next_.send(data, size);
}

ssize_t DelayFilter::receive(void* data, size_t size) {
    replying_ = false;
    return next_.receive(data, size);
}

ssize_t DelayFilter::send(const void* data, size_t size) {
    if (!replying_) next_.wait_for_close(delay_ms_);
    replying_ = true;
    return next_.send(data, size);
}

TransferPlan IoErrorService::plan(uint64_t conn, Transport transport, TransferKind kind,
                                  uint32_t handle, uint64_t offset, uint64_t length) {
    TransferPlan p = next_.plan(conn, transport, kind, handle, offset, length);
    if (p.result != hxa::RES_OK || !faults_.io_error(p.fault)) return p;
    const bool writing = kind == TransferKind::kWrite || kind == TransferKind::kZero ||
                         (kind == TransferKind::kMap && next_.may_write(conn, handle));
    p.result = writing ? hxa::RES_WRITE_FAILED : hxa::RES_READ_FAILED;
    p.why = "fault injected";
    p.extents.clear();
    return p;
}

}  // namespace hxasim
