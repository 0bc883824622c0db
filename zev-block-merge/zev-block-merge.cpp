// zev-block-merge: folds a chain of change streams into one stream equal to applying them in
// order: the newest version of every block that changed in any of them. With the manifest of
// the chain's base, blocks that came back to the base's contents are left out, and the result
// is the stream zev-block-diff-tool writes for the base and the last image.
//
// Every input is read twice: once through the stream library's reader, which checks every
// record completely and gives where each record's line is, and once to copy the lines of the
// newest records as they are (never compressed again). Memory is an index entry per change
// record, not the blocks' data. Nothing is written before every input has passed.
#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "block-manifest.h"
#include "command_line.h"
#include "io-all.h"
#include "output-file.h"
#include "sha256.h"
#include "stream-format.h"
#include "stream-reader.h"
#include "stream-writer.h"

namespace {

// Exit status: 0 the merged stream is complete, 1 a refused input or a failure (nothing, or
// for standard output possibly part of a stream, was written), 2 a wrong command line
// (zevcli::kUsageError).
const int kExitFailure = 1;

void say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    fputs("zev-block-merge: ", stderr);
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
    va_end(args);
}

struct Input {
    std::string path;
    int fd = -1;
    uint64_t image_size = 0;  // the offset of its final record
    ~Input() {
        if (fd >= 0) close(fd);
    }
};

// A change record of an input: the block it holds, and where its line is.
struct Entry {
    uint64_t offset;
    uint64_t line_pos;
    uint64_t line_length;  // with its line break
    uint32_t input;
    bool equals_base;
};

// Where a change record is in its input, for the messages about block sizes.
struct Placed {
    uint64_t line = 0, offset = 0, length = 0;
};

// What one input's records establish, found by the thread that read it.
struct StreamIndex {
    std::string error;          // why the input is refused; empty when it passed
    uint64_t block = 0;         // its block size, once a record or the base manifest shows it
    Placed block_record;        // the record that showed it (line 0: the manifest)
    std::vector<Placed> tails;  // records of the image's last block before the block size
    // Its heartbeats while its block size is unknown (no manifest, and no record but the
    // image's last block): with no block size anywhere, the merged stream takes the newest
    // input's heartbeats.
    std::vector<uint64_t> heartbeats;
    std::vector<Entry> entries;
};

// What every input must agree on, and what they give together.
struct Chain {
    uint64_t image_size = 0;
    const zev::Manifest* base = nullptr;
    uint64_t block = 0;                // the block size, once a record or the manifest shows it
    std::string block_from;            // what showed it
    std::vector<uint64_t> heartbeats;  // of the newest input, used when no block size is known
    std::vector<Entry> entries;
    uint64_t records_read = 0;
};

