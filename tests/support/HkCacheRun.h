// hkcache run in-process, and the keys its tests cache.
#ifndef HK_TESTS_HKCACHERUN_H
#define HK_TESTS_HKCACHERUN_H

#include "Caches.h"
#include "HkCache.h"

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

namespace hktest {

constexpr std::uint32_t CurrentUser = 0x80000001u;
constexpr std::uint32_t Users = 0x80000003u;
const std::string CachePath = "Software\\SimonTatham\\PuTTY\\SshHostKeys";

// Two small RSA keys; the fingerprints and base64 are OpenSSH's for the same numbers.
const std::string KeyA = "0x23,0xc5";
const std::string FingerprintA = "SHA256:eMsoZyguUYCtJvhRxf7XNPwYCCInRGmHMmIJ7dTYXLk";
const std::string Base64A = "AAAAB3NzaC1yc2EAAAABIwAAAAIAxQ==";
const std::string KeyB = "0x10001,0xd1e5";
const std::string FingerprintB = "SHA256:dchasAFn3AJ2WmLy5gk/pSOsXHnR5mJ0JAk7Z9tblis";
const std::string Base64B = "AAAAB3NzaC1yc2EAAAADAQABAAAAAwDR5Q==";

struct Outcome {
    std::string out;
    std::string err;
    int status;
};

inline Outcome runHkCacheWith(const std::vector<std::string>& args) {
    std::ostringstream out;
    std::ostringstream err;
    const int status = runHkCache(args, out, err);
    return {out.str(), err.str(), status};
}

// The name the current cache goes by on this platform.
inline std::string currentCacheName() {
    std::ostringstream ignored;
    hkcache::Diagnostics diagnostics(ignored);
    return hkcache::selectCaches("current", diagnostics).at(0).name;
}

} // namespace hktest

#endif // HK_TESTS_HKCACHERUN_H
