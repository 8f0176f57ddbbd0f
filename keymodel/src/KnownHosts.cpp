#include "KeyModel/KnownHosts.h"

#include "KeyModel/CachedName.h"
#include "KeyModel/Digest.h"

#include <stdexcept>

namespace KeyModel {

std::string knownHostsLine(std::string_view host, unsigned port, const HostKey& key) {
    if (key.wire.empty() || key.openSshType.empty()) {
        throw std::invalid_argument("a " + key.puttyType + " key has no OpenSSH form");
    }
    return knownHostsHost(host, port) + " " + key.openSshType + " " + base64Encode(key.wire);
}

} // namespace KeyModel