std::string text(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Formatted like printf, whatever its length: paths in messages are never cut.
std::string text(const char* format, ...) {
    va_list args, again;
    va_start(args, format);
    va_copy(again, args);
    const int n = vsnprintf(nullptr, 0, format, args);
    std::string out(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0) vsnprintf(&out[0], out.size() + 1, format, again);
    va_end(again);
    va_end(args);
    return out;
}

// Opens a stream that can be read twice: a regular file. Its type is checked before the open,
// which would wait on a FIFO, and again on what was opened.
bool open_input(Input& in) {
    if (in.path == "-") {
        say("-: standard input cannot be a stream to merge: each stream is read twice; give "
            "files");
        return false;
    }
    struct stat named, opened;
    if (stat(in.path.c_str(), &named) != 0) {
        say("%s: %s", in.path.c_str(), strerror(errno));
        return false;
    }
    in.fd = S_ISREG(named.st_mode) ? open(in.path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY) : -1;
    if (in.fd >= 0 && fstat(in.fd, &opened) == 0 && S_ISREG(opened.st_mode)) return true;
    if (in.fd < 0 && S_ISREG(named.st_mode)) {
        say("%s: %s", in.path.c_str(), strerror(errno));
    } else {
        say("%s: not a regular file: each stream is read twice, so a pipe, a device or a "
            "folder cannot be one",
            in.path.c_str());
    }
    return false;
}

// The image size an input describes: the offset of its final record, which must be its last
// line.
bool find_final_record(Input& in) {
    char tail[CHANGE_RECORD_OVERHEAD + 1] = {};
    struct stat st;
    const bool sized = fstat(in.fd, &st) == 0;
    const uint64_t end = sized ? static_cast<uint64_t>(st.st_size) : 0;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(end, CHANGE_RECORD_OVERHEAD));
    if (!sized || !zev::pread_all(in.fd, tail, n, end - n)) {
        say("%s: %s", in.path.c_str(), strerror(errno));
        return false;
    }
    const char* line = tail;
    for (size_t i = n >= 2 ? n - 2 : 0; i > 0; --i) {
        if (tail[i - 1] == ZEV_RECORD_BREAK[0]) {
            line = tail + i;
            break;
        }
    }
    unsigned long long size = 0;
    char expected[CHANGE_RECORD_OVERHEAD];
    if (n > 0 && sscanf(line, ZEV_RECORD_OFFSET "%llu", &size) == 1) {
        const size_t length = build_heartbeat_record(expected, size, true);
        if (length == static_cast<size_t>(tail + n - line) && memcmp(expected, line, length) == 0) {
            in.image_size = size;
            return true;
        }
    }
    say("%s: its last line is not a final record: the stream is cut or is not a change stream",
        in.path.c_str());
    return false;
}

// Every input describes the same image, and the base manifest too.
bool same_images(const std::vector<std::unique_ptr<Input>>& inputs, const zev::Manifest* base,
                 const std::string& base_path) {
    const Input& first = *inputs.front();
    for (const auto& in : inputs) {
        if (in->image_size == first.image_size) continue;
        say("%s describes an image of %" PRIu64 " bytes, %s one of %" PRIu64
            " bytes: streams of different images cannot be merged",
            in->path.c_str(), in->image_size, first.path.c_str(), first.image_size);
        return false;
    }
    if (base != nullptr && base->image_size() != first.image_size) {
        say("the base manifest %s describes an image of %" PRIu64
            " bytes, the streams one of %" PRIu64 " bytes",
            base_path.c_str(), base->image_size(), first.image_size);
        return false;
    }
    return true;
}

// Why a change record is not one block of `block` bytes, which `from` showed.
std::string off_grid(const std::string& path, const Placed& r, uint64_t block, const char* from) {
    return text("%s: line %" PRIu64 ": a change record of %" PRIu64 " bytes at offset %" PRIu64
                " is not one block of %" PRIu64
                " bytes (the block size of %s): streams of different block sizes cannot be merged",
                path.c_str(), r.line, r.length, r.offset, block, from);
}

// Whether a change record is one block of `block` bytes: the image's last block may be
// shorter.
bool fits(const Placed& r, uint64_t block, uint64_t image_size) {
    const bool tail = r.offset + r.length == image_size;
    return r.offset % block == 0 && (tail ? r.length <= block : r.length == block);
}

// Checks that a change record holds one block of the stream's block size, learning the block
// size from the first record that is not the image's last block. A last block seen before the
// block size is known is checked once the chain's block size is.
bool on_grid(StreamIndex& ix, const Input& in, const Chain& chain, const Placed& r) {
    const bool tail = r.offset + r.length == chain.image_size;
    if (ix.block == 0 && tail) {
        ix.tails.push_back(r);
        return true;
    }
    if (ix.block == 0) {
        ix.block = r.length;
        ix.block_record = r;
    }
    if (fits(r, ix.block, chain.image_size)) return true;
    ix.error = off_grid(in.path, r, ix.block,
                        chain.base != nullptr ? chain.block_from.c_str() : "its records before");
    return false;
}

// Whether a block equals the base's block at `offset`.
bool equals_base(const zev::Manifest& base, zev::BlockHasher& hasher, const unsigned char* block,
                 const zev::StreamRecord& r) {
    unsigned char digest[zev::kSha256Size];
    hasher.hash(block, r.length, digest);
    return memcmp(digest, base.digest(r.offset / base.block_size()), sizeof digest) == 0;
}

