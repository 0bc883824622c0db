// qv-disk info: what a disk is before it is read, written or diffed: its size, found by asking
// the service, the transport, and with TLS the fingerprint of the service's certificate.
#ifndef QV_DISK_INFO_H
#define QV_DISK_INFO_H

#include <string>

#include "retry.h"
#include "sdk_session.h"

namespace qvdisk {

struct InfoRequest {
    Endpoint where;
    std::string server;  // as given, for the report
    RetryPolicy retry;
    bool json = false;
};

// Prints the disk's facts on standard output; returns the exit status.
int run_info(const InfoRequest& request);

// A byte count in the largest binary unit it fills at least once: "64 MiB", "1.5 GiB",
// "512 bytes".
std::string human_size(uint64_t bytes);

}  // namespace qvdisk

#endif  // QV_DISK_INFO_H
