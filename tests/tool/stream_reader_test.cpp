// The stream reader on its own: what a stream written by the record writer reads back as, and
// the refusals a program reports for it, each with the line it names.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "io-all.h"
#include "stream-reader.h"
#include "stream-writer.h"

namespace {

std::string change(uint64_t offset, const std::string& block) {
    std::vector<char> records, scratch;
    EXPECT_TRUE(append_change_record(records, scratch, offset, block.data(), block.size()));
    return std::string(records.begin(), records.end());
}

std::string beat(uint64_t offset, bool last) {
    char text[CHANGE_RECORD_OVERHEAD];
    return std::string(text, build_heartbeat_record(text, offset, last));
}

// Reads `stream` for an image of `size` bytes: each record as "kind@offset+length", the
// change blocks joined, and at the end "end" (with "complete" when the final record came) or
// "line N: problem".
std::string read_all(uint64_t size, const std::string& stream, std::string* blocks = nullptr) {
    const int fd = memfd_create("stream", MFD_CLOEXEC);
    EXPECT_TRUE(zev::write_all(fd, stream.data(), stream.size()));
    lseek(fd, 0, SEEK_SET);
    zev::StreamReader reader(fd, size);
    zev::StreamRecord record;
    std::string seen;
    zev::StreamReader::Result got;
    while ((got = reader.next(record)) == zev::StreamReader::kRecord) {
        seen += "CHF"[record.kind] + std::to_string(record.offset) + "+" +
                std::to_string(record.length) + " ";
        const char* block = reinterpret_cast<const char*>(reader.block());
        if (blocks != nullptr && record.kind == zev::StreamRecord::kChange)
            blocks->append(block, record.length);
    }
    close(fd);
    if (got == zev::StreamReader::kEnd) return seen + (reader.final_seen() ? "complete" : "end");
    return seen + "line " + std::to_string(reader.line_number()) + ": " + reader.problem();
}

TEST(StreamReader, ReadsBackWhatTheWriterWrote) {
    std::string blocks;
    const std::string stream =
        change(0, "abc") + beat(50, false) + change(64, std::string(36, 'z')) + beat(100, true);
    EXPECT_EQ(read_all(100, stream, &blocks), "C0+3 H50+0 C64+36 F100+0 complete");
    EXPECT_EQ(blocks, "abc" + std::string(36, 'z'));
}

struct Refusal {
    uint64_t size;
    std::string stream;
    std::string expected;
};

TEST(StreamReader, RefusesNamingTheLine) {
    const std::string abc = change(0, "abc");
    const std::vector<Refusal> cases = {
        {100, "", "end"},
        {100, abc, "C0+3 end"},
        {100, abc.substr(0, abc.size() - 1), "line 1: stream cut inside the line (no line break)"},
        {100, beat(100, true) + beat(100, true), "F100+0 line 2: line after the final record"},
        {100, change(10, "abc") + abc,
         "C10+3 line 2: change record at offset 0 starts before the end of the previous one at 13"},
        {2, abc, "line 1: offset 0 and length 3 reach beyond the target size 2"},
        {100, beat(60, false) + beat(40, false),
         "H60+0 line 2: offset 40 goes back from the previous heartbeat at 60"},
        {100, "{\"offset\":0,\"length\":9,\"data\":\"AAAA\"}\n",
         "line 1: data does not decode to 9 bytes"},
        {1 << 20, "{\"offset\":0,\"length\":1048576,\"data\":\"AAAA\"}\n",
         "line 1: data is shorter than any LZ4 block of 1048576 bytes"},
        {100, "{\"offset\":0}\n", "line 1: not one of the three record forms of the diff stream"},
    };
    for (const Refusal& c : cases) EXPECT_EQ(read_all(c.size, c.stream), c.expected) << c.stream;
}

}  // namespace
