// What makes a transfer a read or a write, settled once when the transfer starts: how its
// range is measured, which local file it uses and how, which end the copy loop reads from and
// which it writes to, and how a stopped transfer is described. The transfer itself
// (transfer.cpp) is the same sequence for both.
#ifndef QV_DISK_DIRECTION_H
#define QV_DISK_DIRECTION_H

#include <cstdint>
#include <memory>
#include <string>

#include "changed_only_end.h"
#include "disk_end.h"
#include "journal.h"
#include "local_end.h"
#include "transfer.h"

namespace qvdisk {

class Direction {
  public:
    virtual ~Direction() = default;

    // Settles the range's length from the options (and, for a write, its input). False after
    // saying why.
    virtual bool measure(uint64_t& length) = 0;
    // The journal's direction and its record of the input.
    virtual void bind(JournalBinding& b) const = 0;
    // The file the partial output and its journal are named after; "" when there is none.
    virtual std::string beside() const = 0;
    // The option that names the local file, for messages.
    virtual const char* local_option() const = 0;
    // What one run at a time is kept to ("" for nothing), and its name in messages.
    virtual std::string lock_key() const = 0;
    virtual std::string lock_target() const = 0;
    // Whether there is something to resume; false after saying that the transfer starts from
    // the beginning. Sets what the journal may claim.
    virtual bool resumable(JournalBinding& b) const = 0;
    virtual OPENMODE disk_mode() const = 0;
    // Checks of the disk beyond the range. False after saying why.
    virtual bool check_disk() const = 0;
    // Opens the local file for the copy, keeping a partial one when resuming. False after
    // saying why.
    virtual bool open_local(bool resuming) = 0;
    virtual LocalEnd& local() = 0;
    virtual End& source(DiskEnd& disk) = 0;
    virtual End& sink(DiskEnd& disk) = 0;
    // Ends the local file: whether the transfer is still complete afterwards.
    virtual bool finish(bool complete, uint64_t length) = 0;
    // Removes what the transfer made when nothing of it is worth keeping.
    virtual void discard() = 0;
    // Says what is left of a transfer that stopped after `done` of `length` bytes, and whether
    // it can be resumed (its journal is kept).
    virtual bool leave(uint64_t done, uint64_t length) = 0;
    // The summary's words: "read ... of DISK ... into FILE", "wrote ... to DISK ... from FILE".
    virtual const char* verb() const = 0;
    virtual const char* disk_word() const = 0;
    virtual const char* local_word() const = 0;
    // Whether the range is the whole disk (known once measured; a write cannot tell).
    virtual bool whole_disk() const { return true; }
    // Whether the transfer keeps a journal: not for standard output, which is written once.
    virtual bool journaled() const { return true; }
    // What a write that sends only differing blocks compared and wrote; null otherwise.
    virtual const BlockCounts* counts() const { return nullptr; }
};

std::unique_ptr<Direction> make_read(const Transfer& t);
std::unique_ptr<Direction> make_write(const Transfer& t);

// The journal's line for the transport, and the service as the journal names it.
std::string transport_name(const Endpoint& where);

}  // namespace qvdisk

#endif  // QV_DISK_DIRECTION_H
