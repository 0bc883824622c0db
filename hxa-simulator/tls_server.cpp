#include "tls_server.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>

namespace hxasim {
namespace {

struct PkeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct X509Free {
    void operator()(X509* p) const { X509_free(p); }
};

bool add_throwaway_certificate(SSL_CTX* ctx, std::string& error) {
    std::unique_ptr<EVP_PKEY, PkeyFree> key(EVP_EC_gen("P-256"));
    if (!key) {
        error = "generating a key: " + openssl_error_text();
        return false;
    }
    std::unique_ptr<X509, X509Free> cert(X509_new());
    if (!cert) {
        error = "allocating a certificate: " + openssl_error_text();
        return false;
    }
    X509_NAME* name = X509_get_subject_name(cert.get());
    bool ok = X509_set_version(cert.get(), 2) == 1 &&
              ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1) == 1 &&
              X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) != nullptr &&
              X509_gmtime_adj(X509_getm_notAfter(cert.get()), 24 * 3600) != nullptr &&
              X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                         reinterpret_cast<const unsigned char*>("hxa-simulator"),
                                         -1, -1, 0) == 1 &&
              X509_set_issuer_name(cert.get(), name) == 1 &&
              X509_set_pubkey(cert.get(), key.get()) == 1 &&
              X509_sign(cert.get(), key.get(), EVP_sha256()) > 0 &&
              SSL_CTX_use_certificate(ctx, cert.get()) == 1 &&
              SSL_CTX_use_PrivateKey(ctx, key.get()) == 1;
    if (!ok) error = "making a self-signed certificate: " + openssl_error_text();
    return ok;
}

}  // namespace

std::string openssl_error_text() {
    unsigned long e = ERR_get_error();
    if (e == 0) return "no OpenSSL error queued";
    char text[256];
    ERR_error_string_n(e, text, sizeof text);
    return text;
}

bool attach_tls_socket(SSL* ssl, int fd, int out_buffer) {
    BIO* in = BIO_new_socket(fd, BIO_NOCLOSE);
    BIO* sock = BIO_new_socket(fd, BIO_NOCLOSE);
    BIO* out = BIO_new(BIO_f_buffer());
    if (in == nullptr || sock == nullptr || out == nullptr ||
        BIO_set_write_buffer_size(out, out_buffer) != 1) {
        BIO_free(in);
        BIO_free(sock);
        BIO_free(out);
        return false;
    }
    BIO_push(out, sock);
    SSL_set_bio(ssl, in, out);  // the session owns both from here
    return true;
}

bool flush_tls_output(SSL* ssl) {
    BIO* out = SSL_get_wbio(ssl);
    return out == nullptr || BIO_wpending(out) == 0 || BIO_flush(out) == 1;
}

std::string certificate_fingerprint(SSL_CTX* ctx, std::string& error) {
    X509* cert = SSL_CTX_get0_certificate(ctx);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (cert == nullptr || X509_digest(cert, EVP_sha256(), digest, &size) != 1 || size != 32) {
        error = "computing the certificate's fingerprint: " + openssl_error_text();
        return "";
    }
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned int i = 0; i < size; ++i) {
        if (i > 0) text += ':';
        text += kDigits[digest[i] >> 4];
        text += kDigits[digest[i] & 0xF];
    }
    return text;
}

SSL_CTX* make_server_context(const std::string& cert_file, const std::string& key_file,
                             std::string& error) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (ctx == nullptr) {
        error = "creating the TLS context: " + openssl_error_text();
        return nullptr;
    }
    bool ok;
    if (cert_file.empty()) {
        ok = add_throwaway_certificate(ctx, error);
    } else {
        ok = SSL_CTX_use_certificate_chain_file(ctx, cert_file.c_str()) == 1 &&
             SSL_CTX_use_PrivateKey_file(ctx, key_file.c_str(), SSL_FILETYPE_PEM) == 1 &&
             SSL_CTX_check_private_key(ctx) == 1;
        if (!ok) error = "loading " + cert_file + " and " + key_file + ": " + openssl_error_text();
    }
    if (!ok) {
        SSL_CTX_free(ctx);
        return nullptr;
    }
    return ctx;
}

}  // namespace hxasim
