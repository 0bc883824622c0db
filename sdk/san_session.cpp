// The SAN transport of a disk session: the service answers reads and writes with address
// maps, which are carried out on the session's local LUN devices.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <type_traits>

#include "disk_session.h"

using qvsdk::ExtentFailure;
using qvsdk::OpScope;
using qvsdk::say_extent;

namespace {

// =======================================================================================
// LUN I/O: the LUN devices of a SAN session and the address maps carried out on them.

constexpr uint64_t kMinPhyOffset = 0x200000;  // the first 2 MiB of a LUN are never touched
constexpr const char* kDevDir = "/dev/disk/by-id/";

// The buffer in which OpenLocalLunDevFile forms a LUN device path "/dev/disk/by-id/<name>"
// to open the device. The interface gives each function that forms such a path its own
// buffer, so the limits differ: isLunAttachedOnBackupNode tests the devices' existence
// through a 512-byte one, and a name between the two passes the attachment check and is then
// refused when the disk is opened. Neither cuts a path that does not fit, since a shortened
// path may name another device.
constexpr size_t kOpenLocalLunDevFilePathSize = 128;

// The first matching device of the list: its path ends in the 32 digits of `key`.
const HFILE* find_lun(const std::list<HFILE>& lunFileList, const std::string& key) {
    for (const HFILE& f : lunFileList) {
        if (f.devPath.size() >= key.size() &&
            f.devPath.compare(f.devPath.size() - key.size(), key.size(), key) == 0)
            return &f;
    }
    return nullptr;
}

// Positions `fd` at an extent's physical offset. Returns 0, or the errno of the failure; an
// offset the file offset type cannot hold fails with EINVAL before the descriptor is touched.
int seek_to_extent(int fd, uint64_t phyOffset) {
    if (phyOffset > static_cast<uint64_t>(LLONG_MAX)) return EINVAL;
    if (lseek(fd, static_cast<off_t>(phyOffset), SEEK_SET) == static_cast<off_t>(-1)) return errno;
    return 0;
}

// Carries out the extents of an address map, in record order, on consecutive stretches of a
// buffer of `capacity` bytes. An extent with storage is looked up on its LUN device by the 32
// hex digits of its identifier, checked (not below 2 MiB, not beyond the buffer), positioned
// and moved by `move(fd, at, n)`, one device call for up to n bytes at buffer offset `at`.
// Where `fill_hole(at, n)` is given, a record with physical offset 0 is a hole that it fills;
// pass nullptr to treat such a record as any other (then it fails the 2 MiB test). On
// success `total` holds the bytes carried out; a failure is reported in the words of WriteLun
// when `writing`, of ReadLun otherwise.
template <typename Move, typename Hole>
bool walk_extents(CQuillonvardeSDKImpl& self, const std::list<HFILE>& lunFileList,
                  const vhd_Rec* recs, unsigned int count, uint64_t capacity, Move move,
                  Hole fill_hole, bool writing, uint64_t& total) {
    auto fail = [writing](int line, ExtentFailure failure, int err = 0,
                          unsigned long long missing = 0) {
        say_extent(writing, failure, err, missing, line);
        return false;
    };
    total = 0;
    for (unsigned int i = 0; i < count; ++i) {
        const uint64_t phyOffset = recs[i].phyOffset;
        const uint64_t dataLen = recs[i].dataLen;
        if constexpr (!std::is_same<Hole, std::nullptr_t>::value) {
            if (phyOffset == 0) {
                // A hole: no storage behind the extent.
                if (dataLen > capacity - total) return fail(__LINE__, ExtentFailure::kTooMuchData);
                fill_hole(total, dataLen);
                total += dataLen;
                continue;
            }
        }
        const std::string key = self.String2Hex(recs[i].lunWwn, 32);
        const HFILE* dev = find_lun(lunFileList, key);
        if (dev == nullptr) return fail(__LINE__, ExtentFailure::kLunNotFound);
        if (phyOffset < kMinPhyOffset) return fail(__LINE__, ExtentFailure::kBelowMinOffset);
        // Compared without adding, so that a huge length cannot wrap around the capacity.
        if (dataLen > capacity - total) return fail(__LINE__, ExtentFailure::kTooMuchData);
        if (int err = seek_to_extent(dev->fd, phyOffset))
            return fail(__LINE__, ExtentFailure::kSeekFailed, err);
        for (uint64_t done = 0; done < dataLen;) {
            uint64_t want = dataLen - done;
            if (want > static_cast<uint64_t>(SSIZE_MAX)) want = SSIZE_MAX;
            ssize_t n = move(dev->fd, total + done, static_cast<size_t>(want));
            if (n < 0) return fail(__LINE__, ExtentFailure::kIoFailed, errno);
            // The device ended inside the extent: its bytes cannot be moved.
            if (n == 0) return fail(__LINE__, ExtentFailure::kDeviceEnded, 0, dataLen - done);
            done += static_cast<uint64_t>(n);
        }
        total += dataLen;
    }
    return true;
}

}  // namespace

