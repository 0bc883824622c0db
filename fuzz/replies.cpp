// Fuzz target: the library's handling of whatever the HXA service sends back.
//
// Each input is a short script of calls (OpenDisk, ReadDisk, WriteDisk with and without data,
// CloseDisk) and the byte stream the service sends on a real loopback TCP connection. The
// whole stream is sent before the first call and the service then ends its side of the
// connection, so a call that wants more bytes than there are sees the connection end instead
// of waiting for a time-out. Run as root, half the inputs use the SAN transport with two
// small LUN files under a private /dev/disk/by-id (private mount namespace); otherwise LAN.
//
// Checked after every call: the result is 0 or 1; the host's buffer, which ends at a
// PROT_NONE page, was not written before its start; in SAN mode no LUN byte outside the
// extents of the address maps that the call may have taken off the stream has changed (and a
// read changed none at all). After every input: no descriptor is left open (and LeakSanitizer
// finds no leak).
//
// Input layout (missing bytes read as 0):
//   byte 0            bit 0: SAN transport (when available); bit 1: LUNs opened read-only
//   byte 1            number of calls, 1 + (value % 8)
//   5 bytes per call  kind (value % 5: open, read, write, data-less write, close),
//                     length - 1 (u16, little-endian), buffer capacity byte, offset / 4096
//   the rest          the service's byte stream
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <list>
#include <string>
#include <vector>

#include "Quillonvarde_sdk_impl.h"
#include "host_levels.h"
#include "hxa_protocol.h"
#include "private_mounts.h"

