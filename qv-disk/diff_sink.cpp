#include "diff_sink.h"

namespace qvdisk {

// The change records one worker made for the blocks of one request, waiting for their turn.
struct Prepared {
    uint64_t first = 0;  // the request's first block
    uint64_t count = 0;  // its blocks
    struct Change {
        uint64_t block;
        size_t begin, end;  // the record in `records`
    };
    std::vector<Change> changes;
    std::vector<char> records;
};

bool DiffStream::emit(const Prepared& p, Failure& f) {
    out_.clear();
    uint64_t processed = processed_;
    uint64_t changed = 0, changed_bytes = 0;
    auto change = p.changes.begin();
    char heartbeat[CHANGE_RECORD_OVERHEAD];
    for (uint64_t b = p.first; b < p.first + p.count; ++b) {
        if (change != p.changes.end() && change->block == b) {
            out_.insert(out_.end(), p.records.begin() + change->begin,
                        p.records.begin() + change->end);
            changed_bytes += now_.block_length(b);
            ++changed;
            ++change;
        }
        processed += now_.block_length(b);
        if (heartbeat_due(&heartbeats_, processed)) {
            size_t n = build_heartbeat_record(heartbeat, processed, false);
            out_.insert(out_.end(), heartbeat, heartbeat + n);
        }
    }
    if (!put(out_.data(), out_.size(), f)) return false;
    processed_ = processed;
    counts_.written_bytes += changed_bytes;
    counts_.written += changed;
    counts_.compared += p.count;
    return true;
}

namespace {

// One worker's side of the stream: it compares the blocks of its request (the copy loop has
// hashed them into the new manifest) and compresses and encodes the changed ones before its
// turn, so that the workers do that side by side.
class DiffChannel : public Channel {
  public:
    explicit DiffChannel(DiffStream& stream) : stream_(stream) {}

    bool ready(Failure&) override { return true; }
    bool read(uint64_t, size_t, char*, Failure& f) override {
        f = {"the diff stream cannot be read", false};
        return false;
    }
    bool prepare(uint64_t pos, size_t n, const char* buf, Failure& f) override {
        const zev::Manifest& now = stream_.now();
        const uint64_t block_size = now.block_size();
        prepared_.first = pos / block_size;
        prepared_.count = (n + block_size - 1) / block_size;
        prepared_.changes.clear();
        prepared_.records.clear();
        for (uint64_t b = prepared_.first; b < prepared_.first + prepared_.count; ++b) {
            if (now.same_block(b, stream_.base())) continue;
            const uint64_t length = now.block_length(b);
            const char* block = buf + (now.block_offset(b) - pos);
            const size_t begin = prepared_.records.size();
            if (!append_change_record(prepared_.records, compressed_, now.block_offset(b), block,
                                      length)) {
                f = {"LZ4 compression failed at offset " + std::to_string(now.block_offset(b)),
                     false};
                return false;
            }
            prepared_.changes.push_back({b, begin, prepared_.records.size()});
        }
        return true;
    }
    bool write(uint64_t, size_t, const char*, Failure& f) override {
        return stream_.emit(prepared_, f);
    }
    bool finish(Failure&) override { return true; }

  private:
    DiffStream& stream_;
    Prepared prepared_;
    std::vector<char> compressed_;
};

}  // namespace

std::unique_ptr<Channel> DiffStream::channel() { return std::make_unique<DiffChannel>(*this); }

}  // namespace qvdisk
