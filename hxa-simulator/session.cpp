#include "session.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include "hxa_checksum.h"
#include "requests.h"
#include "sim_log.h"
#include "tls_server.h"

namespace hxasim {
namespace {

constexpr size_t kIoBlock = 4 << 20;  // bounds every data transfer step
// Reply header and transfer head of a LAN read, placed in front of its first data block.
constexpr size_t kReadReplyHead = hxa::kHeaderSize + sizeof(hxa::TransferReplyHead);

using ull = unsigned long long;

std::string field_text(const char* field, size_t size) {
    return std::string(field, strnlen(field, size));
}

std::string reason(uint16_t result, const std::string& why) {
    return result == 0 ? std::string() : " (" + why + ")";
}

}  // namespace

ssize_t Stream::receive(void* data, size_t size) {
    if (cut_) return -1;
    size = allowance(std::min(size, size_t(1) << 30));
    ssize_t n;
    if (ssl_ != nullptr) {
        // Nothing the session wrote may wait in the output buffer while it waits for the peer.
        if (!flush_tls_output(ssl_)) return -1;
        int r = SSL_read(ssl_, data, static_cast<int>(size));
        n = r > 0 ? r : SSL_get_error(ssl_, r) == SSL_ERROR_ZERO_RETURN ? 0 : -1;
    } else {
        do {
            n = recv(fd_, data, size, 0);
        } while (n < 0 && errno == EINTR);
    }
    if (n > 0) moved(static_cast<size_t>(n), received_);
    return n;
}

size_t Stream::allowance(size_t size) const {
    if (faults_ == nullptr || faults_->drop_limit() == 0) return size;
    return static_cast<size_t>(std::min<uint64_t>(size, faults_->drop_limit() - received_ - sent_));
}

void Stream::moved(size_t n, uint64_t& counter) {
    counter += n;
    if (faults_ == nullptr || faults_->drop_limit() == 0 ||
        received_ + sent_ < faults_->drop_limit())
        return;
    std::string label;
    if (!faults_->claim_drop(label)) return;
    // What was sent up to the limit leaves before the cut.
    if (ssl_ != nullptr) flush_tls_output(ssl_);
    const bool reset = faults_->drop_mode() == DropMode::kReset;
    if (reset) {
        // The main thread closes the descriptor as soon as the session has ended, which
        // follows at once; without lingering, that close aborts the connection.
        struct linger abort_on_close = {1, 0};
        setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
    } else {
        shutdown(fd_, SHUT_RDWR);
    }
    cut_ = true;
    log_error("conn %llu: fault: connection %s after %llu bytes (%llu received, %llu sent); %s",
              static_cast<ull>(faults_->conn()), reset ? "reset" : "closed",
              static_cast<ull>(received_ + sent_), static_cast<ull>(received_),
              static_cast<ull>(sent_), label.c_str());
}

bool Stream::wait_for_close(double timeout_ms) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point end =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(
                           std::chrono::duration<double, std::milli>(std::max(timeout_ms, 0.0)));
    // POLLRDHUP: the peer closed its side; POLLHUP: the simulator shut the socket down.
    // Incoming data (POLLIN) is not asked for.
    struct pollfd p = {fd_, POLLRDHUP, 0};
    for (;;) {
        struct timespec left_ts {};
        if (timeout_ms >= 0) {
            const auto left = std::max(end - Clock::now(), Clock::duration::zero());
            const auto secs = std::chrono::duration_cast<std::chrono::seconds>(left);
            left_ts.tv_sec = static_cast<time_t>(secs.count());
            left_ts.tv_nsec = static_cast<long>(
                std::chrono::duration_cast<std::chrono::nanoseconds>(left - secs).count());
        }
        int r = ppoll(&p, 1, timeout_ms >= 0 ? &left_ts : nullptr, nullptr);
        if (r >= 0) return r > 0;
        if (errno != EINTR) return true;
    }
}

Stream::ReadResult Stream::read_exact(void* data, size_t size) {
    char* p = static_cast<char*>(data);
    size_t got = std::min(size, in_end_ - in_pos_);
    std::memcpy(p, in_.data() + in_pos_, got);
    in_pos_ += got;
    while (got < size) {
        const size_t left = size - got;
        // Data of a transfer goes straight to the caller; small remainders (a request
        // header and payload) refill the buffer.
        const bool direct = left >= in_.size();
        ssize_t n = direct ? receive(p + got, left) : receive(in_.data(), in_.size());
        if (n <= 0) return n == 0 && got == 0 ? ReadResult::kEof : ReadResult::kError;
        size_t take = static_cast<size_t>(n);
        if (!direct) {
            in_pos_ = std::min(take, left);
            in_end_ = take;
            std::memcpy(p + got, in_.data(), in_pos_);
            take = in_pos_;
        }
        got += take;
    }
    return ReadResult::kOk;
}

