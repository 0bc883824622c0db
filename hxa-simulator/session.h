// One client connection of the HXA service simulator: reads requests, answers each with
// the same operation code, and moves LAN data between the connection and the disks. The
// faults are layers under the stream and over the disk service; the session knows none.
#ifndef HXA_SIMULATOR_SESSION_H
#define HXA_SIMULATOR_SESSION_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "disk_service.h"
#include "protocol.h"
#include "stream.h"

namespace hxasim {

// Disk data served over all connections, logged when the simulator stops: LAN read data
// sent and LAN write data received and written, plus the ranges of address maps (maps of
// handles that may write count as written, the others as read).
struct DataTotals {
    std::atomic<uint64_t> read{0};
    std::atomic<uint64_t> written{0};
    // Every byte of every connection, requests and replies included.
    std::atomic<uint64_t> received{0};
    std::atomic<uint64_t> sent{0};
};

class Session {
  public:
    Session(DiskService& service, Stream& stream, uint64_t conn_id, bool strict_headers,
            DataTotals& totals);
    // Serves requests until the peer closes, the connection fails, a fault ends it or a
    // request leaves the stream without a recognisable message boundary.
    void run();

  private:
    bool serve_one();
    // Reads the next request; false when the connection ended (logged).
    bool read_request(Request& r);
    void check_header(Request& r);
    void log_io_fault(uint16_t op, uint32_t handle, uint64_t offset, uint64_t length,
                      uint16_t result, const std::string& label);
    bool send_reply(const hxa::MsgHeader& request, const void* payload, uint32_t length);
    bool send_transfer_reply(const hxa::MsgHeader& request, uint16_t result, uint32_t count);
    bool drain(uint64_t bytes);
    // Whether the request carries the payload its operation takes; logs it when not.
    bool payload_fits(const hxa::MsgHeader& h) const;
    bool handle_open(const Request& r);
    bool handle_close(const Request& r);
    bool handle_lan_transfer(const Request& r);
    bool handle_map(const Request& r);
    // Sends the successful reply of a LAN read and its data; the reply travels in one send
    // with the first block of data.
    bool stream_out(const hxa::MsgHeader& request, uint32_t count,
                    const std::vector<Extent>& extents);
    // Data area of io_buffer_, grown on demand up to kIoBlock bytes; `need` bytes wanted.
    char* data_block(uint64_t need, size_t& size);
    bool stream_in(const std::vector<Extent>& extents, uint16_t& result);
    bool zero_out(const std::vector<Extent>& extents);

    DiskService& service_;
    Stream& stream_;
    const uint64_t conn_;
    const bool strict_headers_;
    DataTotals& totals_;
    bool have_seq_ = false;
    uint32_t last_seq_ = 0;
    // Reply head of a LAN read, then the data area.
    std::vector<char> io_buffer_;
};

}  // namespace hxasim

#endif  // HXA_SIMULATOR_SESSION_H
