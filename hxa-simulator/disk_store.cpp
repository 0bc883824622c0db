#include "disk_store.h"

#include <fcntl.h>
#include <linux/falloc.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "hxa_protocol.h"

namespace hxasim {
namespace {

constexpr uint64_t kLunFloor = 0x200000;        // no storage below 2 MiB on any LUN
constexpr size_t kMaxChunksPerDisk = 1u << 22;  // bounds the allocation table of a disk
constexpr size_t kMaxHandlesPerConnection = 256;

std::string errno_text() { return std::strerror(errno); }

// Size of a regular file or block device; false when it is neither or cannot be asked.
bool device_size(int fd, uint64_t& size) {
    struct stat st;
    if (fstat(fd, &st) != 0) return false;
    if (S_ISREG(st.st_mode)) {
        size = static_cast<uint64_t>(st.st_size);
        return true;
    }
    if (S_ISBLK(st.st_mode)) return ioctl(fd, BLKGETSIZE64, &size) == 0;
    errno = EINVAL;
    return false;
}

}  // namespace

bool zero_range(int fd, uint64_t pos, uint64_t len) {
    if (len == 0) return true;
    if (fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(pos),
                  static_cast<off_t>(len)) == 0)
        return true;
    static const char zeros[65536] = {};
    while (len > 0) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(len, sizeof zeros));
        ssize_t w = pwrite(fd, zeros, n, static_cast<off_t>(pos));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            if (w == 0) errno = EIO;
            return false;
        }
        pos += static_cast<uint64_t>(w);
        len -= static_cast<uint64_t>(w);
    }
    return true;
}

DiskStore::DiskStore(uint64_t chunk_size, uint32_t max_extents)
    : chunk_size_(chunk_size), max_extents_(max_extents) {}

DiskStore::~DiskStore() {
    for (auto& h : handles_)
        if (h.second.fd >= 0) ::close(h.second.fd);
    for (auto& l : luns_)
        if (l.fd >= 0) ::close(l.fd);
}

void DiskStore::add_token(const TokenSpec& token) {
    auto it = tokens_.find(token.token);
    // A token given both ways keeps write access.
    if (it == tokens_.end() || token.writable) tokens_[token.token] = token.writable;
}

bool DiskStore::add_lun(const LunSpec& def, std::string& error) {
    for (const auto& l : luns_)
        if (l.wwn_hex == def.wwn_hex) {
            error = "LUN " + def.wwn_hex + " given twice";
            return false;
        }
    Lun lun;
    lun.wwn_hex = def.wwn_hex;
    for (int i = 0; i < 16; ++i)
        lun.wwn[i] =
            static_cast<unsigned char>(std::stoi(def.wwn_hex.substr(2 * i, 2), nullptr, 16));
    lun.file = def.file;
    int flags = O_RDWR | O_CLOEXEC | (def.create_size ? O_CREAT : 0);
    lun.fd = ::open(def.file.c_str(), flags, 0644);
    if (lun.fd < 0) {
        error = "LUN file " + def.file + ": " + errno_text();
        return false;
    }
    uint64_t size = 0;
    if (!device_size(lun.fd, size)) {
        error = "LUN file " + def.file + ": not a regular file or block device";
        ::close(lun.fd);
        return false;
    }
    if (def.create_size > size) {
        if (ftruncate(lun.fd, static_cast<off_t>(def.create_size)) != 0) {
            error = "LUN file " + def.file + ": cannot extend: " + errno_text();
            ::close(lun.fd);
            return false;
        }
        size = def.create_size;
    }
    if (size < kLunFloor + chunk_size_) {
        error = "LUN file " + def.file + " holds no chunk above 2 MiB (size " +
                std::to_string(size) + ")";
        ::close(lun.fd);
        return false;
    }
    // Two LUNs on the same storage would hand out the same blocks twice.
    struct stat st;
    if (fstat(lun.fd, &st) == 0) {
        lun.dev = S_ISBLK(st.st_mode) ? st.st_rdev : st.st_dev;
        lun.ino = S_ISBLK(st.st_mode) ? 0 : st.st_ino;
        for (const auto& other : luns_)
            if (other.dev == lun.dev && other.ino == lun.ino) {
                error =
                    "LUN file " + def.file + " is the storage of LUN " + other.wwn_hex + " already";
                ::close(lun.fd);
                return false;
            }
    }
    lun.capacity = size;
    lun.next_free = kLunFloor;
    luns_.push_back(lun);
    return true;
}

