// Hashes and base64 from OpenSSL's libcrypto.
#include "DigestPlatform.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <climits>
#include <stdexcept>

namespace KeyModel::detail {

namespace {

[[noreturn]] void cryptoFailed(const char* what) {
    throw std::runtime_error(std::string("libcrypto: ") + what + " failed");
}

// Fetched once: OpenSSL 3 looks EVP_sha256() up in its providers on every digest, which costs
// more than hashing a key.
const EVP_MD* sha256Method() {
    static const EVP_MD* const fetched = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return fetched != nullptr ? fetched : EVP_sha256();
}

} // namespace

Bytes platformSha256(const Bytes& data) {
    Bytes digest(EVP_MAX_MD_SIZE);
    unsigned int size = 0;
    if (EVP_Digest(data.data(), data.size(), digest.data(), &size, sha256Method(), nullptr) != 1) {
        cryptoFailed("SHA-256");
    }
    digest.resize(size);
    return digest;
}

Bytes platformHmacSha1(const Bytes& key, const Bytes& data) {
    if (key.size() > INT_MAX) {
        throw std::length_error("HMAC key too long");
    }
    Bytes mac(EVP_MAX_MD_SIZE);
    unsigned int size = 0;
    if (HMAC(EVP_sha1(), key.data(), static_cast<int>(key.size()), data.data(), data.size(),
             mac.data(), &size) == nullptr) {
        cryptoFailed("HMAC-SHA1");
    }
    mac.resize(size);
    return mac;
}

std::string platformBase64Encode(const Bytes& data) {
    if (data.size() > INT_MAX / 4 * 3) {
        throw std::length_error("base64 input too long");
    }
    // Four characters per three bytes, and the NUL that EVP_EncodeBlock writes.
    std::string text((data.size() + 2) / 3 * 4 + 1, '\0');
    const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), data.data(),
                                        static_cast<int>(data.size()));
    text.resize(static_cast<std::size_t>(written));
    return text;
}

Bytes platformBase64Decode(std::string_view text, std::size_t size) {
    if (text.size() > INT_MAX) {
        throw std::length_error("base64 text too long");
    }
    // EVP_DecodeBlock counts the padding as zero bytes: `size` is what they stand for.
    Bytes data(text.size() / 4 * 3);
    if (EVP_DecodeBlock(data.data(), reinterpret_cast<const unsigned char*>(text.data()),
                        static_cast<int>(text.size())) < 0) {
        cryptoFailed("base64 decode");
    }
    data.resize(size);
    return data;
}

} // namespace KeyModel::detail
