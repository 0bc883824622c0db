// Block manifests: hashing an image block by block over several threads, and the manifest
// file (writing it through a temporary file, reading it back with every check).
#include "block-manifest.h"

#include <errno.h>
#include <fcntl.h>
#include <openssl/evp.h>
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

#include "diff-tool.h"

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

// A SHA-256 fed in pieces, for the file check over everything a manifest file holds.
class StreamDigest {
  public:
    StreamDigest() : ctx_(EVP_MD_CTX_new()), md_(EVP_MD_fetch(nullptr, "SHA256", nullptr)) {
        ok_ = ctx_ != nullptr && md_ != nullptr && EVP_DigestInit_ex2(ctx_, md_, nullptr) == 1;
    }
    ~StreamDigest() {
        EVP_MD_CTX_free(ctx_);
        EVP_MD_free(md_);
    }
    StreamDigest(const StreamDigest&) = delete;
    StreamDigest& operator=(const StreamDigest&) = delete;
    void update(const void* data, size_t length) {
        if (ok_ && length > 0) ok_ = EVP_DigestUpdate(ctx_, data, length) == 1;
    }
    // False when any step failed; `out` is then undefined.
    bool finish(unsigned char out[kBlockDigestSize]) {
        unsigned int n = 0;
        if (ok_) ok_ = EVP_DigestFinal_ex(ctx_, out, &n) == 1 && n == kBlockDigestSize;
        return ok_;
    }

  private:
    EVP_MD_CTX* ctx_;
    EVP_MD* md_;
    bool ok_ = false;
};

