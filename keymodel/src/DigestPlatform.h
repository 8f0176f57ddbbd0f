// What each platform's crypto library provides (PosixDigest.cpp, Win32Digest.cpp); the portable
// rules around it (which base64 texts are valid) live in Digest.cpp.
#ifndef KEYMODEL_DIGESTPLATFORM_H
#define KEYMODEL_DIGESTPLATFORM_H

#include "KeyModel/HostKey.h"

#include <string>
#include <string_view>

namespace KeyModel::detail {

Bytes platformSha256(const Bytes& data);
Bytes platformHmacSha1(const Bytes& key, const Bytes& data);
std::string platformBase64Encode(const Bytes& data);
// `text` is already known to be valid padded base64 of `size` bytes.
Bytes platformBase64Decode(std::string_view text, std::size_t size);

} // namespace KeyModel::detail

#endif // KEYMODEL_DIGESTPLATFORM_H
