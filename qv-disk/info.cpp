#include "info.h"

#include <cstdio>

#include "direction.h"
#include "disk_end.h"
#include "progress.h"

namespace qvdisk {

std::string human_size(uint64_t bytes) {
    static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    if (bytes < 1024) return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
    int unit = 0;
    uint64_t scale = 1024;
    while (unit < 5 && bytes / scale >= 1024) {
        scale *= 1024;
        ++unit;
    }
    char text[32];
    if (bytes % scale == 0)
        std::snprintf(text, sizeof text, "%llu %s", static_cast<unsigned long long>(bytes / scale),
                      kUnits[unit]);
    else
        std::snprintf(text, sizeof text, "%.1f %s",
                      static_cast<double>(bytes) / static_cast<double>(scale), kUnits[unit]);
    return text;
}

int run_info(const InfoRequest& r) {
    DiskEnd disk(r.where, OPEN_READONLY, 0);
    uint64_t size = 0;
    std::string fingerprint;
    if (!find_disk_size(disk, r.retry, r.where.disk, 0, size, r.where.tls ? &fingerprint : nullptr))
        return 1;
    const std::string transport = transport_name(r.where);
    const std::string service = r.where.address + ":" + std::to_string(r.where.port);
    if (r.json) {
        std::string line =
            "{\"disk\":" + json_string(r.where.disk) + ",\"size\":" + std::to_string(size) +
            ",\"transport\":" + json_string(transport) + ",\"service\":" + json_string(service);
        if (r.where.tls) line += ",\"tls_fingerprint\":" + json_string(fingerprint);
        std::printf("%s}\n", line.c_str());
    } else {
        std::printf("disk: %s\nsize: %llu bytes (%s)\ntransport: %s\nservice: %s\n",
                    r.where.disk.c_str(), static_cast<unsigned long long>(size),
                    human_size(size).c_str(), transport.c_str(), service.c_str());
        if (r.where.tls) std::printf("tls-fingerprint: %s\n", fingerprint.c_str());
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::perror("qv-disk: standard output");
        return 1;
    }
    return 0;
}

}  // namespace qvdisk
