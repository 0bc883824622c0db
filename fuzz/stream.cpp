// Fuzz target: the change stream's reader on damaged or hostile streams. The first three bytes
// give the image size (little-endian, up to 16 MiB), the rest is the stream.
//  - every stream ends in a clean end or a refusal naming a line, never past its last line;
//  - every heartbeat and final record it accepts is the writer's own text for its values, byte
//    for byte;
//  - every change record it accepts starts as the writer writes it, and its block, written
//    again by the writer and read back, is the same block.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "io-all.h"
#include "stream-reader.h"
#include "stream-writer.h"

namespace {

// A descriptor that reads `bytes` from the start.
int memory_file(const void* bytes, size_t size) {
    const int fd = memfd_create("stream", MFD_CLOEXEC);
    if (fd < 0 || !zev::write_all(fd, bytes, size) || lseek(fd, 0, SEEK_SET) != 0) abort();
    return fd;
}

// The stream's lines, each without its break; the text after the last break is left out.
std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t at; (at = text.find('\n', start)) != std::string::npos; start = at + 1) {
        lines.push_back(text.substr(start, at - start));
    }
    return lines;
}

// Writes the change record of `block` again and reads it back from a stream of its own.
void round_trip_change(const zev::StreamRecord& record, const unsigned char* block,
                       uint64_t image_size, const std::string& line) {
    std::vector<char> text;
    std::vector<char> scratch;
    if (!append_change_record(text, scratch, record.offset, block, record.length)) abort();
    const std::string rebuilt(text.begin(), text.end());
    const size_t head = rebuilt.find(ZEV_RECORD_DATA) + strlen(ZEV_RECORD_DATA);
    if (line.compare(0, head, rebuilt, 0, head) != 0) abort();
    const int fd = memory_file(text.data(), text.size());
    zev::StreamReader again(fd, image_size);
    zev::StreamRecord back;
    if (again.next(back) != zev::StreamReader::kRecord || back.kind != zev::StreamRecord::kChange ||
        back.offset != record.offset || back.length != record.length ||
        memcmp(again.block(), block, record.length) != 0) {
        abort();
    }
    close(fd);
}

void check_progress(const zev::StreamRecord& record, const std::string& line) {
    char text[CHANGE_RECORD_OVERHEAD];
    const size_t n =
        build_heartbeat_record(text, record.offset, record.kind == zev::StreamRecord::kFinal);
    if (line + ZEV_RECORD_BREAK != std::string(text, n)) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const uint64_t image_size = data[0] | data[1] << 8 | static_cast<uint64_t>(data[2]) << 16;
    const std::string stream(reinterpret_cast<const char*>(data) + 3, size - 3);
    const std::vector<std::string> lines = lines_of(stream);
    const int fd = memory_file(stream.data(), stream.size());
    zev::StreamReader reader(fd, image_size);
    zev::StreamRecord record;
    for (;;) {
        const zev::StreamReader::Result got = reader.next(record);
        if (reader.line_number() > lines.size() + 1) abort();
        if (got != zev::StreamReader::kRecord) {
            if (got == zev::StreamReader::kReadError) abort();
            if (got == zev::StreamReader::kInvalid && reader.problem().empty()) abort();
            break;
        }
        const std::string& line = lines.at(reader.line_number() - 1);
        if (record.kind == zev::StreamRecord::kChange) {
            round_trip_change(record, reader.block(), image_size, line);
        } else {
            check_progress(record, line);
        }
    }
    close(fd);
    return 0;
}
