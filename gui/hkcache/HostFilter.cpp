// Host patterns and the filter of a list.
#include "HostFilter.h"
#include "Caches.h"

#include "KeyModel/HostKey.h"

#include <algorithm>

namespace hkcache {
namespace {

// PuTTY may have been given an IPv6 address in brackets and kept them.
std::string_view withoutBrackets(std::string_view host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        return host.substr(1, host.size() - 2);
    }
    return host;
}

// `user@host` as ssh and plink take it: the user ends at the last '@' (a user name may hold
// one), and never inside brackets.
std::string_view withoutUser(std::string_view text) {
    const std::size_t at = text.substr(0, text.find('[')).rfind('@');
    return at == std::string_view::npos ? text : text.substr(at + 1);
}

} // namespace

std::string puttyTypeName(std::string_view type) {
    // ssh-keygen's names: PuTTY's `rsa` (SSH-1) would silently match nothing on a cache of today.
    // The registry's case-blind names would let `RSA` reach the SSH-1 keys again.
    const bool ignoreCase = namesIgnoreCase();
    if (sameText(type, "rsa", ignoreCase)) {
        return "rsa2";
    }
    if (sameText(type, "rsa1", ignoreCase)) {
        return "rsa";
    }
    const std::string putty = KeyModel::puttyTypeOf(type);
    return putty.empty() ? std::string(type) : putty;
}

std::vector<std::string> keyTypeNames() {
    std::vector<std::string> names = KeyModel::keyTypeNames();
    names.emplace_back("rsa1");
    return names;
}

std::optional<unsigned> parsePort(std::string_view text) {
    if (text.empty() || text.size() > 5) {
        return std::nullopt;
    }
    unsigned port = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        port = port * 10 + unsigned(c - '0');
    }
    if (port < 1 || port > 65535) {
        return std::nullopt;
    }
    return port;
}

std::optional<HostPattern> parseHostPattern(std::string_view text) {
    HostPattern pattern;
    text = withoutUser(text);
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos) {
            return std::nullopt;
        }
        pattern.host = std::string(text.substr(1, close - 1));
        std::string_view rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':' || !(pattern.port = parsePort(rest.substr(1)))) {
                return std::nullopt;
            }
        }
    } else {
        const std::size_t colon = text.find(':');
        // More than one colon: an IPv6 address, no port.
        if (colon != std::string_view::npos &&
            text.find(':', colon + 1) == std::string_view::npos) {
            if (!(pattern.port = parsePort(text.substr(colon + 1)))) {
                return std::nullopt;
            }
            text = text.substr(0, colon);
        }
        pattern.host = std::string(text);
    }
    if (pattern.host.empty()) {
        return std::nullopt;
    }
    return pattern;
}

bool KeyFilter::mayMatch(std::string_view storedName) const {
    // An escaped host need not hold the typed one's text.
    if (escaped || hosts.empty()) {
        return true;
    }
    return std::any_of(hosts.begin(), hosts.end(), [&](const HostPattern& p) {
        if (!ignoreCase) {
            return storedName.find(p.host) != std::string_view::npos;
        }
        return std::search(storedName.begin(), storedName.end(), p.host.begin(), p.host.end(),
                           [](char a, char b) { return asciiLower(a) == asciiLower(b); }) !=
               storedName.end();
    });
}

std::string KeyFilter::typedHost(const KeyModel::CachedName& name) const {
    return escaped ? KeyModel::unescapeHost(name.host) : name.host;
}

bool KeyFilter::matches(const KeyModel::CachedName& name, std::string_view host) const {
    if (!keyType.empty() && !sameText(keyType, name.keyType, ignoreCase)) {
        return false;
    }
    if (port && *port != name.port) {
        return false;
    }
    if (hosts.empty()) {
        return true;
    }
    const std::string_view cached = withoutBrackets(host);
    return std::any_of(hosts.begin(), hosts.end(), [&](const HostPattern& pattern) {
        return (!pattern.port || *pattern.port == name.port) &&
               sameText(pattern.host, cached, ignoreCase);
    });
}

std::optional<KeyFilter> makeKeyFilter(const std::vector<std::string>& hosts,
                                       const std::string& type, unsigned port,
                                       Diagnostics& diagnostics) {
    KeyFilter filter;
    filter.ignoreCase = namesIgnoreCase();
    filter.escaped = hostsEscaped();
    for (const std::string& host : hosts) {
        // An empty argument names the empty host that plink caches for some targets.
        std::optional<HostPattern> pattern =
            host.empty() ? std::optional<HostPattern>(HostPattern{}) : parseHostPattern(host);
        if (!pattern) {
            diagnostics.error(host, "not a host name, HOST:PORT or [HOST]:PORT");
            return std::nullopt;
        }
        filter.hosts.push_back(*pattern);
    }
    if (!type.empty()) {
        filter.keyType = puttyTypeName(type);
    }
    if (port != 0) {
        filter.port = port;
    }
    return filter;
}

} // namespace hkcache
