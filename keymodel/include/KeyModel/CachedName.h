// A cached value's name, <key type>@<port>:<host>, split and composed; and the host as the
// user types it against the escaped form PuTTY for Windows stores.
#ifndef KEYMODEL_CACHEDNAME_H
#define KEYMODEL_CACHEDNAME_H

#include <optional>
#include <string>
#include <string_view>

namespace KeyModel {

struct CachedName {
    std::string keyType;
    unsigned port = 0;
    std::string host; // as stored (escaped where PuTTY for Windows wrote it)
};

// Splits at the first '@' and the first ':' after it (the host after it may be empty); nullopt
// when the name is not of that form or the port is not a decimal number from 1 to 65535.
std::optional<CachedName> parseCachedName(std::string_view name);
std::string composeCachedName(const CachedName& name);

// PuTTY for Windows' escape of a host: a space, '\\', '*', '?', '%', control and non-ASCII
// bytes, and a leading '.', become %XX (upper-case hex).
std::string escapeHost(std::string_view host);
// The reverse: every %XX with two hex digits becomes its byte; anything else stays.
std::string unescapeHost(std::string_view stored);

// OpenSSH's host field: `host` for port 22, `[host]:port` otherwise.
std::string knownHostsHost(std::string_view host, unsigned port);

} // namespace KeyModel

#endif // KEYMODEL_CACHEDNAME_H
