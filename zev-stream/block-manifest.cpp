// Block manifests: hashing an image block by block over several threads, and the manifest
// file (writing it through a temporary file, reading it back with every check).
#include "block-manifest.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "io-all.h"
#include "stream-format.h"

namespace zev {

namespace {

const unsigned char kMagic[8] = {'Z', 'E', 'V', 'B', 'M', 'A', 'N', '\n'};
const uint32_t kVersion = 1;
const size_t kHeaderSize = 32;
// The list digest and the file check after the block digests.
const size_t kTrailerSize = 2 * kBlockDigestSize;
// The share of the image a hashing thread takes at a time, rounded down to whole blocks (at
// least one): long sequential runs for the storage, few turns of the shared index.
const uint64_t kChunkTarget = 4u << 20;
// What a thread reads into its buffer at a time, rounded down to whole blocks (at least one).
// Small enough to stay in the core's cache between the copy out of the page cache and the
// hash: on a cached image that copy is a fifth of the work, and 4 MiB read at once hashed
// 3 to 6 % slower than the same chunk read 256 KiB at a time.
const uint64_t kReadTarget = 256u << 10;

void put_le(unsigned char* out, uint64_t value, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
}

uint64_t get_le(const unsigned char* in, size_t bytes) {
    uint64_t value = 0;
    for (size_t i = 0; i < bytes; ++i) value |= static_cast<uint64_t>(in[i]) << (8 * i);
    return value;
}

uint64_t blocks_for(uint64_t image_size, uint64_t block_size) {
    return image_size / block_size + (image_size % block_size != 0 ? 1 : 0);
}

std::string block_size_problem(uint64_t block_size) {
    if (block_size >= 1 && block_size <= ZEV_MAX_BLOCK_SIZE) return std::string();
    return "block size " + std::to_string(block_size) + " out of range (1 to " +
           std::to_string(ZEV_MAX_BLOCK_SIZE) + " bytes)";
}

std::string errno_text(int error) { return strerror(error); }

// The list digest of `digests` (the block digests as stored).
bool list_digest(const std::vector<unsigned char>& digests, unsigned char out[kBlockDigestSize]) {
    Sha256 digest;
    digest.update(digests.data(), digests.size());
    return digest.finish(out);
}

void fill_header(unsigned char header[kHeaderSize], uint64_t block_size, uint64_t image_size,
                 uint64_t block_count) {
    memcpy(header, kMagic, sizeof kMagic);
    put_le(header + 8, kVersion, 4);
    put_le(header + 12, block_size, 4);
    put_le(header + 16, image_size, 8);
    put_le(header + 24, block_count, 8);
}

}  // namespace

bool Manifest::reset(uint64_t image_size, uint64_t block_size, std::string& error) {
    error = block_size_problem(block_size);
    if (!error.empty()) return false;
    const uint64_t count = blocks_for(image_size, block_size);
    if (count > SIZE_MAX / kBlockDigestSize) {
        error = "no memory for the digests of " + std::to_string(count) + " blocks";
        return false;
    }
    std::vector<unsigned char> digests;
    try {
        digests.assign(static_cast<size_t>(count) * kBlockDigestSize, 0);
    } catch (const std::bad_alloc&) {
        error = "no memory for the digests of " + std::to_string(count) + " blocks";
        return false;
    }
    image_size_ = image_size;
    block_size_ = block_size;
    block_count_ = count;
    digests_.swap(digests);
    return true;
}

uint64_t Manifest::block_length(uint64_t index) const {
    const uint64_t offset = block_offset(index);
    if (offset >= image_size_) return 0;
    return std::min(block_size_, image_size_ - offset);
}

bool Manifest::same_block(uint64_t index, const Manifest& other) const {
    if (index >= block_count_ || index >= other.block_count_) return false;
    if (block_offset(index) != other.block_offset(index) ||
        block_length(index) != other.block_length(index)) {
        return false;
    }
    return memcmp(digest(index), other.digest(index), kBlockDigestSize) == 0;
}

void Manifest::hash_blocks(BlockHasher& hasher, uint64_t first, const void* data, size_t length) {
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    size_t done = 0;
    for (uint64_t index = first; done < length && index < block_count_; ++index) {
        const size_t n =
            static_cast<size_t>(std::min<uint64_t>(block_length(index), length - done));
        hasher.hash(bytes + done, n, digest(index));
        done += n;
    }
}

std::string Manifest::list_digest_hex() const {
    unsigned char digest[kBlockDigestSize];
    if (!list_digest(digests_, digest)) return std::string();
    return to_hex(digest, sizeof digest);
}

bool Manifest::save(const std::string& path, std::string& error) const {
    const bool to_stdout = path == "-";
    const std::string name = to_stdout ? "standard output" : path;
    if (!block_size_problem(block_size_).empty()) {
        error = name + ": no manifest to write (never hashed or loaded)";
        return false;
    }

    unsigned char header[kHeaderSize];
    fill_header(header, block_size_, image_size_, block_count_);
    unsigned char trailer[kTrailerSize];
    Sha256 file_check;
    file_check.update(header, sizeof header);
    file_check.update(digests_.data(), digests_.size());
    if (!list_digest(digests_, trailer)) {
        error = name + ": SHA-256 is not available";
        return false;
    }
    file_check.update(trailer, kBlockDigestSize);
    if (!file_check.finish(trailer + kBlockDigestSize)) {
        error = name + ": SHA-256 is not available";
        return false;
    }

    auto write_manifest = [&](int fd) {
        return write_all(fd, header, sizeof header, ENOSPC) &&
               write_all(fd, digests_.data(), digests_.size(), ENOSPC) &&
               write_all(fd, trailer, sizeof trailer, ENOSPC);
    };
    if (to_stdout) {
        if (!write_manifest(STDOUT_FILENO)) {
            error = name + ": " + errno_text(errno);
            return false;
        }
        return true;
    }

    // A new file of a name no one can know in advance, created exclusively and private: a
    // file or link planted beside the manifest is never written through, and two runs never
    // share the temporary file.
    std::string temporary = path + ".XXXXXX";
    const int fd = mkostemp(&temporary[0], O_CLOEXEC);
    if (fd < 0) {
        error = path + ": cannot create " + path + ".XXXXXX: " + errno_text(errno);
        return false;
    }
    fchmod(fd, 0600);
    std::string step;
    if (!write_manifest(fd)) {
        step = "writing " + temporary;
    } else if (fsync(fd) != 0) {
        step = "flushing " + temporary + " to stable storage";
    }
    int saved = errno;
    if (close(fd) != 0 && step.empty()) {
        saved = errno;
        step = "closing " + temporary;
    }
    if (step.empty() && rename(temporary.c_str(), path.c_str()) != 0) {
        saved = errno;
        step = "renaming " + temporary + " to " + path;
    }
    if (!step.empty()) {
        unlink(temporary.c_str());
        error = path + ": " + step + " failed: " + errno_text(saved);
        return false;
    }
    // The rename is durable only once the folder's entry is on stable storage.
    if (!flush_folder_of(path)) {
        error = path + ": flushing the folder " + folder_of(path) +
                " to stable storage failed: " + errno_text(errno);
        return false;
    }
    return true;
}

namespace {

// What a manifest file's header says, and the length of the file it asks for.
struct Header {
    unsigned char bytes[kHeaderSize];
    uint64_t block_size = 0;
    uint64_t image_size = 0;
    uint64_t block_count = 0;
    bool representable = false;  // the length fits in 64 bits
    uint64_t total = 0;          // the whole file's length
    uint64_t body = 0;           // what follows the header