namespace {

// Creates the flat image `image`, or extends a smaller one, sparse to `size` bytes; a larger
// one, or a block device, keeps its size. False with the reason in `error`.
bool create_image(const std::string& image, uint64_t size, std::string& error) {
    const int fd = ::open(image.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    uint64_t now = 0;
    if (fd < 0) {
        error = "disk image " + image + ": " + errno_text();
        return false;
    }
    bool ok = device_size(fd, now);
    if (!ok) error = "disk image " + image + ": not a regular file or block device";
    if (ok && now < size && ftruncate(fd, static_cast<off_t>(size)) != 0) {
        error = "disk image " + image + ": cannot extend to " + std::to_string(size) +
                " bytes: " + errno_text();
        ok = false;
    }
    ::close(fd);
    return ok;
}

}  // namespace

bool DiskStore::add_flat_disk(const FlatDiskSpec& def, std::string& error) {
    if (disk_by_path_.count(def.path)) {
        error = "disk path " + def.path + " given twice";
        return false;
    }
    if (def.create_size != 0 && !create_image(def.image, def.create_size, error)) return false;
    Disk d;
    d.path = def.path;
    d.flat = true;
    d.image = def.image;
    disk_by_path_[d.path] = disks_.size();
    disks_.push_back(d);
    return true;
}

bool DiskStore::add_lun_disk(const LunDiskSpec& def, std::string& error) {
    if (disk_by_path_.count(def.path)) {
        error = "disk path " + def.path + " given twice";
        return false;
    }
    Disk d;
    d.path = def.path;
    d.size = def.size;
    for (const auto& w : def.wwns) {
        auto it =
            std::find_if(luns_.begin(), luns_.end(), [&](const Lun& l) { return l.wwn_hex == w; });
        if (it == luns_.end()) {
            error = "disk " + def.path + ": LUN " + w + " is not declared with --lun";
            return false;
        }
        d.luns.push_back(static_cast<int>(it - luns_.begin()));
    }
    uint64_t chunks = (def.size + chunk_size_ - 1) / chunk_size_;
    if (chunks > kMaxChunksPerDisk) {
        error = "disk " + def.path + " has more than " + std::to_string(kMaxChunksPerDisk) +
                " chunks; use a larger --chunk-size";
        return false;
    }
    d.chunks.resize(static_cast<size_t>(chunks));
    disk_by_path_[d.path] = disks_.size();
    disks_.push_back(d);
    return true;
}

std::vector<std::string> DiskStore::describe() const {
    std::vector<std::string> out;
    for (const auto& l : luns_)
        out.push_back("LUN " + l.wwn_hex + " in " + l.file + ", " + std::to_string(l.capacity) +
                      " bytes");
    for (const auto& d : disks_) {
        if (d.flat) {
            out.push_back("disk " + d.path + ": flat image " + d.image + " (LAN only)");
        } else {
            std::string s = "disk " + d.path + ": " + std::to_string(d.size) + " bytes on LUNs";
            for (int l : d.luns) s += " " + luns_[static_cast<size_t>(l)].wwn_hex;
            out.push_back(s);
        }
    }
    return out;
}

uint16_t DiskStore::open(uint64_t conn, Transport transport, const std::string& path,
                         const std::string& token, uint16_t open_mode, uint32_t& handle,
                         std::string& why) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto tok = tokens_.find(token);
    if (tok == tokens_.end()) {
        why = "token not accepted";
        return hxa::RES_TOKEN_ERROR;
    }
    auto it = disk_by_path_.find(path);
    if (it == disk_by_path_.end()) {
        why = "no disk at this path";
        return hxa::RES_FILE_NOT_EXIST;
    }
    Disk& disk = disks_[it->second];
    Handle h{conn, transport, it->second, true, tok->second, -1, disk.size};
    if (transport == Transport::kLan) {
        int access = open_mode & O_ACCMODE;
        if (access == 3) {
            why = "open mode " + std::to_string(open_mode) + " has no valid access mode";
            return hxa::RES_OPEN_ERROR;
        }
        h.readable = access != O_WRONLY;
        bool wants_write = access != O_RDONLY;
        if (wants_write && !tok->second) {
            why = "read-only token cannot open for writing";
            return hxa::RES_TOKEN_ERROR;
        }
        h.writable = wants_write;
    } else if (disk.flat) {
        why = "flat image has no LUN layout; the SAN transport needs a LUN-backed disk";
        return hxa::RES_OPEN_ERROR;
    }
    size_t mine = 0;
    for (const auto& e : handles_)
        if (e.second.conn == conn) ++mine;
    if (mine >= kMaxHandlesPerConnection) {
        why = "too many open disks on this connection";
        return hxa::RES_OPEN_ERROR;
    }
    if (disk.flat) {
        int flags = h.readable && h.writable ? O_RDWR : (h.writable ? O_WRONLY : O_RDONLY);
        h.fd = ::open(disk.image.c_str(), flags | O_CLOEXEC);
        if (h.fd < 0) {
            int err = errno;
            why = "image " + disk.image + ": " + std::strerror(err);
            return err == ENOENT ? hxa::RES_FILE_NOT_EXIST : hxa::RES_OPEN_ERROR;
        }
        if (!device_size(h.fd, h.size)) {
            why = "image " + disk.image + ": cannot tell its size";
            ::close(h.fd);
            return hxa::RES_OPEN_ERROR;
        }
    }
    while (next_handle_ == 0 || handles_.count(next_handle_)) ++next_handle_;
    handle = next_handle_++;
    handles_[handle] = h;
    return hxa::RES_OK;
}

