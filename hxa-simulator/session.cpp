#include "session.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "hxa_checksum.h"
#include "sim_log.h"

namespace hxasim {
namespace {

constexpr size_t kIoBlock = 4 << 20;  // bounds every data transfer step

using ull = unsigned long long;

std::string reason(uint16_t result, const std::string& why) {
    return result == 0 ? std::string() : " (" + why + ")";
}

}  // namespace

Session::Session(DiskService& service, Stream& stream, uint64_t conn_id, bool strict_headers,
                 DataTotals& totals)
    : service_(service),
      stream_(stream),
      conn_(conn_id),
      strict_headers_(strict_headers),
      totals_(totals) {}

void Session::run() {
    while (serve_one()) {
    }
    totals_.received += stream_.bytes_received();
    totals_.sent += stream_.bytes_sent();
}

char* Session::data_block(uint64_t need, size_t& size) {
    size = static_cast<size_t>(std::min<uint64_t>(std::max<uint64_t>(need, 1), kIoBlock));
    if (io_buffer_.size() < kReadReplyHead + size) io_buffer_.resize(kReadReplyHead + size);
    size = io_buffer_.size() - kReadReplyHead;
    return io_buffer_.data() + kReadReplyHead;
}

bool Session::send_reply(const hxa::MsgHeader& request, const void* payload, uint32_t length) {
    const std::vector<char> out = encode_reply(request, payload, length);
    if (!stream_.write_all(out.data(), out.size())) {
        log_error("conn %llu: sending the %s reply failed; closing", static_cast<ull>(conn_),
                  op_name(request.operation));
        return false;
    }
    return true;
}

bool Session::send_transfer_reply(const hxa::MsgHeader& request, uint16_t result, uint32_t count) {
    hxa::TransferReplyHead r{result, count};
    return send_reply(request, &r, sizeof r);
}

bool Session::drain(uint64_t bytes) {
    size_t block = 0;
    char* data = data_block(bytes, block);
    while (bytes > 0) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(bytes, block));
        if (stream_.read_exact(data, n) != Stream::ReadResult::kOk) {
            log_error("conn %llu: connection ended inside the data of a write",
                      static_cast<ull>(conn_));
            return false;
        }
        bytes -= n;
    }
    return true;
}

bool Session::read_request(Request& r) {
    hxa::MsgHeader& h = r.header;
    const Stream::ReadResult got = stream_.read_exact(&h, sizeof h);
    if (got == Stream::ReadResult::kEndedByFault) return false;
    if (got == Stream::ReadResult::kEof) {
        log_info("conn %llu: peer closed the connection", static_cast<ull>(conn_));
        return false;
    }
    if (got != Stream::ReadResult::kOk) {
        log_error("conn %llu: connection failed or ended inside a request header",
                  static_cast<ull>(conn_));
        return false;
    }
    if (h.length > kMaxRequestPayload) {
        log_error(
            "conn %llu: request with operation %u announces %u payload bytes, more than "
            "%u; no message boundary left, closing",
            static_cast<ull>(conn_), h.operation, h.length, kMaxRequestPayload);
        return false;
    }
    if (h.length > 0 && stream_.read_exact(r.payload, h.length) != Stream::ReadResult::kOk) {
        log_error("conn %llu: connection ended inside a request payload", static_cast<ull>(conn_));
        return false;
    }
    return true;
}

void Session::check_header(Request& r) {
    const hxa::MsgHeader& h = r.header;
    if (h.magic != hxa::kMagic) {
        log_error("conn %llu: request magic 0x%04x, expected 0x%04x%s", static_cast<ull>(conn_),
                  h.magic, hxa::kMagic, strict_headers_ ? "; refused with result 1" : "");
        r.header_ok = !strict_headers_;
    }
    uint32_t crc = hxa::header_crc(h);
    if (crc != h.crc) {
        log_error("conn %llu: request checksum 0x%08x, expected 0x%08x%s", static_cast<ull>(conn_),
                  h.crc, crc, strict_headers_ ? "; refused with result 1" : "");
        r.header_ok = r.header_ok && !strict_headers_;
    }
    if (have_seq_ && h.seqNo != last_seq_ + 1)
        log_info("conn %llu: sequence number %u does not follow %u", static_cast<ull>(conn_),
                 h.seqNo, last_seq_);
    have_seq_ = true;
    last_seq_ = h.seqNo;
}