    std::string need() const {
        return representable ? std::to_string(total) : std::string("more than 2^64");
    }
    std::string length_problem(uint64_t actual) const {
        return std::string(actual < total ? "truncated" : "trailing bytes") + ": " +
               std::to_string(actual) + " bytes, " + std::to_string(block_count) + " blocks need " +
               need();
    }
};

const uint64_t kSmallestFile = kHeaderSize + kTrailerSize;

// Reads and checks the header: magic, version, block size, block count. Empty, or what is
// wrong.
std::string read_header(int fd, Header& h) {
    const ssize_t got = read_full(fd, h.bytes, sizeof h.bytes);
    if (got < 0) return "read failed: " + errno_text(errno);
    const size_t header_bytes = static_cast<size_t>(got);
    if (header_bytes >= sizeof kMagic && memcmp(h.bytes, kMagic, sizeof kMagic) != 0) {
        return "not a block manifest (wrong magic)";
    }
    if (header_bytes < kHeaderSize) {
        return "too short to be a block manifest (" + std::to_string(header_bytes) +
               " bytes; the smallest has " + std::to_string(kSmallestFile) + ")";
    }
    const uint64_t version = get_le(h.bytes + 8, 4);
    h.block_size = get_le(h.bytes + 12, 4);
    h.image_size = get_le(h.bytes + 16, 8);
    h.block_count = get_le(h.bytes + 24, 8);
    if (version != kVersion) {
        return "format version " + std::to_string(version) + ", this program reads version " +
               std::to_string(kVersion);
    }
    std::string problem = block_size_problem(h.block_size);
    if (!problem.empty()) return problem;
    const uint64_t expected_count = blocks_for(h.image_size, h.block_size);
    if (h.block_count != expected_count) {
        return "block count " + std::to_string(h.block_count) + " does not match " +
               std::to_string(h.image_size) + " bytes in blocks of " +
               std::to_string(h.block_size) + " (" + std::to_string(expected_count) + " blocks)";
    }
    h.representable = h.block_count <= (UINT64_MAX - kSmallestFile) / kBlockDigestSize;
    h.total = h.representable ? kSmallestFile + h.block_count * kBlockDigestSize : UINT64_MAX;
    h.body = h.total - kHeaderSize;
    return std::string();
}

// The length the header asks for, checked against the file (`file_length`, when it is a
// regular file) before anything is allocated for it.
std::string check_length(const Header& h, bool known_length, uint64_t file_length) {
    if (known_length && file_length != h.total) return h.length_problem(file_length);
    if (!h.representable) {
        return "block count " + std::to_string(h.block_count) + " needs more than 2^64 bytes";
    }
    if (h.body > SIZE_MAX) {
        return "no memory for the digests of " + std::to_string(h.block_count) + " blocks";
    }
    return std::string();
}

// Reads what follows the header into `data`, and makes sure nothing follows it. A pipe's length
// is only known at its end: the buffer grows with what arrives.
std::string read_body(int fd, const Header& h, bool known_length,
                      std::vector<unsigned char>& data) {
    try {
        if (known_length) data.reserve(static_cast<size_t>(h.body));
        while (data.size() < h.body) {
            const size_t start = data.size();
            const size_t step = static_cast<size_t>(
                std::min<uint64_t>(h.body - start, std::max<size_t>(start, 1u << 20)));
            data.resize(start + step);
            const ssize_t n = read_full(fd, data.data() + start, step);
            if (n < 0) return "read failed: " + errno_text(errno);
            if (static_cast<size_t>(n) < step) {
                return h.length_problem(kHeaderSize + start + static_cast<size_t>(n));
            }
        }
    } catch (const std::bad_alloc&) {
        return "no memory for the digests of " + std::to_string(h.block_count) + " blocks";
    }
    unsigned char extra;
    const ssize_t more = read_full(fd, &extra, 1);
    if (more < 0) return "read failed: " + errno_text(errno);
    if (more > 0) {
        // Only the file's end is known here, not its length, unless it is a regular file.
        return known_length ? h.length_problem(kHeaderSize + h.body + 1)
                            : "trailing bytes after the " + h.need() + " bytes of " +
                                  std::to_string(h.block_count) + " blocks";
    }
    return std::string();
}

// Checks the list digest and the file check that end `data`.
std::string check_digests(const Header& h, const std::vector<unsigned char>& data) {
    const size_t list_bytes = static_cast<size_t>(h.block_count) * kBlockDigestSize;
    const unsigned char* stored_list_digest = data.data() + list_bytes;
    const unsigned char* stored_file_check = stored_list_digest + kBlockDigestSize;
    unsigned char computed[kBlockDigestSize];
    Sha256 list;
    list.update(data.data(), list_bytes);
    if (!list.finish(computed)) return "SHA-256 is not available";
    if (memcmp(computed, stored_list_digest, kBlockDigestSize) != 0) {
        return "damaged: the list digest does not match the block digests";
    }
    Sha256 file_check;
    file_check.update(h.bytes, sizeof h.bytes);
    file_check.update(data.data(), list_bytes + kBlockDigestSize);
    if (!file_check.finish(computed)) return "SHA-256 is not available";
    if (memcmp(computed, stored_file_check, kBlockDigestSize) != 0) {
        return "damaged: the file check does not match the bytes before it";
    }
    return std::string();
}

// Reads and checks a whole manifest file from `fd`; empty, or what is wrong. `data` then holds
// the block digests.
std::string read_manifest(int fd, Header& h, std::vector<unsigned char>& data) {
    struct stat st;
    if (fstat(fd, &st) != 0) return "cannot open: " + errno_text(errno);
    if (S_ISDIR(st.st_mode)) return "cannot open: " + errno_text(EISDIR);
    const bool known_length = S_ISREG(st.st_mode);
    std::string problem = read_header(fd, h);
    if (problem.empty()) problem = check_length(h, known_length, static_cast<uint64_t>(st.st_size));
    if (problem.empty()) problem = read_body(fd, h, known_length, data);
    if (problem.empty()) problem = check_digests(h, data);
    if (problem.empty()) data.resize(static_cast<size_t>(h.block_count) * kBlockDigestSize);
    return problem;
}

}  // namespace

bool Manifest::load(const std::string& path, std::string& error) {
    const bool from_stdin = path == "-";
    const std::string name = from_stdin ? "standard input" : path;
    const int fd = from_stdin ? STDIN_FILENO : open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = name + ": cannot open: " + errno_text(errno);
        return false;
    }
    Header header;
    std::vector<unsigned char> data;
    const std::string problem = read_manifest(fd, header, data);
    if (!from_stdin) close(fd);
    if (!problem.empty()) {
        error = name + ": " + problem;
        return false;
    }
    image_size_ = header.image_size;
    block_size_ = header.block_size;
    block_count_ = header.block_count;
    digests_.swap(data);
    return true;
}