int CQuillonvardeSDKImpl::OpenLocalLunDevFile(const std::list<std::string>& LunWWNList,
                                              std::list<HFILE>& lunFileList) {
    OpScope<int> scope("enter CQuillonvardeSDKImpl::OpenLocalLunDevFile:...",
                       "leave CQuillonvardeSDKImpl::OpenLocalLunDevFile: OK",
                       "leave CQuillonvardeSDKImpl::OpenLocalLunDevFile: NOK");
    if (LunWWNList.empty()) {
        LOG_ERROR("OpenLocalLunDevFile: LunWWNList is not valid!  (line %d)", __LINE__);
        return scope.nok();
    }
    for (const std::string& name : LunWWNList) {
        char path[kOpenLocalLunDevFilePathSize];
        std::memset(path, 0, sizeof path);
        int n = std::snprintf(path, sizeof path, "%s%s", kDevDir, name.c_str());
        if (n < 0 || static_cast<size_t>(n) >= sizeof path ||
            std::strlen(path) != name.size() + std::strlen(kDevDir)) {
            // A cut path could name another device (and SAN writes would land on it).
            LOG_ERROR(
                "OpenLocalLunDevFile: device path longer than %d characters refused: %s%s"
                "  (line %d)",
                static_cast<int>(kOpenLocalLunDevFilePathSize - 1), kDevDir, name.c_str(),
                __LINE__);
            return scope.nok();
        }
        int fd = open(path, static_cast<int>(m_uiOpenMode));
        if (fd == -1) {
            LOG_ERROR("OpenLocalLunDevFile: %s  (line %d)", std::strerror(errno), __LINE__);
            return scope.nok();
        }
        HFILE file;
        file.devPath = path;
        file.fd = fd;
        try {
            lunFileList.push_back(file);
        } catch (...) {
            close(fd);
            throw;
        }
    }
    return scope.ok();
}

void CQuillonvardeSDKImpl::CloseLocalLunDevFile() {
    OpScope<int> scope("enter CQuillonvardeSDKImpl::CloseLocalLunDevFile:...",
                       "leave CQuillonvardeSDKImpl::CloseLocalLunDevFile: OK", nullptr);
    for (const HFILE& f : m_lunFileList) {
        if (f.fd >= 0) close(f.fd);
    }
    m_lunFileList.clear();
    scope.ok();
}

std::string CQuillonvardeSDKImpl::String2Hex(const unsigned char* data, int) {
    OpScope<int> scope("enter CQuillonvardeSDKImpl::String2Hex:...",
                       "leave CQuillonvardeSDKImpl::String2Hex: OK", nullptr);
    char text[512];
    std::memset(text, 0, sizeof text);
    for (int i = 0; i < 16; ++i) {
        size_t used = std::strlen(text);
        std::snprintf(text + used, sizeof text - used, "%02x", data[i]);
    }
    LOG_INFO("String2Hex: dev = %s", text);
    scope.ok();
    return std::string(text);
}

