// OpenSSH known_hosts lines: written for a cached key, and read for an import.
#ifndef KEYMODEL_KNOWNHOSTS_H
#define KEYMODEL_KNOWNHOSTS_H

#include "KeyModel/HostKey.h"

#include <string>
#include <string_view>

namespace KeyModel {

// "<host field> <openssh type> <base64 of wire>", without a newline; the key must have a
// wire form.
std::string knownHostsLine(std::string_view host, unsigned port, const HostKey& key);

} // namespace KeyModel

#endif // KEYMODEL_KNOWNHOSTS_H