namespace {

// One hashing of an image over several threads: each worker takes the next chunk of whole
// blocks, reads it a buffer at a time and hashes its blocks into the manifest, until no chunk
// is left or one worker has failed.
class ImageHashing {
  public:
    ImageHashing(int fd, const std::string& name, Manifest& manifest, std::atomic<uint64_t>* hashed)
        : fd_(fd), name_(name), manifest_(manifest), hashed_(hashed) {
        const uint64_t block_size = manifest.block_size();
        const uint64_t read_blocks = std::max<uint64_t>(1, kReadTarget / block_size);
        const uint64_t chunk_blocks = std::max(read_blocks, kChunkTarget / block_size);
        chunk_bytes_ = chunk_blocks * block_size;
        read_bytes_ = read_blocks * block_size;
        chunks_ = blocks_for(manifest.block_count(), chunk_blocks);
        buffer_size_ = static_cast<size_t>(std::min(read_bytes_, manifest.image_size()));
    }

    // Runs `threads` workers (0: one per core), the calling thread one of them; fewer run when
    // no more can be started. False with `error` set when one failed.
    bool run(unsigned threads, std::string& error) {
        if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
        threads =
            static_cast<unsigned>(std::min<uint64_t>(threads, std::max<uint64_t>(chunks_, 1)));
        std::vector<std::thread> workers;
        for (unsigned i = 1; i < threads; ++i) {
            try {
                workers.emplace_back([this] { work(); });
            } catch (const std::system_error&) {
                break;
            }
        }
        work();
        for (std::thread& worker : workers) worker.join();
        if (failed_) error = first_error_;
        return !failed_;
    }

