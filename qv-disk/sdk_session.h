// The library as qv-disk drives it: its log hooks, and one disk session (one library object,
// one connection, one open disk) that ends itself in the library's order on every path.
#ifndef QV_DISK_SDK_SESSION_H
#define QV_DISK_SDK_SESSION_H

#include <cstdint>
#include <list>
#include <string>

#include "Quillonvarde_sdk.h"

namespace qvdisk {

// How much of the library's log is shown as it comes. Quiet shows nothing live: the last
// error message of the library is shown with the operation that failed.
enum Verbosity { kQuiet = 0, kInfo = 1, kAll = 2 };

// Installs the log function and the level object; false when the library refuses them.
bool start_library(int verbosity);

// Where a disk lives and how to reach it.
struct Endpoint {
    std::string address;  // IPv4 address of the HXA service
    unsigned short port = 0;
    std::string token;
    bool tls = false;
    TRANSMODE transport = TRANS_LAN;
    std::list<std::string> luns;  // device names under /dev/disk/by-id (SAN)
    std::string disk;             // the disk's path as the service knows it
    // SHA-256 fingerprints of the service certificates accepted (TLS); empty: any.
    std::list<std::string> pins;
};

class Session {
  public:
    Session();
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Connects and opens the disk. False on failure, with failure() set.
    bool open(const Endpoint& where, OPENMODE mode);
    // Moves exactly `length` bytes between the disk at `offset` and `buf`.
    bool read(uint64_t offset, uint64_t length, char* buf);
    bool write(uint64_t offset, uint64_t length, const char* buf);
    // Closes the disk and the connection (also done by the destructor). False when closing
    // the disk failed.
    bool end();
    // Gives up a session whose connection failed without waiting for the service: the
    // connection is closed first, so that the library's CloseDisk releases the LUN devices
    // at once instead of waiting for a reply that will not come.
    void abandon();

    // The SHA-256 fingerprint of the service's certificate on the open TLS connection, as
    // --tls-fingerprint takes it. False with failure() set.
    bool certificate_fingerprint(std::string& text);

    // "<operation> failed: <the library's last error message>".
    const std::string& failure() const { return failure_; }
    // Whether the last failure may pass when the call is tried again on a new connection.
    bool failure_may_pass() const { return may_pass_; }

  private:
    bool fail(const std::string& operation);

    CQuillonvardeSDK* sdk_;
    bool connected_ = false;
    bool disk_open_ = false;
    unsigned int handle_ = 0;
    TRANSMODE transport_ = TRANS_LAN;
    std::string failure_;
    bool may_pass_ = false;
};

// Whether a failure the library reported with `error` (its last error line) may pass on a
// new connection. The library tells the cause only in its log: the texts of the service's
// refusals (a token, a disk, a range, an open mode) and of a missing LUN device never pass;
// everything else (connections lost, cut or timed out, replies that could not be read, I/O
// failures of the service or of a LUN device) may.
bool may_pass(const std::string& error);

// Rescans the SCSI buses and checks that every named LUN is present; false with `failure`.
bool verify_luns(const std::list<std::string>& names, std::string& failure);

}  // namespace qvdisk

#endif  // QV_DISK_SDK_SESSION_H