bool Stream::write_all(const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    size_t done = 0;
    while (done < size) {
        if (cut_) return false;
        size_t want = allowance(std::min(size - done, size_t(1) << 30));
        ssize_t n;
        if (ssl_ != nullptr) {
            n = SSL_write(ssl_, p + done, static_cast<int>(want));
            if (n <= 0) return false;
        } else {
            n = send(fd_, p + done, want, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
        }
        done += static_cast<size_t>(n);
        moved(static_cast<size_t>(n), sent_);
    }
    return !cut_ && (ssl_ == nullptr || flush_tls_output(ssl_));
}

Session::Session(DiskStore& store, Stream& stream, uint64_t conn_id, bool strict_headers,
                 ConnectionFaults& faults, DataTotals& totals)
    : store_(store),
      stream_(stream),
      conn_(conn_id),
      strict_headers_(strict_headers),
      faults_(faults),
      totals_(totals) {}

void Session::run() {
    for (;;) {
        std::string label;
        if (faults_.stall(answered_, label)) {
            log_error(
                "conn %llu: fault: stalled after %llu requests: nothing more is read or "
                "answered until the peer closes the connection; %s",
                static_cast<ull>(conn_), static_cast<ull>(answered_), label.c_str());
            stream_.wait_for_close(-1);
            return;
        }
        if (!serve_one()) return;
        ++answered_;
    }
}

void Session::delay_reply() {
    // Ends early when the connection is closed, so that a stop is not held up.
    if (faults_.reply_delay_ms() > 0) stream_.wait_for_close(faults_.reply_delay_ms());
}

char* Session::data_block(uint64_t need, size_t& size) {
    size = static_cast<size_t>(std::min<uint64_t>(std::max<uint64_t>(need, 1), kIoBlock));
    if (io_buffer_.size() < kReadReplyHead + size) io_buffer_.resize(kReadReplyHead + size);
    size = io_buffer_.size() - kReadReplyHead;
    return io_buffer_.data() + kReadReplyHead;
}

hxa::MsgHeader Session::reply_header(const hxa::MsgHeader& request, uint32_t length) {
    return hxa::make_header(request.operation, request.seqNo, length);
}

bool Session::send_reply(const hxa::MsgHeader& request, const void* payload, uint32_t length) {
    delay_reply();
    std::vector<char> out(hxa::kHeaderSize + length);
    hxa::MsgHeader h = reply_header(request, length);
    std::memcpy(out.data(), &h, sizeof h);
    if (length) std::memcpy(out.data() + hxa::kHeaderSize, payload, length);
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

bool Session::serve_one() {
    hxa::MsgHeader h;
    Stream::ReadResult r = stream_.read_exact(&h, sizeof h);
    if (r == Stream::ReadResult::kEof) {
        log_info("conn %llu: peer closed the connection", static_cast<ull>(conn_));
        return false;
    }
    if (r != Stream::ReadResult::kOk) {
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
    unsigned char payload[kMaxRequestPayload + 1] = {};
    if (h.length > 0 && stream_.read_exact(payload, h.length) != Stream::ReadResult::kOk) {
        log_error("conn %llu: connection ended inside a request payload", static_cast<ull>(conn_));
        return false;
    }
    bool header_ok = true;
    if (h.magic != hxa::kMagic) {
        log_error("conn %llu: request magic 0x%04x, expected 0x%04x%s", static_cast<ull>(conn_),
                  h.magic, hxa::kMagic, strict_headers_ ? "; refused with result 1" : "");
        header_ok = !strict_headers_;
    }
    uint32_t crc = hxa::header_crc(h);
    if (crc != h.crc) {
        log_error("conn %llu: request checksum 0x%08x, expected 0x%08x%s", static_cast<ull>(conn_),
                  h.crc, crc, strict_headers_ ? "; refused with result 1" : "");
        header_ok = header_ok && !strict_headers_;
    }
    if (have_seq_ && h.seqNo != last_seq_ + 1)
        log_info("conn %llu: sequence number %u does not follow %u", static_cast<ull>(conn_),
                 h.seqNo, last_seq_);
    have_seq_ = true;
    last_seq_ = h.seqNo;

    switch (h.operation) {
        case hxa::OP_LAN_OPEN:
        case hxa::OP_SAN_OPEN:
            return handle_open(h, payload, header_ok);
        case hxa::OP_LAN_CLOSE:
        case hxa::OP_SAN_CLOSE:
            return handle_close(h, payload, header_ok);
        case hxa::OP_LAN_READ:
        case hxa::OP_LAN_WRITE:
        case hxa::OP_LAN_WRITE_NODATA:
            return handle_lan_transfer(h, payload, header_ok);
        case hxa::OP_SAN_ADDR_MAP:
            return handle_map(h, payload, header_ok);
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

bool Session::handle_open(const hxa::MsgHeader& h, const unsigned char* payload, bool header_ok) {
    const bool san = h.operation == hxa::OP_SAN_OPEN;
    hxa::OpenReply reply{};
    if (!header_ok || !payload_fits(h)) {
        reply.result = hxa::RES_OPCODE_ERROR;
    } else {
        std::string path, token, why;
        uint16_t mode = 0;
        if (san) {
            hxa::OpenSanRequest req;
            std::memcpy(&req, payload, sizeof req);
            path = field_text(req.diskPath, sizeof req.diskPath);
            token = field_text(req.token, sizeof req.token);
        } else {
            hxa::OpenLanRequest req;
            std::memcpy(&req, payload, sizeof req);
            path = field_text(req.diskPath, sizeof req.diskPath);
            token = field_text(req.token, sizeof req.token);
            mode = req.openMode;
        }
        uint32_t handle = 0;
        reply.result = store_.open(conn_, san ? Transport::kSan : Transport::kLan, path, token,
                                   mode, handle, why);
        if (reply.result == 0) reply.handle = handle;
        if (san)
            log_info("conn %llu: SAN open \"%s\" -> result %u, handle %u%s",
                     static_cast<ull>(conn_), path.c_str(), reply.result, reply.handle,
                     reason(reply.result, why).c_str());
        else
            log_info("conn %llu: LAN open \"%s\" mode %u -> result %u, handle %u%s",
                     static_cast<ull>(conn_), path.c_str(), mode, reply.result, reply.handle,
                     reason(reply.result, why).c_str());
    }
    return send_reply(h, &reply, sizeof reply);
}

bool Session::handle_close(const hxa::MsgHeader& h, const unsigned char* payload, bool header_ok) {
    const bool san = h.operation == hxa::OP_SAN_CLOSE;
    hxa::CloseReply reply{};
    if (!header_ok || !payload_fits(h)) {
        reply.result = hxa::RES_OPCODE_ERROR;
    } else {
        hxa::CloseRequest req;
        std::memcpy(&req, payload, sizeof req);
        std::string why;
        reply.result =
            store_.close(conn_, san ? Transport::kSan : Transport::kLan, req.handle, why);
        log_info("conn %llu: %s handle %u -> result %u%s", static_cast<ull>(conn_),
                 op_name(h.operation), req.handle, reply.result, reason(reply.result, why).c_str());
    }
    return send_reply(h, &reply, sizeof reply);
}

bool Session::handle_lan_transfer(const hxa::MsgHeader& h, const unsigned char* payload,
                                  bool header_ok) {
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
    hxa::LanTransferRequest req;
    std::memcpy(&req, payload, sizeof req);
    const uint64_t length = req.length;
    if (!header_ok) {
        if (op == hxa::OP_LAN_WRITE && !drain(length)) return false;
        return send_transfer_reply(h, hxa::RES_OPCODE_ERROR, 0);
    }
    TransferKind kind = op == hxa::OP_LAN_READ    ? TransferKind::kRead
                        : op == hxa::OP_LAN_WRITE ? TransferKind::kWrite
                                                  : TransferKind::kZero;
    std::vector<Extent> extents;
    std::string why;
    uint16_t result =
        store_.prepare(conn_, Transport::kLan, kind, req.handle, req.offset, length, extents, why);
    std::string fault;
    if (result == 0 && faults_.io_error(fault)) {
        result = op == hxa::OP_LAN_READ ? hxa::RES_READ_FAILED : hxa::RES_WRITE_FAILED;
        why = "fault injected";
    }
    log_info("conn %llu: %s handle %u offset %llu length %llu -> result %u%s",
             static_cast<ull>(conn_), op_name(op), req.handle, static_cast<ull>(req.offset),
             static_cast<ull>(length), result, reason(result, why).c_str());
    if (!fault.empty()) log_io_fault(op, req.handle, req.offset, length, result, fault);
    if (op == hxa::OP_LAN_READ) {
        if (result != 0) return send_transfer_reply(h, result, 0);
        const uint64_t before = stream_.bytes_sent();
        const bool ok = stream_out(h, req.length, extents);
        const uint64_t sent = stream_.bytes_sent() - before;
        totals_.read += sent > kReadReplyHead ? sent - kReadReplyHead : 0;
        return ok;
    }
    if (op == hxa::OP_LAN_WRITE) {
        if (result != 0) {
            if (!drain(length)) return false;
            return send_transfer_reply(h, result, 0);
        }
        if (!stream_in(extents, result)) return false;
        return send_transfer_reply(h, result, result == 0 ? req.length : 0);
    }
    if (result == 0 && !zero_out(extents)) result = hxa::RES_WRITE_FAILED;
    return send_transfer_reply(h, result, result == 0 ? req.length : 0);
}

bool Session::stream_out(const hxa::MsgHeader& request, uint32_t count,
                         const std::vector<Extent>& extents) {
    delay_reply();
    uint64_t total = 0;
    for (const Extent& e : extents) total += e.len;
    size_t block = 0;
    char* data = data_block(total, block);
    char* head = data - kReadReplyHead;
    const hxa::MsgHeader h = reply_header(request, sizeof(hxa::TransferReplyHead));
    const hxa::TransferReplyHead t{hxa::RES_OK, count};
    std::memcpy(head, &h, sizeof h);
    std::memcpy(head + sizeof h, &t, sizeof t);
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

bool Session::handle_map(const hxa::MsgHeader& h, const unsigned char* payload, bool header_ok) {
    if (!header_ok) return send_transfer_reply(h, hxa::RES_OPCODE_ERROR, 0);
    if (!payload_fits(h)) return send_transfer_reply(h, hxa::RES_OPCODE_ERROR, 0);
    hxa::SanMapRequest req;
    std::memcpy(&req, payload, sizeof req);
    std::vector<Extent> extents;
    std::string why;
    uint16_t result = store_.prepare(conn_, Transport::kSan, TransferKind::kMap, req.handle,
                                     req.offset, req.length, extents, why);
    // A map of a handle that may write is one to write through.
    const bool writing = result == 0 && store_.may_write(conn_, req.handle);
    std::string fault;
    if (result == 0 && faults_.io_error(fault)) {
        result = writing ? hxa::RES_WRITE_FAILED : hxa::RES_READ_FAILED;
        why = "fault injected";
    }
    if (result != 0) {
        log_info("conn %llu: SAN address map handle %u offset %llu length %llu -> result %u%s",
                 static_cast<ull>(conn_), req.handle, static_cast<ull>(req.offset),
                 static_cast<ull>(req.length), result, reason(result, why).c_str());
        if (!fault.empty())
            log_io_fault(h.operation, req.handle, req.offset, req.length, result, fault);
        return send_transfer_reply(h, result, 0);
    }
    const size_t count = extents.size();
    std::vector<unsigned char> out(sizeof(hxa::TransferReplyHead) + count * sizeof(vhd_Rec));
    hxa::TransferReplyHead head{0, static_cast<uint32_t>(count)};
    std::memcpy(out.data(), &head, sizeof head);
    size_t holes = 0;
    for (size_t i = 0; i < count; ++i) {
        const Extent& e = extents[i];
        vhd_Rec rec{};
        if (e.lun >= 0) {
            std::memcpy(rec.lunWwn, store_.lun_wwn(e.lun), sizeof rec.lunWwn);
            rec.phyOffset = e.pos;
        } else {
            ++holes;
        }
        rec.dataLen = e.len;
        std::memcpy(out.data() + sizeof head + i * sizeof rec, &rec, sizeof rec);
        log_debug("conn %llu:   extent %zu: LUN %d phyOffset 0x%llx dataLen %llu",
                  static_cast<ull>(conn_), i, e.lun, static_cast<ull>(rec.phyOffset),
                  static_cast<ull>(rec.dataLen));
    }
    log_info(
        "conn %llu: SAN address map handle %u offset %llu length %llu -> %zu extents, %zu "
        "holes",
        static_cast<ull>(conn_), req.handle, static_cast<ull>(req.offset),
        static_cast<ull>(req.length), count, holes);
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
