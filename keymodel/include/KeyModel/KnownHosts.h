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

// True when OpenSSH reads `host`, written by knownHostsHost, as that one host and nothing more:
// no pattern or list (`*`, `?`, `,`, `!`), no brackets but the writer's own, no white space,
// control byte or DEL, no leading `#`, `|` or `@` (a comment, a hashed name, a marker), and no
// key type (the line would read as a .pub line). The reader refuses the hosts this refuses.
bool isPlainKnownHostsHost(std::string_view host);

// An OpenSSH certificate's key type (`...-cert-v01@openssh.com`).
bool isCertificateType(std::string_view type);

} // namespace KeyModel

#endif // KEYMODEL_KNOWNHOSTS_H
