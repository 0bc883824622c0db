// The connection to the HXA service: the TCP socket, the TLS session over it, and the
// certificate pins a TLS connection is checked against. Internal to the library.
#ifndef QUILLONVARDE_SDK_CONNECT_H
#define QUILLONVARDE_SDK_CONNECT_H

#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include "Quillonvarde_sdk_impl.h"

namespace qvsdk {

// The SHA-256 fingerprint of a certificate (its DER form).
constexpr size_t kFingerprintSize = 32;
using Fingerprint = std::array<unsigned char, kFingerprintSize>;

// Reads a fingerprint as 32 bytes of two hexadecimal digits each, in either case, with or
// without a colon between two bytes; nothing else may stand in the text.
bool parse_fingerprint(const std::string& text, Fingerprint& out);

// Makes `pins` the object's certificate pins; an empty list removes them.
void set_pins(const CQuillonvardeSDKImpl* self, std::vector<Fingerprint> pins);

// Drops the pins of an object that goes away (another object may later get its address).
void forget_pins(const CQuillonvardeSDKImpl* self) noexcept;

// The fingerprint of the certificate the service presented on the object's TLS session,
// as upper-case byte pairs separated by colons. False, with the reason logged, when there is
// no session or no certificate.
bool peer_fingerprint(const CQuillonvardeSDKImpl* self, std::string& text);

// Makes the object's socket (m_iSocket, also when that fails), with its 30-second limits,
// and connects it to the service. False, with the reason logged, on failure.
bool connect_socket(CQuillonvardeSDKImpl& self, const std::string& serverIp, unsigned short port);

// Starts TLS on the connected socket: the context and session of the object, the handshake,
// and the check of the service's certificate against the object's pins. False, with the
// reason logged, on failure; what was made stays for DisConnectHXA to release.
bool start_tls(CQuillonvardeSDKImpl& self);

}  // namespace qvsdk

#endif  // QUILLONVARDE_SDK_CONNECT_H