int CQuillonvardeSDKImpl::ReadLun(std::list<HFILE>& lunFileList, const vhd_Rec* recs,
                                  unsigned int count, char* buf, unsigned long long& bufSize) {
    OpScope<int> scope("enter CQuillonvardeSDKImpl::ReadLun:...",
                       "leave CQuillonvardeSDKImpl::ReadLun: OK",
                       "leave CQuillonvardeSDKImpl::ReadLun: NOK");
    if (lunFileList.empty() || count == 0 || buf == nullptr || bufSize == 0 || recs == nullptr) {
        LOG_ERROR("ReadLun: invalid parameter!  (line %d)", __LINE__);
        return scope.nok();
    }
    auto read_piece = [buf](int fd, uint64_t at, size_t n) { return read(fd, buf + at, n); };
    // A hole has no storage behind it: it reads as zeros.
    auto zero_hole = [buf](uint64_t at, uint64_t n) {
        std::memset(buf + at, 0, static_cast<size_t>(n));
    };
    uint64_t total = 0;
    if (!walk_extents(*this, lunFileList, recs, count, bufSize, read_piece, zero_hole, false,
                      total))
        return scope.nok();
    bufSize = total;
    return scope.ok();
}

int CQuillonvardeSDKImpl::WriteLun(std::list<HFILE>& lunFileList, const vhd_Rec* recs,
                                   unsigned int count, const char* buf, long long& bufLength) {
    OpScope<int> scope("enter CQuillonvardeSDKImpl::WriteLun:...",
                       "leave CQuillonvardeSDKImpl::WriteLun: OK",
                       "leave CQuillonvardeSDKImpl::WriteLun: NOK");
    if (lunFileList.empty() || count == 0 || buf == nullptr || bufLength <= 0 || recs == nullptr) {
        LOG_ERROR("WriteLun: invalid parameter!  (line %d)", __LINE__);
        return scope.nok();
    }
    auto write_piece = [buf](int fd, uint64_t at, size_t n) { return write(fd, buf + at, n); };
    // A write map has no holes: every record needs a device and a valid offset.
    uint64_t total = 0;
    if (!walk_extents(*this, lunFileList, recs, count, static_cast<uint64_t>(bufLength),
                      write_piece, nullptr, true, total))
        return scope.nok();
    bufLength = static_cast<long long>(total);
    if (bufLength <= 0) {
        LOG_ERROR("WriteLun: fail! The data written is less than zero!  (line %d)", __LINE__);
        return scope.nok();
    }
    return scope.ok();
}

// =======================================================================================
// The session

namespace qvsdk {
namespace {

// Whether a transfer reply of `length` payload bytes holds the `count` map records it
// announces behind its result and count.
bool map_fits(uint32_t length, uint32_t count) {
    return static_cast<uint64_t>(length) >=
           sizeof(hxa::TransferReplyHead) + static_cast<uint64_t>(count) * sizeof(vhd_Rec);
}

const vhd_Rec* map_records(const Request& request) {
    return reinterpret_cast<const vhd_Rec*>(request.payload.get() + sizeof(hxa::TransferReplyHead));
}

class SanSession final : public DiskSession {
  public:
    bool fields_fit(const std::string& diskPath, const std::string& token) const override {
        return open_fields_fit(diskPath, token, sizeof(hxa::OpenSanRequest::diskPath) - 1);
    }
    bool open_devices(CQuillonvardeSDKImpl& self,
                      const std::list<std::string>& LunWWNList) const override {
        if (self.OpenLocalLunDevFile(LunWWNList, self.m_lunFileList) == 0) return true;
        LOG_ERROR("OpenDisk: open disk fail  (line %d)", __LINE__);
        return false;
    }
    uint16_t open_operation() const override { return hxa::OP_SAN_OPEN; }
    void build_open(Request& request, const std::string& diskPath, const std::string& token,
                    OPENMODE) const override {
        hxa::OpenSanRequest req{};
        put_string(req.diskPath, sizeof req.diskPath, diskPath);
        put_string(req.token, sizeof req.token, token);
        request.build(req);
    }