bool Session::serve_one() {
    Request r;
    if (!read_request(r)) return false;
    check_header(r);
    const hxa::MsgHeader& h = r.header;
    switch (h.operation) {
        case hxa::OP_LAN_OPEN:
        case hxa::OP_SAN_OPEN:
            return handle_open(r);
        case hxa::OP_LAN_CLOSE:
        case hxa::OP_SAN_CLOSE:
            return handle_close(r);
        case hxa::OP_LAN_READ:
        case hxa::OP_LAN_WRITE:
        case hxa::OP_LAN_WRITE_NODATA:
            return handle_lan_transfer(r);
        case hxa::OP_SAN_ADDR_MAP:
            return handle_map(r);
        default:
            log_error("conn %llu: unknown operation %u with %u payload bytes; answered result 1",
                      static_cast<ull>(conn_), h.operation, h.length);
            return send_transfer_reply(h, hxa::RES_OPCODE_ERROR, 0);
    }
}

bool Session::payload_fits(const hxa::MsgHeader& h) const {
    const uint32_t expected = request_payload(h.operation);
    if (h.length == expected) return true;
    log_error("conn %llu: %s request with %u payload bytes, expected %u; answered result 1",
              static_cast<ull>(conn_), op_name(h.operation), h.length, expected);
    return false;
}

bool Session::handle_open(const Request& r) {
    const hxa::MsgHeader& h = r.header;
    hxa::OpenReply reply{};
    if (!r.header_ok || !payload_fits(h)) {
        reply.result = hxa::RES_OPCODE_ERROR;
        return send_reply(h, &reply, sizeof reply);
    }
    const OpenFields f = open_fields(r);
    std::string why;
    uint32_t handle = 0;
    reply.result = service_.open(conn_, f.san ? Transport::kSan : Transport::kLan, f.path, f.token,
                                 f.mode, handle, why);
    if (reply.result == 0) reply.handle = handle;
    if (f.san)
        log_info("conn %llu: SAN open \"%s\" -> result %u, handle %u%s", static_cast<ull>(conn_),
                 f.path.c_str(), reply.result, reply.handle, reason(reply.result, why).c_str());
    else
        log_info("conn %llu: LAN open \"%s\" mode %u -> result %u, handle %u%s",
                 static_cast<ull>(conn_), f.path.c_str(), f.mode, reply.result, reply.handle,
                 reason(reply.result, why).c_str());
    return send_reply(h, &reply, sizeof reply);
}

bool Session::handle_close(const Request& r) {
    const hxa::MsgHeader& h = r.header;
    hxa::CloseReply reply{};
    if (!r.header_ok || !payload_fits(h)) {
        reply.result = hxa::RES_OPCODE_ERROR;
        return send_reply(h, &reply, sizeof reply);
    }
    const auto req = r.fields<hxa::CloseRequest>();
    const bool san = h.operation == hxa::OP_SAN_CLOSE;
    std::string why;
    reply.result = service_.close(conn_, san ? Transport::kSan : Transport::kLan, req.handle, why);
    log_info("conn %llu: %s handle %u -> result %u%s", static_cast<ull>(conn_),
             op_name(h.operation), req.handle, reply.result, reason(reply.result, why).c_str());
    return send_reply(h, &reply, sizeof reply);
}