  private:
    void report(const std::string& text) {
        std::lock_guard<std::mutex> hold(error_lock_);
        if (first_error_.empty()) first_error_ = text;
        failed_ = true;
    }

    // Reads `length` bytes at `offset` into `buffer`, or reports why not.
    bool read_at(unsigned char* buffer, uint64_t offset, size_t length) {
        size_t done = 0;
        if (pread_all(fd_, buffer, length, offset, &done)) return true;
        if (errno == ENODATA) {
            report(name_ + ": short read at offset " + std::to_string(offset + done) +
                   " (the image ends before " + std::to_string(manifest_.image_size()) + " bytes)");
        } else {
            report(name_ + ": read at offset " + std::to_string(offset + done) +
                   " failed: " + errno_text(errno));
        }
        return false;
    }

    void work() {
        BlockHasher hasher;
        if (!hasher.ok()) return report(name_ + ": SHA-256 is not available");
        std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[buffer_size_]);
        if (buffer_size_ > 0 && buffer == nullptr) {
            return report(name_ + ": no memory for a buffer of " + std::to_string(buffer_size_) +
                          " bytes");
        }
        const uint64_t image_size = manifest_.image_size();
        for (;;) {
            if (failed_) return;
            const uint64_t chunk = next_chunk_.fetch_add(1);
            if (chunk >= chunks_) return;
            const uint64_t chunk_end = std::min(image_size, (chunk + 1) * chunk_bytes_);
            for (uint64_t offset = chunk * chunk_bytes_; offset < chunk_end;
                 offset += read_bytes_) {
                const size_t length =
                    static_cast<size_t>(std::min(read_bytes_, chunk_end - offset));
                if (!read_at(buffer.get(), offset, length)) return;
                manifest_.hash_blocks(hasher, offset / manifest_.block_size(), buffer.get(),
                                      length);
                if (!hasher.ok()) return report(name_ + ": SHA-256 failed");
                if (hashed_ != nullptr) hashed_->fetch_add(length, std::memory_order_relaxed);
            }
        }
    }

