#include "KeyModel/KnownHosts.h"

#include "KeyModel/CachedName.h"
#include "KeyModel/Digest.h"

#include <algorithm>
#include <stdexcept>

namespace KeyModel {

std::string knownHostsLine(std::string_view host, unsigned port, const HostKey& key) {
    if (key.wire.empty() || key.openSshType.empty()) {
        throw std::invalid_argument("a " + key.puttyType + " key has no OpenSSH form");
    }
    return knownHostsHost(host, port) + " " + key.openSshType + " " + base64Encode(key.wire);
}

bool isPlainKnownHostsHost(std::string_view host) {
    const auto special = [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte <= ' ' || byte == 0x7F ||
               std::string_view("*?,![]").find(c) != std::string_view::npos;
    };
    return !host.empty() && std::string_view("#|@").find(host[0]) == std::string_view::npos &&
           std::none_of(host.begin(), host.end(), special) && puttyTypeOf(host).empty() &&
           !isCertificateType(host);
}

bool isCertificateType(std::string_view type) {
    const std::string_view suffix = "-cert-v01@openssh.com";
    return type.size() > suffix.size() && type.substr(type.size() - suffix.size()) == suffix;
}

} // namespace KeyModel
