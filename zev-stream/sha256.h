// SHA-256 through OpenSSL's libcrypto, for block manifests and every program that digests what
// it moves, and the lower-case hexadecimal form digests are shown in.
#ifndef ZEV_STREAM_SHA256_H
#define ZEV_STREAM_SHA256_H

#include <cstddef>
#include <string>

namespace zev {

constexpr size_t kSha256Size = 32;

// A SHA-256 fed in pieces.
class Sha256 {
  public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;
    // False once any step has failed (or the digest could not be set up).
    bool ok() const { return ok_; }
    void update(const void* data, size_t length);
    // False when any step failed; `out` is then undefined.
    bool finish(unsigned char out[kSha256Size]);

  private:
    void* ctx_;
    void* md_;
    bool ok_ = false;
};

// SHA-256 of whole blocks, one object per thread: it keeps its digest context between blocks.
class BlockHasher {
  public:
    BlockHasher();
    ~BlockHasher();
    BlockHasher(const BlockHasher&) = delete;
    BlockHasher& operator=(const BlockHasher&) = delete;
    // False when the digest could not be set up; hash() then must not be called. A digest
    // that fails inside hash() is written as zeros and leaves ok() false from then on, so a
    // caller checks ok() after hashing.
    bool ok() const;
    void hash(const void* data, size_t length, unsigned char out[kSha256Size]);

  private:
    void* ctx_;
    void* md_;
};

// `length` bytes in lower-case hexadecimal, two digits a byte.
std::string to_hex(const unsigned char* data, size_t length);

}  // namespace zev

#endif
