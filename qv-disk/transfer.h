// One read or write of a disk range: the local file and the disk as the two ends of the copy
// loop, with the journal that lets an interrupted transfer resume.
#ifndef QV_DISK_TRANSFER_H
#define QV_DISK_TRANSFER_H

#include <cstdint>
#include <optional>
#include <string>

#include "progress.h"
#include "retry.h"
#include "sdk_session.h"

namespace qvdisk {

struct Transfer {
    bool reading = true;  // disk -> local file; otherwise local file -> disk
    Endpoint where;
    std::string server;  // the service as the command line named it, for the journal
    std::string local;   // the output file (read, diff) or the input file (write)
    // Read, diff: the data goes to standard output (local is "-"): in order, with no journal.
    bool standard_output = false;
    uint64_t disk_size = 0;  // read only: the size of the disk
    uint64_t offset = 0;     // where the range starts on the disk
    // Bytes of the range; by default the rest of the disk (read) or the whole input (write).
    std::optional<uint64_t> length;
    uint64_t request_size = 4u << 20;
    unsigned connections = 1;
    bool sparse = false;  // read only: zero blocks become holes in the output file
    bool sha256 = false;
    RetryPolicy retry;
    bool resume = false;
    std::string journal;  // where the journal is; "" for the default place
    double rate = 0;      // bytes per second; 0: no cap
    ProgressMode progress = ProgressMode::kAuto;
    // Block manifests: the manifest to write of what was read (read, diff), with its block
    // size (read; a diff takes the base manifest's), and the base manifest a diff compares
    // the disk against.
    std::string manifest;
    uint64_t block_size = 65536;
    std::string base_manifest;
    bool request_size_given = false;  // --request-size was on the command line
    // Write only: compare the disk with the input block by block (block_size) and write only
    // the blocks that differ.
    bool only_changed = false;
};

// Makes the request size a whole number of blocks: the default becomes the most whole
// blocks that fit in it (at least one); a size given on the command line that is not a whole
// number of blocks is refused. False with `error` set.
bool whole_block_requests(Transfer& t, uint64_t block_size, std::string& error);

// Carries out the transfer and returns the exit status: 0 done, 1 failed, refused or
// interrupted (SIGINT, SIGTERM). A read into a regular file writes "<output>.incomplete" and
// renames it to the output only when every byte has been written and flushed to stable
// storage; an output that is a device or a pipe is written in place.
int run_transfer(const Transfer& t);

}  // namespace qvdisk

#endif  // QV_DISK_TRANSFER_H
