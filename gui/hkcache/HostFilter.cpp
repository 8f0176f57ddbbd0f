// Host patterns and the filter of a list.
#include "HostFilter.h"
#include "Caches.h"

#include "KeyModel/HostKey.h"

#include <algorithm>

namespace hkcache {
namespace {

bool sameText(std::string_view a, std::string_view b, bool ignoreCase) {
    if (a.size() != b.size()) {
        return false;
    }
    if (!ignoreCase) {
        return a == b;
    }
    // The registry folds ASCII letters; other bytes of a narrow name compare as they are.
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    return std::equal(a.begin(), a.end(), b.begin(),
                      [&](char x, char y) { return lower(x) == lower(y); });
}

// PuTTY may have been given an IPv6 address in brackets and kept them.
std::string_view withoutBrackets(std::string_view host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        return host.substr(1, host.size() - 2);
    }
    return host;
}

} // namespace

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
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    return hosts.empty() || std::any_of(hosts.begin(), hosts.end(), [&](const HostPattern& p) {
               if (!ignoreCase) {
                   return storedName.find(p.host) != std::string_view::npos;
               }
               return std::search(
                          storedName.begin(), storedName.end(), p.host.begin(), p.host.end(),
                          [&](char a, char b) { return lower(a) == lower(b); }) != storedName.end();
           });
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
    for (const std::string& host : hosts) {
        std::optional<HostPattern> pattern = parseHostPattern(host);
        if (!pattern) {
            diagnostics.error(host, "not a host name, HOST:PORT or [HOST]:PORT");
            return std::nullopt;
        }
        filter.hosts.push_back(*pattern);
    }
    if (!type.empty()) {
        // OpenSSH's names are taken for PuTTY's.
        const std::string putty = KeyModel::puttyTypeOf(type);
        filter.keyType = putty.empty() ? type : putty;
    }
    if (port != 0) {
        filter.port = port;
    }
    return filter;
}

} // namespace hkcache