uint16_t DiskStore::close(uint64_t conn, Transport transport, uint32_t handle, std::string& why) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = handles_.find(handle);
    if (it == handles_.end() || it->second.conn != conn) {
        why = "handle " + std::to_string(handle) + " is not open on this connection";
        return hxa::RES_HANDLE_NOT_EXIST;
    }
    if (it->second.transport != transport) {
        why = "handle was opened in the other transport";
        return hxa::RES_OPCODE_ERROR;
    }
    if (it->second.fd >= 0) ::close(it->second.fd);
    handles_.erase(it);
    return hxa::RES_OK;
}

size_t DiskStore::close_all(uint64_t conn) {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = 0;
    for (auto it = handles_.begin(); it != handles_.end();) {
        if (it->second.conn == conn) {
            if (it->second.fd >= 0) ::close(it->second.fd);
            it = handles_.erase(it);
            ++n;
        } else {
            ++it;
        }
    }
    return n;
}

bool DiskStore::allocate_chunk(Disk& disk, size_t chunk, std::string& why) {
    for (size_t tries = 0; tries < disk.luns.size(); ++tries) {
        size_t slot = (disk.next_lun + tries) % disk.luns.size();
        Lun& lun = luns_[static_cast<size_t>(disk.luns[slot])];
        if (lun.capacity - lun.next_free < chunk_size_) continue;
        uint64_t phy = lun.next_free;
        // New storage reads as zeros, as the unallocated range did before.
        if (!zero_range(lun.fd, phy, chunk_size_)) {
            why = "clearing new storage on LUN " + lun.wwn_hex + ": " + errno_text();
            return false;
        }
        lun.next_free += chunk_size_;
        disk.chunks[chunk].lun = disk.luns[slot];
        disk.chunks[chunk].phy = phy;
        disk.next_lun = (slot + 1) % disk.luns.size();
        return true;
    }
    why = "no free space left on the LUNs of disk " + disk.path;
    return false;
}

bool DiskStore::may_write(uint64_t conn, uint32_t handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = handles_.find(handle);
    return it != handles_.end() && it->second.conn == conn && it->second.writable;
}

