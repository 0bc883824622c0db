// SHA-256 through libcrypto's EVP interface, with the digest fetched once per object.
#include "sha256.h"

#include <openssl/evp.h>
#include <string.h>

namespace zev {
namespace {

EVP_MD_CTX* context(void* p) { return static_cast<EVP_MD_CTX*>(p); }
EVP_MD* digest(void* p) { return static_cast<EVP_MD*>(p); }

}  // namespace

Sha256::Sha256() : ctx_(EVP_MD_CTX_new()), md_(EVP_MD_fetch(nullptr, "SHA256", nullptr)) {
    ok_ = ctx_ != nullptr && md_ != nullptr &&
          EVP_DigestInit_ex2(context(ctx_), digest(md_), nullptr) == 1;
}

Sha256::~Sha256() {
    EVP_MD_CTX_free(context(ctx_));
    EVP_MD_free(digest(md_));
}

void Sha256::update(const void* data, size_t length) {
    if (ok_ && length > 0) ok_ = EVP_DigestUpdate(context(ctx_), data, length) == 1;
}

bool Sha256::finish(unsigned char out[kSha256Size]) {
    unsigned int n = 0;
    if (ok_) ok_ = EVP_DigestFinal_ex(context(ctx_), out, &n) == 1 && n == kSha256Size;
    return ok_;
}

BlockHasher::BlockHasher()
    : ctx_(EVP_MD_CTX_new()), md_(EVP_MD_fetch(nullptr, "SHA256", nullptr)) {}

BlockHasher::~BlockHasher() {
    EVP_MD_CTX_free(context(ctx_));
    EVP_MD_free(digest(md_));
}

bool BlockHasher::ok() const { return ctx_ != nullptr && md_ != nullptr; }

void BlockHasher::hash(const void* data, size_t length, unsigned char out[kSha256Size]) {
    EVP_MD_CTX* ctx = context(ctx_);
    unsigned int n = 0;
    if (ok() && EVP_DigestInit_ex2(ctx, digest(md_), nullptr) == 1 &&
        EVP_DigestUpdate(ctx, data, length) == 1 && EVP_DigestFinal_ex(ctx, out, &n) == 1 &&
        n == kSha256Size) {
        return;
    }
    // A digest that could not be taken: the hasher is no longer ok(), which its user checks
    // after hashing, and the digest is zero rather than left undefined.
    memset(out, 0, kSha256Size);
    EVP_MD_CTX_free(ctx);
    ctx_ = nullptr;
}

std::string to_hex(const unsigned char* data, size_t length) {
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(2 * length);
    for (size_t i = 0; i < length; ++i) {
        hex.push_back(kHex[data[i] >> 4]);
        hex.push_back(kHex[data[i] & 0xF]);
    }
    return hex;
}

}  // namespace zev