    const int fd_;
    const std::string& name_;
    Manifest& manifest_;
    std::atomic<uint64_t>* const hashed_;
    uint64_t chunk_bytes_ = 0;
    uint64_t read_bytes_ = 0;
    uint64_t chunks_ = 0;
    size_t buffer_size_ = 0;
    std::atomic<uint64_t> next_chunk_{0};
    std::atomic<bool> failed_{false};
    std::mutex error_lock_;
    std::string first_error_;
};

}  // namespace

bool hash_image(int fd, const std::string& name, uint64_t block_size, unsigned threads,
                Manifest& out, std::string& error, std::atomic<uint64_t>* hashed) {
    const off_t end = lseek(fd, 0, SEEK_END);
    if (end < 0) {
        error = name + ": cannot find the size: " + errno_text(errno);
        return false;
    }
    Manifest manifest;
    if (!manifest.reset(static_cast<uint64_t>(end), block_size, error)) {
        error = name + ": " + error;
        return false;
    }
    // Only a hint: the kernel reads further ahead.
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    if (!ImageHashing(fd, name, manifest, hashed).run(threads, error)) return false;
    out = std::move(manifest);
    return true;
}

std::vector<uint64_t> differing_blocks(const Manifest& expected, const Manifest& actual) {
    std::vector<uint64_t> blocks;
    const uint64_t count = std::max(expected.block_count(), actual.block_count());
    for (uint64_t index = 0; index < count; ++index) {
        if (!expected.same_block(index, actual)) blocks.push_back(index);
    }
    return blocks;
}

std::string describe_differences(const Manifest& expected, const Manifest& actual,
                                 const std::string& what) {
    if (expected.block_size() != actual.block_size()) {
        return what + ": the manifest has blocks of " + std::to_string(expected.block_size()) +
               " bytes, not " + std::to_string(actual.block_size()) + "\n";
    }
    if (expected.image_size() != actual.image_size()) {
        return what + ": size " + std::to_string(actual.image_size()) +
               " bytes, the manifest describes " + std::to_string(expected.image_size()) +
               " bytes\n";
    }
    const size_t kNamed = 10;
    std::string text;
    uint64_t differing = 0;
    for (uint64_t index = 0; index < expected.block_count(); ++index) {
        if (expected.same_block(index, actual)) continue;
        if (++differing <= kNamed) {
            text += what + ": block at offset " + std::to_string(expected.block_offset(index)) +
                    " (" + std::to_string(expected.block_length(index)) + " bytes) differs\n";
        }
    }
    if (differing > kNamed) {
        text += what + ": and " + std::to_string(differing - kNamed) + " more differing blocks (" +
                std::to_string(differing) + " of " + std::to_string(expected.block_count()) +
                " blocks differ)\n";
    }
    return text;
}

}  // namespace zev