bool Session::handle_lan_transfer(const Request& r) {
    const hxa::MsgHeader& h = r.header;
    const uint16_t op = h.operation;
    if (!payload_fits(h)) {
        if (!send_transfer_reply(h, hxa::RES_OPCODE_ERROR, 0)) return false;
        if (op == hxa::OP_LAN_WRITE) {
            log_error("conn %llu: the length of the data behind it is unknown; closing",
                      static_cast<ull>(conn_));
            return false;
        }
        return true;
    }
    const auto req = r.fields<hxa::LanTransferRequest>();
    const uint64_t length = req.length;
    if (!r.header_ok) {
        if (op == hxa::OP_LAN_WRITE && !drain(length)) return false;
        return send_transfer_reply(h, hxa::RES_OPCODE_ERROR, 0);
    }
    const TransferKind kind = op == hxa::OP_LAN_READ    ? TransferKind::kRead
                              : op == hxa::OP_LAN_WRITE ? TransferKind::kWrite
                                                        : TransferKind::kZero;
    TransferPlan plan = service_.plan(conn_, Transport::kLan, kind, req.handle, req.offset, length);
    log_info("conn %llu: %s handle %u offset %llu length %llu -> result %u%s",
             static_cast<ull>(conn_), op_name(op), req.handle, static_cast<ull>(req.offset),
             static_cast<ull>(length), plan.result, reason(plan.result, plan.why).c_str());
    if (!plan.fault.empty())
        log_io_fault(op, req.handle, req.offset, length, plan.result, plan.fault);
    uint16_t result = plan.result;
    if (op == hxa::OP_LAN_READ) {
        if (result != 0) return send_transfer_reply(h, result, 0);
        const uint64_t before = stream_.bytes_sent();
        const bool ok = stream_out(h, req.length, plan.extents);
        const uint64_t sent = stream_.bytes_sent() - before;
        totals_.read += sent > kReadReplyHead ? sent - kReadReplyHead : 0;
        return ok;
    }
    if (op == hxa::OP_LAN_WRITE) {
        if (result != 0) {
            if (!drain(length)) return false;
            return send_transfer_reply(h, result, 0);
        }
        if (!stream_in(plan.extents, result)) return false;
        return send_transfer_reply(h, result, result == 0 ? req.length : 0);
    }
    if (result == 0 && !zero_out(plan.extents)) result = hxa::RES_WRITE_FAILED;
    return send_transfer_reply(h, result, result == 0 ? req.length : 0);
}

bool Session::stream_out(const hxa::MsgHeader& request, uint32_t count,
                         const std::vector<Extent>& extents) {
    uint64_t total = 0;
    for (const Extent& e : extents) total += e.len;
    size_t block = 0;
    char* data = data_block(total, block);
    char* head = data - kReadReplyHead;
    encode_read_head(request, count, head);
    bool head_sent = false;
    auto send_head_alone = [&] {
        if (!head_sent && !stream_.write_all(head, kReadReplyHead)) {
            log_error("conn %llu: sending the %s reply failed; closing", static_cast<ull>(conn_),
                      op_name(request.operation));
            return false;
        }
        head_sent = true;
        return true;
    };
    for (const Extent& e : extents) {
        uint64_t pos = e.pos, left = e.len;
        while (left > 0) {
            size_t n = static_cast<size_t>(std::min<uint64_t>(left, block));
            if (e.fd < 0) {
                std::memset(data, 0, n);
            } else {
                size_t got = 0;
                while (got < n) {
                    ssize_t r = pread(e.fd, data + got, n - got, static_cast<off_t>(pos + got));
                    if (r < 0 && errno == EINTR) continue;
                    if (r <= 0) {
                        const int err = errno;
                        // The reply goes out as it always did; its data stays incomplete.
                        if (!send_head_alone()) return false;
                        log_error(
                            "conn %llu: reading the disk at %llu failed (%s); the reply "
                            "is incomplete, closing",
                            static_cast<ull>(conn_), static_cast<ull>(pos + got),
                            r == 0 ? "end of file" : std::strerror(err));
                        return false;
                    }
                    got += static_cast<size_t>(r);
                }
            }
            const char* from = head_sent ? data : head;
            if (!stream_.write_all(from, n + static_cast<size_t>(data - from))) {
                if (head_sent)
                    log_error("conn %llu: sending read data failed; closing",
                              static_cast<ull>(conn_));
                else
                    log_error("conn %llu: sending the %s reply failed; closing",
                              static_cast<ull>(conn_), op_name(request.operation));
                return false;
            }
            head_sent = true;
            pos += n;
            left -= n;
        }
    }
    return send_head_alone();
}

