// The rules both platforms share: which base64 texts are accepted, and the fingerprint's form.
#include "KeyModel/Digest.h"

#include "DigestPlatform.h"

namespace KeyModel {

namespace {

// The 6-bit values of base64's characters, -1 for every other byte: a key's text is looked up
// character by character, several times in an import of many keys.
struct Base64Values {
    signed char value[256];

    constexpr Base64Values() : value() {
        for (int c = 0; c < 256; ++c) {
            value[c] = c >= 'A' && c <= 'Z'   ? static_cast<signed char>(c - 'A')
                       : c >= 'a' && c <= 'z' ? static_cast<signed char>(c - 'a' + 26)
                       : c >= '0' && c <= '9' ? static_cast<signed char>(c - '0' + 52)
                       : c == '+'             ? 62
                       : c == '/'             ? 63
                                              : -1;
        }
    }
};
constexpr Base64Values base64Values;

// The 6-bit value of a base64 character, or -1.
int base64Value(char c) {
    return base64Values.value[static_cast<unsigned char>(c)];
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
