#include "connection.h"

#include <memory>
#include <vector>

#include "fault_filters.h"
#include "link.h"
#include "stream.h"

namespace hxasim {

bool serve_requests(const ServiceContext& context, uint64_t conn, int fd, SSL* ssl) {
    const FaultSettings& settings = *context.faults;
    ConnectionFaults faults(settings, *context.fault_source, conn);
    SocketLink socket(fd, ssl);
    // Innermost first: a drop counts the bytes on the socket; a stall and a delay wait on
    // it; the stream reads and writes through the outermost layer.
    std::vector<std::unique_ptr<Link>> filters;
    Link* top = &socket;
    auto stack = [&](std::unique_ptr<Link> filter) {
        top = filter.get();
        filters.push_back(std::move(filter));
    };
    if (faults.drop_limit() != 0) stack(std::make_unique<DropFilter>(*top, faults));
    if (settings.stall_after) stack(std::make_unique<StallFilter>(*top, faults));
    if (settings.reply_delay_ms > 0)
        stack(std::make_unique<DelayFilter>(*top, settings.reply_delay_ms));
    Stream stream(*top);

    IoErrorService io_errors(*context.service, faults);
    DiskService& service =
        settings.io_error_rate > 0 ? static_cast<DiskService&>(io_errors) : *context.service;
    Session session(service, stream, conn, context.strict_headers, *context.totals);
    session.run();
    return socket.was_cut();
}

}  // namespace hxasim
