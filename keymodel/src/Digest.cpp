// The rules both platforms share: which base64 texts are accepted, and the fingerprint's form.
#include "KeyModel/Digest.h"

#include "DigestPlatform.h"

namespace KeyModel {

namespace {

// The 6-bit value of a base64 character, or -1.
int base64Value(char c) {
    if (c >= 'A' && c <= 'Z') {
        return c - 'A';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 26;
    }
    if (c >= '0' && c <= '9') {
        return c - '0' + 52;
    }
    if (c == '+') {
        return 62;
    }
    if (c == '/') {
        return 63;
    }
    return -1;
}

} // namespace

Bytes sha256(const Bytes& data) {
    return detail::platformSha256(data);
}

Bytes hmacSha1(const Bytes& key, const Bytes& data) {
    return detail::platformHmacSha1(key, data);
}

std::string base64Encode(const Bytes& data) {
    return data.empty() ? std::string() : detail::platformBase64Encode(data);
}

std::optional<Bytes> base64Decode(std::string_view text) {
    // Checked here, not left to the libraries: CryptoAPI skips whitespace and takes missing
    // padding, libcrypto skips blanks around the text. Only the one text encode gives back
    // is valid (unused bits of the last character zero), as OpenSSH's decoder requires.
    if (text.size() % 4 != 0) {
        return std::nullopt;
    }
    if (text.empty()) {
        return Bytes();
    }
    std::size_t padding = 0;
    while (padding < 2 && text[text.size() - 1 - padding] == '=') {
        ++padding;
    }
    const std::size_t digits = text.size() - padding;
    for (std::size_t i = 0; i < digits; ++i) {
        if (base64Value(text[i]) < 0) {
            return std::nullopt;
        }
    }
    const int last = base64Value(text[digits - 1]);
    if ((padding == 1 && (last & 0x3) != 0) || (padding == 2 && (last & 0xF) != 0)) {
        return std::nullopt;
    }
    return detail::platformBase64Decode(text, text.size() / 4 * 3 - padding);
}

std::string sha256Fingerprint(const Bytes& wire) {
    std::string encoded = base64Encode(sha256(wire));
    while (!encoded.empty() && encoded.back() == '=') {
        encoded.pop_back();
    }
    return "SHA256:" + encoded;
}

} // namespace KeyModel
