// Block manifests: the SHA-256 of every block of an image, with the image's size and block
// size, in a small versioned file that checks itself. A manifest stands in for an image
// wherever only "is this block the same?" is asked: an incremental backup compares a disk
// against the manifest of its last backup instead of against a second full image, and a
// restore proves its result bit for bit against the manifest of what was backed up.
//
// File layout (all integers little-endian), described with its reasons in
// docs/block-manifest.md:
//
//   offset  size  field
//   0       8     magic "ZEVBMAN\n"
//   8       4     format version, 1
//   12      4     block size in bytes, 1 to ZEV_MAX_BLOCK_SIZE
//   16      8     image size in bytes
//   24      8     block count, ceil(image size / block size)
//   32      32*n  SHA-256 of each block in offset order (the last one may be shorter)
//   32+32n  32    list digest: SHA-256 of the n block digests as stored
//   64+32n  32    file check: SHA-256 of every byte before it
//
// The same image and block size always give the same bytes.
#ifndef ZEV_STREAM_BLOCK_MANIFEST_H
#define ZEV_STREAM_BLOCK_MANIFEST_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sha256.h"

namespace zev {

constexpr size_t kBlockDigestSize = kSha256Size;

class Manifest {
  public:
    Manifest() = default;
    // An image of `image_size` bytes in blocks of `block_size`; every digest starts zero.
    // False with `error` set when the block size is 0 or above ZEV_MAX_BLOCK_SIZE, or the
    // list cannot be allocated.
    bool reset(uint64_t image_size, uint64_t block_size, std::string& error);

    uint64_t image_size() const { return image_size_; }
    uint64_t block_size() const { return block_size_; }
    uint64_t block_count() const { return block_count_; }
    uint64_t block_offset(uint64_t index) const { return index * block_size_; }
    // The block size, or what is left of the image for the last block.
    uint64_t block_length(uint64_t index) const;

    unsigned char* digest(uint64_t index) { return &digests_[index * kBlockDigestSize]; }
    const unsigned char* digest(uint64_t index) const {
        return &digests_[index * kBlockDigestSize];
    }
    bool same_block(uint64_t index, const Manifest& other) const;

    // Hashes the consecutive blocks that start at block `first` from `data`, which holds
    // `length` bytes from that block's offset on: whole blocks, or up to the image's end.
    void hash_blocks(BlockHasher& hasher, uint64_t first, const void* data, size_t length);

    // The list digest in lower-case hexadecimal (64 characters).
    std::string list_digest_hex() const;

    // Writes the manifest to `path` through a new file "<path>.XXXXXX" (a unique name,
    // created exclusively, mode 0600), flushed to stable storage and then renamed, so that
    // `path` is either the old file or the complete new one. "-" writes to standard output. False
    // with `error` ("<path>: <reason>") set.
    bool save(const std::string& path, std::string& error) const;
    // Reads and checks a manifest: magic, version, block size, the file's length against the
    // block count, the list digest and the file check. False with `error` set
    // ("<path>: <reason>"), leaving this manifest as it was.
    bool load(const std::string& path, std::string& error);

  private:
    uint64_t image_size_ = 0;
    uint64_t block_size_ = 0;
    uint64_t block_count_ = 0;
    std::vector<unsigned char> digests_;
};

// Hashes the image open on `fd` (its whole size as found by seeking to its end; the file
// position is not used) in blocks of `block_size` with `threads` threads (0: one per core),
// into `out`. False with `error` set ("<name>: <reason>"). `hashed` (may be null) grows by the
// bytes of every read once they are hashed, for a progress display.
bool hash_image(int fd, const std::string& name, uint64_t block_size, unsigned threads,
                Manifest& out, std::string& error, std::atomic<uint64_t>* hashed = nullptr);

// The blocks in which `actual` differs from `expected`, which must have the same image and
// block size.
std::vector<uint64_t> differing_blocks(const Manifest& expected, const Manifest& actual);

// Checks `actual` against `expected` and describes every difference for a person, one line
// each (each ends in "\n"), naming `what` (an image's path):
//   "<what>: size S bytes, the manifest describes T bytes"
//   "<what>: block at offset O (L bytes) differs"          the first ten blocks
//   "<what>: and K more differing blocks (N of C blocks differ)"
// Empty when they match. A manifest of another block size gives
//   "<what>: the manifest has blocks of B bytes, not D".
std::string describe_differences(const Manifest& expected, const Manifest& actual,
                                 const std::string& what);

}  // namespace zev

#endif  // ZEV_STREAM_BLOCK_MANIFEST_H