bool Session::stream_in(const std::vector<Extent>& extents, uint16_t& result) {
    result = 0;
    uint64_t total = 0;
    for (const Extent& e : extents) total += e.len;
    size_t block = 0;
    char* data = data_block(total, block);
    for (const Extent& e : extents) {
        uint64_t pos = e.pos, left = e.len;
        while (left > 0) {
            size_t n = static_cast<size_t>(std::min<uint64_t>(left, block));
            if (stream_.read_exact(data, n) != Stream::ReadResult::kOk) {
                log_error("conn %llu: connection ended inside the data of a write",
                          static_cast<ull>(conn_));
                return false;
            }
            size_t put = 0;
            while (result == 0 && put < n) {
                ssize_t w = e.fd < 0
                                ? -1
                                : pwrite(e.fd, data + put, n - put, static_cast<off_t>(pos + put));
                if (w < 0 && errno == EINTR) continue;
                if (w <= 0) {
                    log_error(
                        "conn %llu: writing the disk at %llu failed (%s); answering "
                        "result 10",
                        static_cast<ull>(conn_), static_cast<ull>(pos + put),
                        w == 0 ? "no progress" : std::strerror(errno));
                    result = hxa::RES_WRITE_FAILED;
                    break;
                }
                put += static_cast<size_t>(w);
            }
            if (result == 0) totals_.written += n;
            pos += n;
            left -= n;
        }
    }
    return true;
}

bool Session::zero_out(const std::vector<Extent>& extents) {
    for (const Extent& e : extents) {
        if (e.fd < 0) continue;  // a hole already reads as zeros
        if (!zero_range(e.fd, e.pos, e.len)) {
            log_error("conn %llu: zeroing %llu bytes at %llu failed: %s", static_cast<ull>(conn_),
                      static_cast<ull>(e.len), static_cast<ull>(e.pos), std::strerror(errno));
            return false;
        }
    }
    return true;
}

bool Session::handle_map(const Request& r) {
    const hxa::MsgHeader& h = r.header;
    if (!r.header_ok) return send_transfer_reply(h, hxa::RES_OPCODE_ERROR, 0);
    if (!payload_fits(h)) return send_transfer_reply(h, hxa::RES_OPCODE_ERROR, 0);
    const auto req = r.fields<hxa::SanMapRequest>();
    const TransferPlan plan = service_.plan(conn_, Transport::kSan, TransferKind::kMap, req.handle,
                                            req.offset, req.length);
    if (plan.result != 0) {
        log_info("conn %llu: SAN address map handle %u offset %llu length %llu -> result %u%s",
                 static_cast<ull>(conn_), req.handle, static_cast<ull>(req.offset),
                 static_cast<ull>(req.length), plan.result, reason(plan.result, plan.why).c_str());
        if (!plan.fault.empty())
            log_io_fault(h.operation, req.handle, req.offset, req.length, plan.result, plan.fault);
        return send_transfer_reply(h, plan.result, 0);
    }
    // A map of a handle that may write is one to write through.
    const bool writing = service_.may_write(conn_, req.handle);
    std::vector<vhd_Rec> records(plan.extents.size());
    size_t holes = 0;
    for (size_t i = 0; i < records.size(); ++i) {
        const Extent& e = plan.extents[i];
        vhd_Rec& rec = records[i];
        if (e.lun >= 0) {
            std::memcpy(rec.lunWwn, service_.lun_wwn(e.lun), sizeof rec.lunWwn);
            rec.phyOffset = e.pos;
        } else {
            ++holes;
        }
        rec.dataLen = e.len;
        log_debug("conn %llu:   extent %zu: LUN %d phyOffset 0x%llx dataLen %llu",
                  static_cast<ull>(conn_), i, e.lun, static_cast<ull>(rec.phyOffset),
                  static_cast<ull>(rec.dataLen));
    }
    log_info(
        "conn %llu: SAN address map handle %u offset %llu length %llu -> %zu extents, %zu "
        "holes",
        static_cast<ull>(conn_), req.handle, static_cast<ull>(req.offset),
        static_cast<ull>(req.length), records.size(), holes);
    const std::vector<unsigned char> out = encode_map_reply(records);
    if (!send_reply(h, out.data(), static_cast<uint32_t>(out.size()))) return false;
    (writing ? totals_.written : totals_.read) += req.length;
    return true;
}

void Session::log_io_fault(uint16_t op, uint32_t handle, uint64_t offset, uint64_t length,
                           uint16_t result, const std::string& label) {
    log_error(
        "conn %llu: fault: %s handle %u offset %llu length %llu answered with result %u "
        "instead of being carried out; %s",
        static_cast<ull>(conn_), op_name(op), handle, static_cast<ull>(offset),
        static_cast<ull>(length), result, label.c_str());
}

}  // namespace hxasim