// Reads one input through the stream reader: every record checked, every change record
// indexed, and with the base manifest every block compared with the base's.
void read_input(const Chain& chain, const Input& in, uint32_t index, StreamIndex& ix) {
    zev::BlockHasher hasher;
    if (chain.base != nullptr && !hasher.ok()) {
        ix.error = "SHA-256 cannot be set up";
        return;
    }
    ix.block = chain.base != nullptr ? chain.base->block_size() : 0;
    zev::StreamReader reader(in.fd, chain.image_size);
    zev::StreamRecord r;
    for (;;) {
        const zev::StreamReader::Result got = reader.next(r);
        if (got == zev::StreamReader::kEnd) break;
        if (got == zev::StreamReader::kReadError) {
            ix.error = in.path + ": " + strerror(errno);
            return;
        }
        if (got == zev::StreamReader::kInvalid) {
            ix.error = text("%s: line %" PRIu64 ": %s", in.path.c_str(), reader.line_number(),
                            reader.problem().c_str());
            return;
        }
        if (r.kind == zev::StreamRecord::kHeartbeat && ix.block == 0)
            ix.heartbeats.push_back(r.offset);
        if (r.kind != zev::StreamRecord::kChange) continue;
        if (!on_grid(ix, in, chain, {reader.line_number(), r.offset, r.length})) return;
        if (ix.block != 0 && !ix.heartbeats.empty()) std::vector<uint64_t>().swap(ix.heartbeats);
        const bool base =
            chain.base != nullptr && equals_base(*chain.base, hasher, reader.block(), r);
        ix.entries.push_back({r.offset, reader.line_start(), reader.line_length(), index, base});
    }
    if (!reader.final_seen())
        ix.error = text("%s: ended without its final record after line %" PRIu64, in.path.c_str(),
                        reader.line_number());
    if (chain.base != nullptr && !hasher.ok()) ix.error = "SHA-256 failed";
}

// Reads every input, several side by side (each is checked on its own), into `indexes`.
void read_inputs(const Chain& chain, const std::vector<std::unique_ptr<Input>>& inputs,
                 std::vector<StreamIndex>& indexes) {
    indexes.resize(inputs.size());
    std::atomic<size_t> next{0};
    auto work = [&] {
        for (size_t i; (i = next.fetch_add(1)) < inputs.size();)
            read_input(chain, *inputs[i], static_cast<uint32_t>(i), indexes[i]);
    };
    const size_t threads =
        std::min<size_t>(inputs.size(), std::max(1u, std::thread::hardware_concurrency()));
    std::vector<std::thread> helpers;
    try {
        for (size_t t = 1; t < threads; ++t) helpers.emplace_back(work);
    } catch (const std::system_error&) {
        // Fewer threads: this one reads what is left.
    }
    work();
    for (std::thread& t : helpers) t.join();
}

// The records of the image's last block read before their stream showed a block size: on the
// chain's blocks; or, when no stream shows a block size, all at the offset of the first one.
bool check_tails(const Chain& chain, const std::vector<std::unique_ptr<Input>>& inputs,
                 const std::vector<StreamIndex>& indexes) {
    const Placed* first = nullptr;
    std::string first_from;
    for (size_t i = 0; i < inputs.size(); ++i) {
        for (const Placed& r : indexes[i].tails) {
            if (chain.block != 0 && fits(r, chain.block, chain.image_size)) continue;
            if (chain.block != 0) {
                say("%s",
                    off_grid(inputs[i]->path, r, chain.block, chain.block_from.c_str()).c_str());
                return false;
            }
            if (first == nullptr) {
                first = &r;
                first_from = inputs[i]->path + ", line " + std::to_string(r.line);
            }
            if (r.offset == first->offset) continue;
            say("%s: line %" PRIu64 ": the image's last block starts at offset %" PRIu64
                ", at offset %" PRIu64 " in %s: streams of different block sizes cannot be merged",
                inputs[i]->path.c_str(), r.line, r.offset, first->offset, first_from.c_str());
            return false;
        }
    }
    return true;
}

