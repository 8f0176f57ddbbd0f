#include "SshProbe.h"

namespace hkcache {

std::string probeAlgorithms(const std::string& puttyType) {
    // PuTTY caches one rsa2 key for both of RSA's SHA-2 signature algorithms.
    if (puttyType == "rsa2") {
        return "rsa-sha2-512,rsa-sha2-256";
    }
    if (puttyType == "ssh-ed25519" || puttyType == "ecdsa-sha2-nistp256" ||
        puttyType == "ecdsa-sha2-nistp384" || puttyType == "ecdsa-sha2-nistp521") {
        return puttyType;
    }
    return {};
}

} // namespace hkcache
