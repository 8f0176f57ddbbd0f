// What getaddrinfo found, as the layer's addresses: its addrinfo is one struct on every
// platform, declared by each one's own socket header.
#ifndef PAL_PLATFORM_ADDRESSLIST_H
#define PAL_PLATFORM_ADDRESSLIST_H

#include "PAL/TcpConnection.h"

#include <string>

namespace PAL::platform {

// Every address of the list from `found` on, in its order.
template <typename AddrInfo>
Resolved addressesOf(const AddrInfo* found) {
    Resolved resolved;
    for (const AddrInfo* address = found; address; address = address->ai_next) {
        resolved.addresses.push_back(
            {address->ai_family, address->ai_socktype, address->ai_protocol,
             std::string(reinterpret_cast<const char*>(address->ai_addr), address->ai_addrlen)});
    }
    return resolved;
}

} // namespace PAL::platform

#endif // PAL_PLATFORM_ADDRESSLIST_H
