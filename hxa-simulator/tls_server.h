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

// The text of the oldest queued OpenSSL error, or a fixed text when there is none.
std::string openssl_error_text();

}  // namespace hxasim

#endif  // HXA_SIMULATOR_TLS_SERVER_H