namespace {

constexpr size_t kPage = 4096;
constexpr size_t kBufferRoom = 69632;  // 17 pages: the largest capacity, and then some
constexpr size_t kCanary = 256;        // bytes before the buffer that must stay as they are
constexpr uint64_t kFloor = 0x200000;  // no extent starts below 2 MiB
constexpr uint64_t kLunSize = kFloor + 0x20000;  // 2 MiB floor + 128 KiB of data

struct Lun {
    uint8_t id[16];
    std::string name;  // under /dev/disk/by-id
    std::string path;
    int fd = -1;
    uint8_t* map = nullptr;     // the file from kFloor on, shared mapping
    std::vector<uint8_t> copy;  // its content after the last check
};

// Formats every message, so that a format that does not match its arguments is found.
void format_log(int, const char* format, ...) {
    char text[2048];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
}

zev_common::HostLevels g_levels;
zev_common::PrivateMounts* g_mounts = nullptr;
bool g_san = false;
Lun g_luns[2];
int g_listen = -1;
unsigned short g_port = 0;
uint8_t* g_region = nullptr;  // kBufferRoom bytes, then a PROT_NONE page
int g_devnull = -1;

[[noreturn]] void fail(const char* what) {
    fprintf(stderr, "fuzz_replies: %s\n", what);
    abort();
}

// The overlay's temporary directories go when the process ends (the mounts go with the
// namespace).
void remove_mounts() { delete g_mounts; }

bool setup_luns() {
    g_mounts = new zev_common::PrivateMounts();
    atexit(remove_mounts);
    if (!g_mounts->enter().empty() || !g_mounts->empty_disk_by_id().empty()) return false;
    for (int k = 0; k < 2; ++k) {
        Lun& lun = g_luns[k];
        char hex[33];
        for (int i = 0; i < 16; ++i) {
            lun.id[i] = static_cast<uint8_t>(0x60 + 0x11 * i + k);
            snprintf(hex + 2 * i, 3, "%02x", lun.id[i]);
        }
        lun.name = std::string("wwn-0x") + hex;
        lun.path = "/dev/disk/by-id/" + lun.name;
        lun.fd = open(lun.path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (lun.fd < 0 || ftruncate(lun.fd, static_cast<off_t>(kLunSize)) != 0) return false;
        // Below the floor the file stays a hole; only the data above it is mapped and filled.
        void* m = mmap(nullptr, kLunSize - kFloor, PROT_READ | PROT_WRITE, MAP_SHARED, lun.fd,
                       static_cast<off_t>(kFloor));
        if (m == MAP_FAILED) return false;
        lun.map = static_cast<uint8_t*>(m);
        for (uint64_t i = 0; i < kLunSize - kFloor; ++i)
            lun.map[i] = static_cast<uint8_t>(i * 31 + k);
        lun.copy.assign(lun.map, lun.map + (kLunSize - kFloor));
    }
    return true;
}

struct Extent {
    const uint8_t* id;
    uint64_t begin, end;
};

// The extents of the address map in `reply` (the bytes one call took off the stream: header,
// then result, count and the records), as far as the reply holds them.
std::vector<Extent> map_extents(const uint8_t* reply, size_t n) {
    constexpr size_t kRecords = sizeof(hxa::MsgHeader) + sizeof(hxa::TransferReplyHead);
    std::vector<Extent> out;
    if (n < kRecords) return out;
    hxa::MsgHeader header;
    hxa::TransferReplyHead head;
    memcpy(&header, reply, sizeof header);
    memcpy(&head, reply + sizeof header, sizeof head);
    if (header.operation != hxa::OP_SAN_ADDR_MAP) return out;
    for (uint64_t i = 0; i < head.count && kRecords + sizeof(vhd_Rec) * (i + 1) <= n; ++i) {
        const uint8_t* at = reply + kRecords + sizeof(vhd_Rec) * i;
        vhd_Rec r;
        memcpy(&r, at, sizeof r);
        const uint64_t phy = r.phyOffset, len = r.dataLen;
        out.push_back(
            {at + offsetof(vhd_Rec, lunWwn), phy, phy + len < phy ? UINT64_MAX : phy + len});
    }
    return out;
}

// The library reads up to this many bytes ahead on a plain connection and keeps what a call
// did not use for the next one. The socket's count therefore says how far the library has
// read, not where a call's own reply began: that lies at most this far before the count taken
// before the call.
constexpr size_t kLibraryReadAhead = 16 * 1024;

// The extents of every address-map reply that may be the one a call took: each reply that
// starts between `from` and `to` in the stream, as far as the stream up to `to` holds it.
std::vector<Extent> window_extents(const uint8_t* stream, size_t from, size_t to) {
    std::vector<Extent> out;
    for (size_t at = from; at < to; ++at) {
        const std::vector<Extent> found = map_extents(stream + at, to - at);
        out.insert(out.end(), found.begin(), found.end());
    }
    return out;
}

// Every LUN byte that changed since the last check must lie inside an extent of `allowed`
// for that LUN. A LUN file that grew is cut back to its size.
void check_luns(const std::vector<Extent>& allowed) {
    for (Lun& lun : g_luns) {
        auto inside = [&](uint64_t pos) {
            for (const Extent& e : allowed)
                if (memcmp(e.id, lun.id, 16) == 0 && pos >= e.begin && pos < e.end) return true;
            return false;
        };
        for (uint64_t page = 0; page < kLunSize - kFloor; page += kPage) {
            if (memcmp(lun.map + page, lun.copy.data() + page, kPage) == 0) continue;
            for (uint64_t i = page; i < page + kPage; ++i)
                if (lun.map[i] != lun.copy[i] && !inside(kFloor + i))
                    fail("LUN byte outside the map changed");
            memcpy(lun.copy.data() + page, lun.map + page, kPage);
        }
        // Below the floor the file is a hole: any write there, of zeros too, fills it with data.
        const off_t data_at = lseek(lun.fd, 0, SEEK_DATA);
        if (data_at >= 0 && static_cast<uint64_t>(data_at) < kFloor)
            fail("LUN written below the 2 MiB floor");
        struct stat st;
        if (fstat(lun.fd, &st) != 0) fail("fstat of a LUN file");
        if (static_cast<uint64_t>(st.st_size) > kLunSize) {
            if (!inside(static_cast<uint64_t>(st.st_size) - 1))
                fail("LUN file grew outside the map");
            if (ftruncate(lun.fd, static_cast<off_t>(kLunSize)) != 0) fail("ftruncate");
        }
    }
}

// Bytes of the stream not yet read by the library.
size_t unread(int library_socket, int peer) {
    int queued = 0, unsent = 0;
    if (ioctl(library_socket, FIONREAD, &queued) != 0 || ioctl(peer, SIOCOUTQNSD, &unsent) != 0)
        fail("ioctl on the connection");
    return static_cast<size_t>(queued) + static_cast<size_t>(unsent);
}

// Takes what the library sent off the peer's side, so that its sends never wait.
void drain(int peer) {
    static uint8_t sink[1 << 16];
    while (recv(peer, sink, sizeof sink, MSG_DONTWAIT) > 0) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Before any thread exists: the private mount namespace.
    g_san = zev_common::unavailable_reason().empty() && setup_luns();
    fprintf(stderr, "fuzz_replies: %s\n",
            g_san ? "LAN and SAN (LUN files under a private /dev/disk/by-id)"
                  : "LAN only (SAN needs root for a private mount namespace)");
    if (CQuillonvardeSDK::InitialSDK(format_log, &g_levels, "", "", "") != 0) fail("InitialSDK");

    g_listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int big = 1 << 20;
    setsockopt(g_listen, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(g_listen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(g_listen, 4) != 0 ||
        getsockname(g_listen, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        fail("listening on 127.0.0.1");
    g_port = ntohs(addr.sin_port);

    void* m = mmap(nullptr, kBufferRoom + kPage, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED || mprotect(static_cast<uint8_t*>(m) + kBufferRoom, kPage, PROT_NONE) != 0)
        fail("guard page");
    g_region = static_cast<uint8_t*>(m);
    g_devnull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto byte = [&](size_t i) -> uint8_t { return i < size ? data[i] : 0; };
    const bool san = g_san && (byte(0) & 1) != 0;
    const OPENMODE open_mode = (byte(0) & 2) != 0 ? OPEN_READONLY : OPEN_READWRITE;
    const size_t calls = 1 + byte(1) % 8;
    const size_t script_end = 2 + 5 * calls;
    const uint8_t* stream = data + (size < script_end ? size : script_end);
    const size_t stream_size = size > script_end ? size - script_end : 0;

    const int fd_mark = dup(g_devnull);
    close(fd_mark);

    CQuillonvardeSDKImpl* impl =
        dynamic_cast<CQuillonvardeSDKImpl*>(CQuillonvardeSDK::CreateInstance());
    if (impl->ConnectHXA("127.0.0.1", g_port, "fuzz-token", 0) != 0) fail("ConnectHXA");
    const int peer = accept4(g_listen, nullptr, nullptr, SOCK_CLOEXEC);
    if (peer < 0) fail("accept");
    size_t sent = 0;
    while (sent < stream_size) {
        const ssize_t n = send(peer, stream + sent, stream_size - sent, MSG_NOSIGNAL);
        if (n <= 0) fail("sending the stream");
        sent += static_cast<size_t>(n);
    }
    shutdown(peer, SHUT_WR);

    const std::list<std::string> lun_names{g_luns[0].name, g_luns[1].name};
    unsigned int handle = 0;
    for (size_t c = 0; c < calls; ++c) {
        const size_t at = 2 + 5 * c;
        const unsigned kind = byte(at) % 5;
        const uint64_t length = 1 + (byte(at + 1) | byte(at + 2) << 8);
        const uint8_t cap = byte(at + 3);
        const uint64_t offset = static_cast<uint64_t>(byte(at + 4)) * 4096;
        // Capacity: the length plus up to 127 bytes, or up to 128 bytes less (at least 1).
        uint64_t capacity =
            cap < 128 ? length + cap : (length > cap - 127u ? length - (cap - 127u) : 1);
        if (capacity > kBufferRoom - kCanary) capacity = kBufferRoom - kCanary;
        uint8_t* buf = g_region + kBufferRoom - capacity;
        memset(buf - kCanary, 0xA5, kCanary);
        for (uint64_t i = 0; i < capacity; ++i) buf[i] = static_cast<uint8_t>(i ^ c);

        const size_t before = stream_size - unread(impl->m_iSocket, peer);
        int result = 0;
        switch (kind) {
            case 0:
                result = impl->OpenDisk(lun_names, "/vms/fuzz/disk0", open_mode, handle,
                                        san ? TRANS_SAN : TRANS_LAN);
                break;
            case 1: {
                unsigned long long size_io = capacity;
                result =
                    impl->ReadDisk(handle, offset, length, reinterpret_cast<char*>(buf), size_io);
                if (result == 0 && size_io > capacity)
                    fail("ReadDisk placed more than the buffer holds");
                break;
            }
            case 2:
            case 3: {
                long long length_io = static_cast<long long>(capacity);
                result = impl->WriteDisk(handle, offset, length,
                                         kind == 2 ? reinterpret_cast<const char*>(buf) : nullptr,
                                         length_io);
                break;
            }
            default:
                result = impl->CloseDisk(handle);
                break;
        }
        if (result != 0 && result != 1) fail("a call returned neither 0 nor 1");
        for (size_t i = 0; i < kCanary; ++i)
            if ((buf - kCanary)[i] != 0xA5) fail("the host's buffer was written before its start");
        const size_t after = stream_size - unread(impl->m_iSocket, peer);
        drain(peer);
        if (san && (kind == 1 || kind == 2)) {
            std::vector<Extent> allowed;
            if (kind == 2)
                allowed = window_extents(
                    stream, before > kLibraryReadAhead ? before - kLibraryReadAhead : 0, after);
            check_luns(allowed);
        }
    }

    // The service resets the connection: no side keeps it in TIME_WAIT, which would use up
    // the loopback ports at thousands of inputs a second.
    linger reset{1, 0};
    setsockopt(peer, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    close(peer);
    impl->CloseLocalLunDevFile();
    impl->DisConnectHXA();
    CQuillonvardeSDK::DestroyInstance(impl);
    if (g_san) check_luns({});

    const int fd_after = dup(g_devnull);
    close(fd_after);
    if (fd_after != fd_mark) fail("a descriptor was left open");
    return 0;
}
