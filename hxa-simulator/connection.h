// One connection's layers, stacked: the socket (with its TLS session), the faults of the
// stream that are switched on, the stream; the disk service with the I/O-error fault over
// it when that is switched on; the session on top.
#ifndef HXA_SIMULATOR_CONNECTION_H
#define HXA_SIMULATOR_CONNECTION_H

#include <openssl/ssl.h>

#include <cstdint>

#include "disk_service.h"
#include "faults.h"
#include "options.h"
#include "session.h"

namespace hxasim {

// What every connection shares.
struct ServiceContext {
    DiskService* service;
    bool strict_headers;
    const FaultSettings* faults;
    FaultSource* fault_source;
    DataTotals* totals;
};

// Serves the requests of connection `conn` on `fd` (through `ssl` when not null) until it
// ends. True when a fault cut the connection: it then ends under its TLS session, without
// the closing alert.
bool serve_requests(const ServiceContext& context, uint64_t conn, int fd, SSL* ssl);

}  // namespace hxasim

#endif  // HXA_SIMULATOR_CONNECTION_H
