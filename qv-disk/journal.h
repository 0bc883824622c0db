// The journal of a transfer: which requests of the range are on stable storage at their
// destination, so that an interrupted transfer continues where it stopped (--resume). A text
// file: a header that binds it to one transfer, then one "done BEGIN END" line per finished
// stretch of the disk, appended after the data it describes has been flushed. The format and
// its reasons are in docs/qv-disk-journal.md.
#ifndef QV_DISK_JOURNAL_H
#define QV_DISK_JOURNAL_H

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "copy_ends.h"

namespace qvdisk {

// What a journal describes; a resume must name the same.
struct JournalBinding {
    std::string direction;  // "read" or "write"
    std::string disk;
    uint64_t offset = 0;
    uint64_t length = 0;
    uint64_t request_size = 0;
    std::string local;      // absolute path of the local file
    std::string server;     // the service as the command line named it
    std::string transport;  // "LAN", "LAN+TLS" or "SAN" (with "+TLS")
    // A write's input as it was: size, modification time, device and inode; "-" for a read.
    std::string input = "-";
    // Resume only: how many bytes of the range the partial output of a read holds; a journal
    // that claims more is refused.
    uint64_t local_holds = UINT64_MAX;
};

class Journal {
  public:
    // A new journal at `path` (replacing any, never writing through it), or nullptr with
    // `error`.
    static std::unique_ptr<Journal> create(const std::string& path, const JournalBinding& b,
                                           std::string& error);
    // The journal at `path` for a resume. nullptr with `error` when it cannot be read or
    // describes another transfer (the error names the difference), with `missing` set when
    // there is no journal at all. `done[i]` tells whether request i is finished.
    static std::unique_ptr<Journal> resume(const std::string& path, const JournalBinding& b,
                                           std::vector<bool>& done, bool& missing,
                                           std::string& error);
    ~Journal();

    // Request [pos, pos + n) of the range (positions from its start) is at its destination.
    // Every few MiB, `destination` is flushed and the finished requests are written down.
    bool completed(uint64_t pos, uint64_t n, End& destination, Failure& f);
    // Flushes the destination and writes down everything finished so far.
    bool flush(End& destination, Failure& f);
    // The transfer is complete: the journal is no longer needed.
    void remove();
    const std::string& path() const { return path_; }

  private:
    Journal(std::string path, JournalBinding b, int fd) : path_(std::move(path)), b_(b), fd_(fd) {}
    bool append(const std::string& text, Failure& f);
    bool compact(Failure& f);

    std::string path_;
    JournalBinding b_;
    int fd_;
    std::mutex pending_lock_;
    std::vector<std::pair<uint64_t, uint64_t>> pending_;  // disk offsets [begin, end)
    uint64_t pending_bytes_ = 0;
    std::mutex write_lock_;                 // one flush at a time; guards what follows
    std::map<uint64_t, uint64_t> written_;  // merged ranges already in the file
    size_t lines_ = 0;                      // "done" lines in the file
};

// The text of a journal of the transfer `b`: its header, then one line per stretch of `done`
// (disk offsets [begin, end)).
std::string journal_text(const JournalBinding& b, const std::map<uint64_t, uint64_t>& done);

// Reads the text of a journal (from `path`, for messages) against the transfer it must
// describe, merging its finished stretches into `done`. False with `error` when it is not a
// journal, describes another transfer, or claims more than a read's partial output holds; a
// line cut short by a kill, and anything after it, is left out.
bool parse_journal(const std::string& text, const std::string& path, const JournalBinding& b,
                   std::map<uint64_t, uint64_t>& done, std::string& error);

// The name of a journal in the state folder, for a write or an output that is a device:
// the state folder (own_files.h), named after the direction, the disk and the local file. ""
// with `error` when there is none.
std::string state_journal_path(const JournalBinding& b, std::string& error);

}  // namespace qvdisk

#endif  // QV_DISK_JOURNAL_H
