// Fuzz target: the qv-disk journal reader on damaged or hostile journals, against the
// transfer of a fixed command (a read of 1 MiB at offset 4096 in requests of 64 KiB, whose
// partial output holds 768 KiB).
//  - every input is refused with a reason, or parses;
//  - what parses is written again by the writer, and that text parses to the same stretches
//    and is written again byte for byte;
//  - every stretch lies within the range and the stretches neither touch nor overlap.
#include "journal.h"

#include <stdint.h>
#include <stdlib.h>

#include <map>
#include <string>

namespace {

qvdisk::JournalBinding binding() {
    qvdisk::JournalBinding b;
    b.direction = "read";
    b.disk = "/vm/web/disk0";
    b.offset = 4096;
    b.length = 1 << 20;
    b.request_size = 65536;
    b.local = "/backup/web.img";
    b.server = "127.0.0.1:9443";
    b.transport = "LAN+TLS";
    b.local_holds = 768 << 10;
    return b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const qvdisk::JournalBinding b = binding();
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::map<uint64_t, uint64_t> done;
    std::string error;
    if (!qvdisk::parse_journal(text, "j", b, done, error)) {
        if (error.empty()) abort();
        return 0;
    }
    uint64_t previous_end = 0;
    for (const auto& r : done) {
        if (r.first < b.offset || r.second > b.offset + b.length || r.first >= r.second ||
            (previous_end != 0 && r.first <= previous_end) || r.second - b.offset > b.local_holds)
            abort();
        previous_end = r.second;
    }
    const std::string written = qvdisk::journal_text(b, done);
    std::map<uint64_t, uint64_t> again;
    if (!qvdisk::parse_journal(written, "j", b, again, error) || again != done ||
        qvdisk::journal_text(b, again) != written)
        abort();
    return 0;
}