// The checks of a transfer on an open handle: its transport, its access and the range.
uint16_t DiskStore::check_request(const Handle& h, Transport transport, TransferKind kind,
                                  uint64_t offset, uint64_t length, std::string& why) const {
    if (h.transport != transport) {
        why = "handle was opened in the other transport";
        return hxa::RES_OPCODE_ERROR;
    }
    if (kind == TransferKind::kRead && !h.readable) {
        why = "handle is not open for reading";
        return hxa::RES_OPEN_ERROR;
    }
    if ((kind == TransferKind::kWrite || kind == TransferKind::kZero) && !h.writable) {
        why = "handle is not open for writing";
        return hxa::RES_OPEN_ERROR;
    }
    if (length == 0) {
        why = "length 0";
        return hxa::RES_DATA_SIZE_OVERFLOW;
    }
    if (offset >= h.size) {
        why = "offset " + std::to_string(offset) + " at or beyond the disk size " +
              std::to_string(h.size);
        return hxa::RES_START_BLOCK_OVERFLOW;
    }
    if (length > h.size - offset) {
        why = "range end " + std::to_string(offset) + "+" + std::to_string(length) +
              " beyond the disk size " + std::to_string(h.size);
        return hxa::RES_END_BLOCK_OVERFLOW;
    }
    return hxa::RES_OK;
}

// The extents of [offset, end) on a disk on LUNs: one per run of contiguous chunks on one
// LUN, and one per run of unallocated chunks (a hole).
void DiskStore::map_chunks(const Disk& disk, uint64_t offset, uint64_t end,
                           std::vector<Extent>& extents) const {
    const size_t first = static_cast<size_t>(offset / chunk_size_);
    const size_t last = static_cast<size_t>((end - 1) / chunk_size_);
    for (size_t c = first; c <= last; ++c) {
        uint64_t chunk_start = static_cast<uint64_t>(c) * chunk_size_;
        uint64_t from = std::max(offset, chunk_start);
        uint64_t to = std::min(end, chunk_start + chunk_size_);
        const ChunkLoc& loc = disk.chunks[c];
        Extent e;
        e.len = to - from;
        if (loc.lun >= 0) {
            e.lun = loc.lun;
            e.fd = luns_[static_cast<size_t>(loc.lun)].fd;
            e.pos = loc.phy + (from - chunk_start);
        }
        if (!extents.empty()) {
            Extent& prev = extents.back();
            bool both_holes = prev.lun < 0 && e.lun < 0;
            bool contiguous = prev.lun >= 0 && prev.lun == e.lun && prev.pos + prev.len == e.pos;
            if (both_holes || contiguous) {
                prev.len += e.len;
                continue;
            }
        }
        extents.push_back(e);
    }
}

uint16_t DiskStore::prepare(uint64_t conn, Transport transport, TransferKind kind, uint32_t handle,
                            uint64_t offset, uint64_t length, std::vector<Extent>& extents,
                            std::string& why) {
    extents.clear();
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = handles_.find(handle);
    if (it == handles_.end() || it->second.conn != conn) {
        why = "handle " + std::to_string(handle) + " is not open on this connection";
        return hxa::RES_HANDLE_NOT_EXIST;
    }
    const Handle& h = it->second;
    const uint16_t refused = check_request(h, transport, kind, offset, length, why);
    if (refused != hxa::RES_OK) return refused;
    Disk& disk = disks_[h.disk];
    if (disk.flat) {
        if (kind == TransferKind::kMap) {
            why = "flat image has no address map";
            return hxa::RES_STRUCT_ERROR;
        }
        extents.push_back({h.fd, -1, offset, length});
        return hxa::RES_OK;
    }
    const uint64_t end = offset + length;
    const size_t first = static_cast<size_t>(offset / chunk_size_);
    const size_t last = static_cast<size_t>((end - 1) / chunk_size_);
    if (kind == TransferKind::kMap && last - first + 1 > max_extents_) {
        why = "range spans " + std::to_string(last - first + 1) + " chunks, more than " +
              std::to_string(max_extents_) + " extents";
        return hxa::RES_DATA_SIZE_OVERFLOW;
    }
    bool allocate = kind == TransferKind::kWrite || (kind == TransferKind::kMap && h.writable);
    if (allocate) {
        for (size_t c = first; c <= last; ++c)
            if (disk.chunks[c].lun < 0 && !allocate_chunk(disk, c, why))
                return hxa::RES_WRITE_FAILED;
    }
    map_chunks(disk, offset, end, extents);
    return hxa::RES_OK;
}

TransferPlan DiskStore::plan(uint64_t conn, Transport transport, TransferKind kind, uint32_t handle,
                             uint64_t offset, uint64_t length) {
    TransferPlan p;
    p.result = prepare(conn, transport, kind, handle, offset, length, p.extents, p.why);
    return p;
}

}  // namespace hxasim
