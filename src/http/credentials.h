// What identifies a caller: bearer keys (made here, hashed with SHA-256, read from the Authorization header)
// and client certificates (the SHA-256 of their DER encoding). Keys are never kept: only their hashes are.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

typedef struct x509_st X509;

namespace kestrum {

using Sha256 = std::array<unsigned char, 32>;

Sha256 sha256(std::string_view bytes);
// 64 lower-case hexadecimal digits.
std::string sha256Hex(const Sha256& hash);
// 64 hexadecimal digits in either case, or the 32 pairs separated by ":" that `openssl x509 -fingerprint
// -sha256` prints; nullopt for anything else.
std::optional<Sha256> parseSha256Hex(std::string_view text);

// The fingerprint of a certificate: SHA-256 of its DER encoding; nullopt when it cannot be encoded.
std::optional<Sha256> certificateSha256(X509* certificate);

// A fresh key: 256 bits from the system's random source, base64url without padding (43 characters); empty
// when no random bytes could be had.
std::string newCallerKey();

// True for a text that can be sent as a bearer key (RFC 6750: letters, digits, - . _ ~ + /, then "="s).
bool isBearerKey(std::string_view text);

// The key of an Authorization header value "Bearer KEY" (the scheme in any case, blanks between); nullopt
// for another scheme or a value that is not one well-formed key.
std::optional<std::string_view> bearerKey(std::string_view authorization);

}  // namespace kestrum