// The inputs together, in the order given: the first refusal is reported; every stream must
// have the block size the first one to show it has. Moves every index entry into the chain.
bool join_inputs(Chain& chain, const std::vector<std::unique_ptr<Input>>& inputs,
                 std::vector<StreamIndex>& indexes) {
    for (size_t i = 0; i < inputs.size(); ++i) {
        StreamIndex& ix = indexes[i];
        if (!ix.error.empty()) {
            say("%s", ix.error.c_str());
            return false;
        }
        if (ix.block != 0 && chain.block == 0) {
            chain.block = ix.block;
            chain.block_from = inputs[i]->path + ", line " + std::to_string(ix.block_record.line);
        }
        if (ix.block != chain.block && ix.block != 0) {
            say("%s",
                off_grid(inputs[i]->path, ix.block_record, chain.block, chain.block_from.c_str())
                    .c_str());
            return false;
        }
        chain.records_read += ix.entries.size();
        chain.entries.insert(chain.entries.end(), ix.entries.begin(), ix.entries.end());
        std::vector<Entry>().swap(ix.entries);
    }
    if (!check_tails(chain, inputs, indexes)) return false;
    if (chain.block == 0) chain.heartbeats = std::move(indexes.back().heartbeats);
    return true;
}

// The newest record of every block, in the order of the image; with the base manifest,
// without the blocks that equal the base's. The index is appended stream by stream, so a
// stable sort keeps the streams' order within a block.
std::vector<Entry> newest_records(std::vector<Entry> entries, bool drop_base, size_t& left_out) {
    std::stable_sort(entries.begin(), entries.end(),
                     [](const Entry& a, const Entry& b) { return a.offset < b.offset; });
    std::vector<Entry> out;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (i + 1 < entries.size() && entries[i + 1].offset == entries[i].offset) continue;
        if (drop_base && entries[i].equals_base)
            ++left_out;
        else
            out.push_back(entries[i]);
    }
    return out;
}

// The merged stream's destination: standard output, or a new file beside the output
// (a unique name, created exclusively, mode 0600) that takes the output's name once complete.
struct Output {
    std::string path;  // empty: standard output
    zev::NewFile file;
    int fd = STDOUT_FILENO;
    std::vector<char> buffer;
    uint64_t written = 0;
    const char* name() const { return path.empty() ? "standard output" : path.c_str(); }
    bool open() {
        if (path.empty()) return true;
        if (!file.create(path)) {
            say("%s: cannot create a new file beside it: %s", path.c_str(), strerror(errno));
            return false;
        }
        fd = file.fd();
        return true;
    }
    // Writes the buffer; a file's write-back starts at once, so that the flush at the end
    // waits only for the last part.
    bool flush() {
        if (!buffer.empty() && !zev::write_all(fd, buffer.data(), buffer.size(), ENOSPC)) {
            say("%s: %s", name(), strerror(errno));
            return false;
        }
        if (!path.empty())
            sync_file_range(fd, static_cast<off_t>(written), static_cast<off_t>(buffer.size()),
                            SYNC_FILE_RANGE_WRITE);
        written += buffer.size();
        buffer.clear();
        return true;
    }
    bool finish() {
        if (!flush()) return false;
        if (path.empty()) return true;
        std::string step;
        if (file.commit(0600, step)) return true;
        if (step.rfind("flushing the folder", 0) == 0)
            say("%s: flushing its folder to stable storage failed: %s", path.c_str(),
                strerror(errno));
        else
            say("%s: %s", path.c_str(), strerror(errno));
        return false;
    }
};

// Appends a record's line, read again from its input; a line that is no longer the record
// indexed (the input changed meanwhile) fails the merge.
bool copy_record(Output& out, const Entry& e, const Input& in) {
    const size_t at = out.buffer.size();
    out.buffer.resize(at + e.line_length);
    char* line = out.buffer.data() + at;
    const std::string head = ZEV_RECORD_OFFSET + std::to_string(e.offset) + ZEV_RECORD_LENGTH;
    if (!zev::pread_all(in.fd, line, e.line_length, e.line_pos) ||
        memcmp(line, head.data(), std::min<size_t>(head.size(), e.line_length)) != 0 ||
        line[e.line_length - 1] != ZEV_RECORD_BREAK[0]) {
        say("%s changed while it was merged: the record at offset %" PRIu64
            " is no longer where it was",
            in.path.c_str(), e.offset);
        return false;
    }
    return out.buffer.size() < (1u << 20) || out.flush();
}

