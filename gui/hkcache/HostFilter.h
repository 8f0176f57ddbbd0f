// Which cached keys a list asks for: hosts as the user types them (OpenSSH's HOST:PORT and
// [HOST]:PORT too), a key type and a port.
#ifndef HK_GUI_HKCACHE_HOSTFILTER_H
#define HK_GUI_HKCACHE_HOSTFILTER_H

#include "Diagnostics.h"

#include "KeyModel/CachedName.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hkcache {

struct HostPattern {
    std::string host; // without brackets
    std::optional<unsigned> port;
};

// HOST, HOST:PORT, [HOST], [HOST]:PORT, or an IPv6 address without brackets (two or more
// colons), each with or without `user@` before it; nullopt when a bracket is unbalanced, the host
// is empty or a port is not 1 to 65535.
std::optional<HostPattern> parseHostPattern(std::string_view text);

// PuTTY's name for a key type as hkcache takes it: OpenSSH's names, PuTTY's, `rsa` for SSH-2
// RSA (as ssh-keygen means it) and `rsa1` for SSH-1 RSA; other text as it is.
std::string puttyTypeName(std::string_view type);
// Every name puttyTypeName() knows, for --type's completion.
std::vector<std::string> keyTypeNames();

// A port from 1 to 65535 in decimal.
std::optional<unsigned> parsePort(std::string_view text);

struct KeyFilter {
    std::vector<HostPattern> hosts; // any of them; none matches every host
    std::string keyType;            // PuTTY's name; empty matches every type
    std::optional<unsigned> port;
    bool ignoreCase = false; // as the Windows registry compares names
    bool escaped = false;    // hosts are stored escaped, as PuTTY for Windows stores them

    // `host` is the cached host as the user would type it (typedHost).
    bool matches(const KeyModel::CachedName& name, std::string_view host) const;
    // False only for a stored name that cannot match: its host is stored as typed and it holds
    // none of the hosts' text. A look before the name is parsed.
    bool mayMatch(std::string_view storedName) const;
    // A cached name's host as the user types it.
    std::string typedHost(const KeyModel::CachedName& name) const;
};

// The filter of a command's HOST arguments (an empty one: the empty host), key type (puttyTypeName)
// and port (0: any), comparing names as the platform's cache does; nullopt, with an error reported,
// for a HOST of none of the forms.
std::optional<KeyFilter> makeKeyFilter(const std::vector<std::string>& hosts,
                                       const std::string& type, unsigned port,
                                       Diagnostics& diagnostics);

} // namespace hkcache

#endif // HK_GUI_HKCACHE_HOSTFILTER_H
