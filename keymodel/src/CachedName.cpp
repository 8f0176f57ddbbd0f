#include "KeyModel/CachedName.h"
#include "HexDigit.h"

namespace KeyModel {

namespace {

const char hexDigits[] = "0123456789ABCDEF";

// PuTTY writes the port with "%d": no sign, no leading zero.
std::optional<unsigned> parsePort(std::string_view text) {
    if (text.empty() || text.size() > 5 || text[0] == '0') {
        return std::nullopt;
    }
    unsigned port = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        port = port * 10 + static_cast<unsigned>(c - '0');
    }
    if (port > 65535) {
        return std::nullopt;
    }
    return port;
}

} // namespace

std::optional<CachedName> parseCachedName(std::string_view name) {
    const std::size_t at = name.find('@');
    if (at == std::string_view::npos || at == 0) {
        return std::nullopt;
    }
    const std::size_t colon = name.find(':', at + 1);
    // plink stores an empty host for some targets (`ssh-ed25519@65535:`).
    if (colon == std::string_view::npos) {
        return std::nullopt;
    }
    const std::optional<unsigned> port = parsePort(name.substr(at + 1, colon - at - 1));
    if (!port) {
        return std::nullopt;
    }
    return CachedName{std::string(name.substr(0, at)), *port, std::string(name.substr(colon + 1))};
}

std::string composeCachedName(const CachedName& name) {
    return name.keyType + "@" + std::to_string(name.port) + ":" + name.host;
}

std::string escapeHost(std::string_view host) {
    std::string stored;
    stored.reserve(host.size());
    for (std::size_t i = 0; i < host.size(); ++i) {
        const auto byte = static_cast<unsigned char>(host[i]);
        if (byte == ' ' || byte == '\\' || byte == '*' || byte == '?' || byte == '%' ||
            byte < ' ' || byte > '~' || (byte == '.' && i == 0)) {
            stored += '%';
            stored += hexDigits[byte >> 4];
            stored += hexDigits[byte & 0xF];
        } else {
            stored += static_cast<char>(byte);
        }
    }
    return stored;
}

std::string unescapeHost(std::string_view stored) {
    std::string host;
    host.reserve(stored.size());
    for (std::size_t i = 0; i < stored.size(); ++i) {
        if (stored[i] == '%' && i + 2 < stored.size() && detail::hexValue(stored[i + 1]) >= 0 &&
            detail::hexValue(stored[i + 2]) >= 0) {
            host += static_cast<char>(detail::hexValue(stored[i + 1]) * 16 +
                                      detail::hexValue(stored[i + 2]));
            i += 2;
        } else {
            host += stored[i];
        }
    }
    return host;
}

std::string knownHostsHost(std::string_view host, unsigned port) {
    if (port == 22) {
        return std::string(host);
    }
    return "[" + std::string(host) + "]:" + std::to_string(port);
}

} // namespace KeyModel