// The list digest of `digests` (the block digests as stored).
bool list_digest(const std::vector<unsigned char>& digests, unsigned char out[kBlockDigestSize]) {
    StreamDigest digest;
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

// Writes all of `data`; false with errno set (ENOSPC for a write that made no progress).
bool write_all(int fd, const unsigned char* data, size_t length) {
    while (length > 0) {
        const ssize_t n = write(fd, data, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            return false;
        }
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

// Reads up to `length` bytes, fewer only at the end of the file. -1 with errno set on error.
ssize_t read_full(int fd, unsigned char* data, size_t length) {
    size_t done = 0;
    while (done < length) {
        const ssize_t n = read(fd, data + done, length - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

// The folder that holds `path`, for the fsync that makes a rename durable.
std::string folder_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

}  // namespace

BlockHasher::BlockHasher()
    : ctx_(EVP_MD_CTX_new()), md_(EVP_MD_fetch(nullptr, "SHA256", nullptr)) {}

BlockHasher::~BlockHasher() {
    EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(ctx_));
    EVP_MD_free(static_cast<EVP_MD*>(md_));
}

bool BlockHasher::ok() const { return ctx_ != nullptr && md_ != nullptr; }

void BlockHasher::hash(const void* data, size_t length, unsigned char out[kBlockDigestSize]) {
    EVP_MD_CTX* ctx = static_cast<EVP_MD_CTX*>(ctx_);
    unsigned int n = 0;
    if (ok() && EVP_DigestInit_ex2(ctx, static_cast<EVP_MD*>(md_), nullptr) == 1 &&
        EVP_DigestUpdate(ctx, data, length) == 1 && EVP_DigestFinal_ex(ctx, out, &n) == 1 &&
        n == kBlockDigestSize) {
        return;
    }
    // A digest that could not be taken: the hasher is no longer ok(), which its user checks
    // after hashing, and the digest is zero rather than left undefined.
    memset(out, 0, kBlockDigestSize);
    EVP_MD_CTX_free(ctx);
    ctx_ = nullptr;
}

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
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(2 * kBlockDigestSize);
    for (unsigned char byte : digest) {
        hex.push_back(kHex[byte >> 4]);
        hex.push_back(kHex[byte & 0xF]);
    }
    return hex;
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
    StreamDigest file_check;
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
        return write_all(fd, header, sizeof header) &&
               write_all(fd, digests_.data(), digests_.size()) &&
               write_all(fd, trailer, sizeof trailer);
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
    const std::string folder = folder_of(path);
    const int folder_fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder_fd < 0 || fsync(folder_fd) != 0) {
        saved = errno;
        if (folder_fd >= 0) close(folder_fd);
        error = path + ": flushing the folder " + folder +
                " to stable storage failed: " + errno_text(saved);
        return false;
    }
    close(folder_fd);
    return true;
}

bool Manifest::load(const std::string& path, std::string& error) {
    const bool from_stdin = path == "-";
    const std::string name = from_stdin ? "standard input" : path;
    const int fd = from_stdin ? STDIN_FILENO : open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = name + ": cannot open: " + errno_text(errno);
        return false;
    }
    struct Closer {
        int fd;
        bool owned;
        ~Closer() {
            if (owned) close(fd);
        }
    } closer{fd, !from_stdin};
    auto fail = [&](const std::string& reason) {
        error = name + ": " + reason;
        return false;
    };

    struct stat st;
    if (fstat(fd, &st) != 0) return fail("cannot open: " + errno_text(errno));
    if (S_ISDIR(st.st_mode)) return fail("cannot open: " + errno_text(EISDIR));
    const bool known_length = S_ISREG(st.st_mode);
    const uint64_t smallest = kHeaderSize + kTrailerSize;

    unsigned char header[kHeaderSize];
    const ssize_t got = read_full(fd, header, sizeof header);
    if (got < 0) return fail("read failed: " + errno_text(errno));
    const size_t header_bytes = static_cast<size_t>(got);
    if (header_bytes >= sizeof kMagic && memcmp(header, kMagic, sizeof kMagic) != 0) {
        return fail("not a block manifest (wrong magic)");
    }
    if (header_bytes < kHeaderSize) {
        return fail("too short to be a block manifest (" + std::to_string(header_bytes) +
                    " bytes; the smallest has " + std::to_string(smallest) + ")");
    }
    const uint64_t version = get_le(header + 8, 4);
    const uint64_t block_size = get_le(header + 12, 4);
    const uint64_t image_size = get_le(header + 16, 8);
    const uint64_t block_count = get_le(header + 24, 8);
    if (version != kVersion) {
        return fail("format version " + std::to_string(version) + ", this program reads version " +
                    std::to_string(kVersion));
    }
    std::string problem = block_size_problem(block_size);
    if (!problem.empty()) return fail(problem);
    const uint64_t expected_count = blocks_for(image_size, block_size);
    if (block_count != expected_count) {
        return fail("block count " + std::to_string(block_count) + " does not match " +
                    std::to_string(image_size) + " bytes in blocks of " +
                    std::to_string(block_size) + " (" + std::to_string(expected_count) +
                    " blocks)");
    }
    // The length the header asks for is checked against the file before anything is allocated
    // for it.
    const bool representable = block_count <= (UINT64_MAX - smallest) / kBlockDigestSize;
    const uint64_t total = representable ? smallest + block_count * kBlockDigestSize : UINT64_MAX;
    const uint64_t body = total - kHeaderSize;
    const std::string need = representable ? std::to_string(total) : std::string("more than 2^64");
    auto length_problem = [&](uint64_t actual) {
        return std::string(actual < total ? "truncated" : "trailing bytes") + ": " +
               std::to_string(actual) + " bytes, " + std::to_string(block_count) + " blocks need " +
               need;
    };
    if (known_length && static_cast<uint64_t>(st.st_size) != total) {
        return fail(length_problem(static_cast<uint64_t>(st.st_size)));
    }
    if (!representable) {
        return fail("block count " + std::to_string(block_count) + " needs more than 2^64 bytes");
    }
    if (body > SIZE_MAX) {
        return fail("no memory for the digests of " + std::to_string(block_count) + " blocks");
    }

    // A pipe's length is only known at its end: the buffer grows with what arrives.
    std::vector<unsigned char> data;
    try {
        if (known_length) data.reserve(static_cast<size_t>(body));
        while (data.size() < body) {
            const size_t start = data.size();
            const size_t step = static_cast<size_t>(
                std::min<uint64_t>(body - start, std::max<size_t>(start, 1u << 20)));
            data.resize(start + step);
            const ssize_t n = read_full(fd, data.data() + start, step);
            if (n < 0) return fail("read failed: " + errno_text(errno));
            if (static_cast<size_t>(n) < step) {
                return fail(length_problem(kHeaderSize + start + static_cast<size_t>(n)));
            }
        }
    } catch (const std::bad_alloc&) {
        return fail("no memory for the digests of " + std::to_string(block_count) + " blocks");
    }
    unsigned char extra;
    const ssize_t more = read_full(fd, &extra, 1);
    if (more < 0) return fail("read failed: " + errno_text(errno));
    if (more > 0) {
        // Only the file's end is known here, not its length, unless it is a regular file.
        return fail(known_length ? length_problem(kHeaderSize + body + 1)
                                 : "trailing bytes after the " + need + " bytes of " +
                                       std::to_string(block_count) + " blocks");
    }

    const size_t list_bytes = static_cast<size_t>(block_count) * kBlockDigestSize;
    const unsigned char* stored_list_digest = data.data() + list_bytes;
    const unsigned char* stored_file_check = stored_list_digest + kBlockDigestSize;
    unsigned char computed[kBlockDigestSize];
    StreamDigest list;
    list.update(data.data(), list_bytes);
    if (!list.finish(computed)) return fail("SHA-256 is not available");
    if (memcmp(computed, stored_list_digest, kBlockDigestSize) != 0) {
        return fail("damaged: the list digest does not match the block digests");
    }
    StreamDigest file_check;
    file_check.update(header, sizeof header);
    file_check.update(data.data(), list_bytes + kBlockDigestSize);
    if (!file_check.finish(computed)) return fail("SHA-256 is not available");
    if (memcmp(computed, stored_file_check, kBlockDigestSize) != 0) {
        return fail("damaged: the file check does not match the bytes before it");
    }

    data.resize(list_bytes);
    image_size_ = image_size;
    block_size_ = block_size;
    block_count_ = block_count;
    digests_.swap(data);
    return true;
}

bool hash_image(int fd, const std::string& name, uint64_t block_size, unsigned threads,
                Manifest& out, std::string& error) {
    const off_t end = lseek(fd, 0, SEEK_END);
    if (end < 0) {
        error = name + ": cannot find the size: " + errno_text(errno);
        return false;
    }
    const uint64_t image_size = static_cast<uint64_t>(end);
    Manifest manifest;
    if (!manifest.reset(image_size, block_size, error)) {
        error = name + ": " + error;
        return false;
    }
    // Only a hint: the kernel reads further ahead.
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);

    const uint64_t read_blocks = std::max<uint64_t>(1, kReadTarget / block_size);
    const uint64_t chunk_blocks = std::max(read_blocks, kChunkTarget / block_size);
    const uint64_t chunk_bytes = chunk_blocks * block_size;
    const uint64_t read_bytes = read_blocks * block_size;
    const uint64_t chunks = blocks_for(manifest.block_count(), chunk_blocks);
    if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
    threads = static_cast<unsigned>(std::min<uint64_t>(threads, std::max<uint64_t>(chunks, 1)));
    const size_t buffer_size = static_cast<size_t>(std::min(read_bytes, image_size));

    std::atomic<uint64_t> next_chunk{0};
    std::atomic<bool> failed{false};
    std::mutex error_lock;
    std::string first_error;
    auto report = [&](const std::string& text) {
        std::lock_guard<std::mutex> hold(error_lock);
        if (first_error.empty()) first_error = text;
        failed = true;
    };
    // Reads `length` bytes at `offset` into `buffer`, or reports why not.
    auto read_at = [&](unsigned char* buffer, uint64_t offset, size_t length) {
        size_t done = 0;
        while (done < length) {
            const ssize_t n =
                pread(fd, buffer + done, length - done, static_cast<off_t>(offset + done));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                report(name + ": read at offset " + std::to_string(offset + done) +
                       " failed: " + errno_text(errno));
                return false;
            }
            if (n == 0) {
                report(name + ": short read at offset " + std::to_string(offset + done) +
                       " (the image ends before " + std::to_string(image_size) + " bytes)");
                return false;
            }
            done += static_cast<size_t>(n);
        }
        return true;
    };
    // Each worker takes the next chunk of whole blocks until none is left or one has failed.
    auto work = [&]() {
        BlockHasher hasher;
        if (!hasher.ok()) return report(name + ": SHA-256 is not available");
        std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[buffer_size]);
        if (buffer_size > 0 && buffer == nullptr) {
            return report(name + ": no memory for a buffer of " + std::to_string(buffer_size) +
                          " bytes");
        }
        for (;;) {
            if (failed) return;
            const uint64_t chunk = next_chunk.fetch_add(1);
            if (chunk >= chunks) return;
            const uint64_t chunk_end = std::min(image_size, (chunk + 1) * chunk_bytes);
            for (uint64_t offset = chunk * chunk_bytes; offset < chunk_end; offset += read_bytes) {
                const size_t length = static_cast<size_t>(std::min(read_bytes, chunk_end - offset));
                if (!read_at(buffer.get(), offset, length)) return;
                manifest.hash_blocks(hasher, offset / block_size, buffer.get(), length);
                if (!hasher.ok()) return report(name + ": SHA-256 failed");
            }
        }
    };

    // The calling thread is one of the workers; fewer threads run when no more can be started.
    std::vector<std::thread> workers;
    for (unsigned i = 1; i < threads; ++i) {
        try {
            workers.emplace_back(work);
        } catch (const std::system_error&) {
            break;
        }
    }
    work();
    for (std::thread& worker : workers) worker.join();
    if (failed) {
        error = first_error;
        return false;
    }
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