void append_heartbeat(Output& out, uint64_t offset, bool last) {
    char record[CHANGE_RECORD_OVERHEAD];
    const size_t n = build_heartbeat_record(record, offset, last);
    out.buffer.insert(out.buffer.end(), record, record + n);
}

// The heartbeats of the diff tool's walk over an image of `size` bytes in blocks of `block`:
// after each block, one when the bytes processed reach the schedule's threshold. Each is found
// by arithmetic on the threshold instead of a walk over every block: the first block after
// the one with the last heartbeat whose end reaches the threshold.
class Heartbeats {
  public:
    Heartbeats(uint64_t size, uint64_t block)
        : size_(size), block_(block), blocks_(block == 0 ? 0 : size / block + (size % block != 0)) {
        start_heartbeats(&schedule_, size);
    }
    // The offset of the next heartbeat; false when there is none.
    bool next(uint64_t& offset) {
        if (block_ == 0) return false;
        const uint64_t due = schedule_.next;
        const uint64_t k = std::max(done_ + 1, due / block_ + (due % block_ != 0));
        if (k > blocks_) return false;
        // Only the last block, which ends at the image's end, may fall short of the threshold.
        const uint64_t end = k == blocks_ ? size_ : k * block_;
        if (!heartbeat_due(&schedule_, end)) return false;
        done_ = k;
        offset = end;
        return true;
    }

  private:
    uint64_t size_, block_, blocks_;
    uint64_t done_ = 0;  // blocks walked up to the last heartbeat
    heartbeat_schedule schedule_;
};

// The heartbeat offsets of the merged stream: the diff tool's for the chain's block size, or,
// when no input shows one (none has a change record and there is no manifest), those of the
// newest input.
class Beats {
  public:
    explicit Beats(const Chain& chain)
        : computed_(chain.image_size, chain.block),
          carried_(chain.heartbeats),
          use_carried_(chain.block == 0) {
        more_ = advance();
    }
    // Writes every heartbeat at or before `offset`.
    void before(Output& out, uint64_t offset) {
        while (more_ && at_ <= offset) {
            append_heartbeat(out, at_, false);
            more_ = advance();
        }
    }

  private:
    bool advance() {
        if (!use_carried_) return computed_.next(at_);
        if (next_carried_ == carried_.size()) return false;
        at_ = carried_[next_carried_++];
        return true;
    }
    Heartbeats computed_;
    const std::vector<uint64_t>& carried_;
    const bool use_carried_;
    size_t next_carried_ = 0;
    uint64_t at_ = 0;
    bool more_ = false;
};

// The merged stream: the records in the order of the image, each heartbeat after the records
// of the blocks before its offset (before the record of the block that starts there), and the
// final record.
bool write_stream(Output& out, const Chain& chain, const std::vector<Entry>& records,
                  const std::vector<std::unique_ptr<Input>>& inputs) {
    Beats beats(chain);
    for (const Entry& e : records) {
        beats.before(out, e.offset);
        if (!copy_record(out, e, *inputs[e.input])) return false;
    }
    beats.before(out, chain.image_size);
    append_heartbeat(out, chain.image_size, true);
    return out.finish();
}

// The output must not be one of the files read: it would replace an input or the manifest.
bool output_apart(const std::string& output, const std::vector<std::string>& read) {
    struct stat out;
    const bool exists = stat(output.c_str(), &out) == 0;
    for (const std::string& path : read) {
        struct stat st;
        const bool same = path == output || (exists && stat(path.c_str(), &st) == 0 &&
                                             st.st_dev == out.st_dev && st.st_ino == out.st_ino);
        if (!same) continue;
        say("-o %s is also read by this merge (%s): give another output", output.c_str(),
            path.c_str());
        return false;
    }
    return true;
}

