// The disks, LUNs, tokens and open handles of the HXA service simulator.
//
// Two kinds of disk exist:
//  - flat disks: one local image file, served in the LAN transport only;
//  - LUN-backed disks: a sparse disk whose storage is allocated in chunks on LUN files,
//    served in both transports. Chunks are placed round-robin over the disk's LUNs, each
//    LUN filling up from 2 MiB upwards, so that address maps hold extents on several LUNs
//    and never below 2 MiB. A LAN read of such a disk reads through the same layout, so
//    data written through address maps is what a LAN read returns, and vice versa.
//
// All state is in memory: the allocation of chunks does not survive a restart.
#ifndef HXA_SIMULATOR_DISK_STORE_H
#define HXA_SIMULATOR_DISK_STORE_H

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "disk_service.h"
#include "options.h"

namespace hxasim {

class DiskStore : public DiskService {
  public:
    DiskStore(uint64_t chunk_size, uint32_t max_extents);
    ~DiskStore();
    DiskStore(const DiskStore&) = delete;
    DiskStore& operator=(const DiskStore&) = delete;

    // Set-up, before any connection. False with a reason on bad configuration.
    void add_token(const TokenSpec& token);
    bool add_lun(const LunSpec& def, std::string& error);
    bool add_flat_disk(const FlatDiskSpec& def, std::string& error);
    bool add_lun_disk(const LunDiskSpec& def, std::string& error);

    // Requests. Each returns a protocol result code and, when not 0, the reason in `why`.
    // Handles belong to the connection `conn` that opened them.
    uint16_t open(uint64_t conn, Transport transport, const std::string& path,
                  const std::string& token, uint16_t open_mode, uint32_t& handle,
                  std::string& why) override;
    uint16_t close(uint64_t conn, Transport transport, uint32_t handle, std::string& why) override;
    // Closes every handle of a connection; returns how many.
    size_t close_all(uint64_t conn);

    // Checks a transfer on `handle` and resolves the range into extents, allocating
    // storage first where the kind requires it.
    uint16_t prepare(uint64_t conn, Transport transport, TransferKind kind, uint32_t handle,
                     uint64_t offset, uint64_t length, std::vector<Extent>& extents,
                     std::string& why);
    TransferPlan plan(uint64_t conn, Transport transport, TransferKind kind, uint32_t handle,
                      uint64_t offset, uint64_t length) override;

    bool may_write(uint64_t conn, uint32_t handle) override;
    const unsigned char* lun_wwn(int lun) const override {
        return luns_[static_cast<size_t>(lun)].wwn;
    }

    uint64_t chunk_size() const { return chunk_size_; }

    // One line per disk and LUN, for the start-up log.
    std::vector<std::string> describe() const;

  private:
    struct Lun {
        std::string wwn_hex;
        unsigned char wwn[16];
        std::string file;
        int fd = -1;
        uint64_t capacity = 0;
        uint64_t next_free = 0;     // bump allocator, starts at 2 MiB
        uint64_t dev = 0, ino = 0;  // identity of the storage, to refuse it twice
    };
    struct ChunkLoc {
        int32_t lun = -1;  // -1: not allocated
        uint64_t phy = 0;
    };
    struct Disk {
        std::string path;
        bool flat = false;
        std::string image;             // flat
        uint64_t size = 0;             // LUN-backed; flat disks take the image size at open
        std::vector<int> luns;         // LUN-backed
        size_t next_lun = 0;           // round-robin cursor
        std::vector<ChunkLoc> chunks;  // LUN-backed
    };
    struct Handle {
        uint64_t conn;
        Transport transport;
        size_t disk;
        bool readable;
        bool writable;
        int fd;  // flat disks: the image opened for this handle
        uint64_t size;
    };

    bool allocate_chunk(Disk& disk, size_t chunk, std::string& why);
    uint16_t check_request(const Handle& h, Transport transport, TransferKind kind, uint64_t offset,
                           uint64_t length, std::string& why) const;
    void map_chunks(const Disk& disk, uint64_t offset, uint64_t end,
                    std::vector<Extent>& extents) const;

    const uint64_t chunk_size_;
    const uint32_t max_extents_;
    std::mutex mutex_;
    std::map<std::string, bool> tokens_;  // token -> writable
    std::vector<Lun> luns_;
    std::vector<Disk> disks_;
    std::map<std::string, size_t> disk_by_path_;
    std::map<uint32_t, Handle> handles_;
    uint32_t next_handle_ = 1;
};

}  // namespace hxasim

#endif  // HXA_SIMULATOR_DISK_STORE_H
