// Hashes and encodings from the platform's own crypto library (libcrypto on POSIX, BCrypt and
// CryptoAPI on Windows): nothing here is written by hand.
#ifndef KEYMODEL_DIGEST_H
#define KEYMODEL_DIGEST_H

#include "KeyModel/HostKey.h"

#include <optional>
#include <string>
#include <string_view>

namespace KeyModel {

Bytes sha256(const Bytes& data);
Bytes hmacSha1(const Bytes& key, const Bytes& data);

// Standard base64 with '=' padding (OpenSSH's key and hashed-name form).
std::string base64Encode(const Bytes& data);
// nullopt when `text` is not valid padded base64.
std::optional<Bytes> base64Decode(std::string_view text);

// "SHA256:" and the unpadded base64 of the wire form's SHA-256, as `ssh-keygen -l` prints it.
std::string sha256Fingerprint(const Bytes& wire);

} // namespace KeyModel

#endif // KEYMODEL_DIGEST_H