const char* plural(uint64_t n) { return n == 1 ? "" : "s"; }

// The line that ends a merge on standard error. Without any change record and without a
// manifest there is no block size to name.
void summarize(const Chain& chain, size_t streams, const char* output, size_t kept,
               size_t left_out) {
    const std::string blocks =
        chain.block == 0 ? "" : text(" in blocks of %" PRIu64 " bytes", chain.block);
    const std::string base =
        chain.base == nullptr ? "" : text(", %zu left out as equal to the base", left_out);
    say("merged %zu stream%s of an image of %" PRIu64
        " bytes%s into %s: %zu change record%s "
        "(from %" PRIu64 " in all)%s",
        streams, plural(streams), chain.image_size, blocks.c_str(), output, kept, plural(kept),
        chain.records_read, base.c_str());
}

struct Options {
    std::vector<std::string> streams;
    std::string base_manifest;
    std::string output;
};

// Reads and checks every input, then writes the merged stream. Returns the exit status.
int merge(const Options& o) {
    std::vector<std::string> read = o.streams;
    if (!o.base_manifest.empty()) read.push_back(o.base_manifest);
    if (!o.output.empty() && !output_apart(o.output, read)) return kExitFailure;
    zev::Manifest base;
    std::string error;
    if (!o.base_manifest.empty() && !base.load(o.base_manifest, error)) {
        say("--base-manifest %s", error.c_str());
        return kExitFailure;
    }
    std::vector<std::unique_ptr<Input>> inputs;
    for (const std::string& path : o.streams) {
        inputs.push_back(std::make_unique<Input>());
        inputs.back()->path = path;
        if (!open_input(*inputs.back()) || !find_final_record(*inputs.back())) return kExitFailure;
    }
    Chain chain;
    chain.image_size = inputs.front()->image_size;
    if (!o.base_manifest.empty()) {
        chain.base = &base;
        chain.block = base.block_size();
        chain.block_from = "the base manifest " + o.base_manifest;
    }
    if (!same_images(inputs, chain.base, o.base_manifest)) return kExitFailure;
    std::vector<StreamIndex> indexes;
    read_inputs(chain, inputs, indexes);
    if (!join_inputs(chain, inputs, indexes)) return kExitFailure;
    size_t left_out = 0;
    const std::vector<Entry> records =
        newest_records(std::move(chain.entries), chain.base != nullptr, left_out);
    Output out;
    out.path = o.output;
    if (!out.open() || !write_stream(out, chain, records, inputs)) return kExitFailure;
    summarize(chain, inputs.size(), out.name(), records.size(), left_out);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "Folds change streams of one image, oldest first, into one stream equal to "
        "applying them in order."};
    zevcli::setup(app, "zev-block-merge",
                  "Examples:\n"
                  "  zev-block-merge tue.jsonl wed.jsonl -o week.jsonl\n"
                  "  zev-block-merge tue.jsonl wed.jsonl --base-manifest mon.manifest -o "
                  "week.jsonl\n"
                  "  zev-block-merge tue.jsonl wed.jsonl | zev-block-apply copy.img");
    Options o;
    app.add_option("stream", o.streams,
                   "a change stream (a regular file), oldest first; the newest version of every "
                   "block is kept")
        ->required()
        ->type_name("STREAM");
    app.add_option("--base-manifest", o.base_manifest,
                   "the block manifest of the chain's base image: blocks that came back to its "
                   "contents are left out")
        ->type_name("FILE");
    app.add_option("-o,--output", o.output,
                   "write the merged stream to FILE, through a new file and a rename; - is "
                   "standard output (default: standard output)")
        ->type_name("FILE");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return zevcli::exit_status(app, e);
    }
    // "-" and the system's names of standard output are standard output, never a file to
    // create beside a link and rename over it.
    if (zev::names_standard_output(o.output)) o.output.clear();
    if (o.output.empty() && isatty(STDOUT_FILENO)) {
        say("standard output is a terminal; redirect it (> FILE or | PROGRAM) or give -o FILE");
        return zevcli::kUsageError;
    }
    return merge(o);
}
