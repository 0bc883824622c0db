// TLS side of the HXA service simulator: the server context, with a certificate from files
// or a throwaway self-signed one made at start.
#ifndef HXA_SIMULATOR_TLS_SERVER_H
#define HXA_SIMULATOR_TLS_SERVER_H

#include <openssl/ssl.h>

#include <string>

namespace hxasim {

// A server context; with empty file names a fresh P-256 key and a self-signed certificate
// (CN "hxa-simulator", valid one day) are generated. Null with a reason on failure.
SSL_CTX* make_server_context(const std::string& cert_file, const std::string& key_file,
                             std::string& error);

// Attaches `ssl` to the connected socket `fd` like SSL_set_fd, with the outgoing records
// gathered in a buffer of `out_buffer` bytes, so that a large reply leaves in a few large
// socket writes instead of one write per record. Whoever writes must flush the write BIO
// (flush_tls_output) before waiting for the peer. False on failure, the reason queued as an
// OpenSSL error.
bool attach_tls_socket(SSL* ssl, int fd, int out_buffer);

// Sends what the write BIO of `ssl` still holds; true when nothing is left.
bool flush_tls_output(SSL* ssl);

// The SHA-256 fingerprint of the context's certificate (its DER form) as OpenSSL prints it:
// 32 upper-case byte pairs separated by colons. Empty with a reason on failure.
std::string certificate_fingerprint(SSL_CTX* ctx, std::string& error);

// The text of the oldest queued OpenSSL error, or a fixed text when there is none.
std::string openssl_error_text();

}  // namespace hxasim

#endif  // HXA_SIMULATOR_TLS_SERVER_H