    void close_devices(CQuillonvardeSDKImpl& self) const override { self.CloseLocalLunDevFile(); }
    uint16_t close_operation() const override { return hxa::OP_SAN_CLOSE; }

    // A map request carries 64 bits of length.
    bool read_length_fits(unsigned long long) const override { return true; }
    int read(CQuillonvardeSDKImpl& self, OpScope<int>& scope, const Range& range, char* buf,
             unsigned long long& bufSize) const override;

    bool writes_without_data() const override { return false; }
    bool write_length_fits(unsigned long long) const override { return true; }
    int write(CQuillonvardeSDKImpl& self, OpScope<int>& scope, const Range& range, const char* buf,
              long long& bufLength) const override;
};

int SanSession::read(CQuillonvardeSDKImpl& self, OpScope<int>& scope, const Range& range, char* buf,
                     unsigned long long& bufSize) const {
    Request request(&self, kRead, hxa::OP_SAN_ADDR_MAP);
    request.build(hxa::SanMapRequest{range.diskHandle, range.offset, range.length});
    if (!request.exchange()) return scope.nok();

    hxa::TransferReplyHead reply;
    if (!read_reply_head(request, reply)) return scope.nok();
    if (reply.result != hxa::RES_OK || reply.count == 0) {
        // A zero result without data is named as an unknown code.
        say_result(kRead, reply.result, __LINE__);
        return scope.nok();
    }
    const uint32_t count = reply.count;
    if (!map_fits(request.reply.length, count)) {
        LOG_ERROR(
            "ReadDisk: address map of [%u] records does not fit the reply, msg "
            "length:%d!  (line %d)",
            count, static_cast<int>(request.reply.length), __LINE__);
        return scope.nok();
    }
    if (bufSize < range.length) {
        LOG_TRACE("the space of buf not enough,buf size[%d],VMLength [%d]",
                  static_cast<int>(bufSize), static_cast<int>(range.length));
        return scope.nok_at_error();
    }
    if (self.ReadLun(self.m_lunFileList, map_records(request), count, buf, bufSize) != 0)
        return scope.nok_at_error();
    return scope.ok();
}

int SanSession::write(CQuillonvardeSDKImpl& self, OpScope<int>& scope, const Range& range,
                      const char* buf, long long& bufLength) const {
    // The data goes to the devices, not to the service: the request travels alone.
    Request request(&self, kWrite, hxa::OP_SAN_ADDR_MAP);
    request.build(hxa::SanMapRequest{range.diskHandle, range.offset, range.length});
    if (!request.exchange()) return scope.nok();

    // The SAN transport reads the result and the count of the reply.
    hxa::TransferReplyHead reply;
    if (!write_reply_ok(request, sizeof(hxa::TransferReplyHead), reply)) return scope.nok();
    if (reply.count == 0) {
        LOG_ERROR("WriteDisk: address map holds no extent, nothing written!  (line %d)", __LINE__);
        return scope.nok();
    }
    if (!map_fits(request.reply.length, reply.count)) {
        LOG_ERROR(
            "WriteDisk: address map of [%u] records does not fit the reply, msg "
            "length:%d!  (line %d)",
            reply.count, static_cast<int>(request.reply.length), __LINE__);
        return scope.nok();
    }
    return scope.finish(
        self.WriteLun(self.m_lunFileList, map_records(request), reply.count, buf, bufLength));
}

const SanSession kSanSession{};

}  // namespace

const DiskSession& san_session() { return kSanSession; }

}  // namespace qvsdk
