// FingerprintName from fuzzed texts (the input cut at NUL bytes: a value name, then a key type,
// a port and a host name for the setters), against the parse and match rules written out here.
#include "FingerprintName.h"
#include "FuzzSupport.h"

#include <cstdint>
#include <string>
#include <vector>

namespace {

using hkfuzz::fail;

struct Parts {
    std::string keyType;
    std::string port;
    std::string hostName;
    bool valid = false;
};

Parts parse(const std::string& text) {
    Parts parts;
    const std::size_t at = text.find('@');
    if (at == std::string::npos) {
        return parts;
    }
    parts.keyType = text.substr(0, at);
    const std::size_t colon = text.find(':', at);
    if (colon == std::string::npos) {
        return parts;
    }
    parts.port = text.substr(at + 1, colon - at - 1);
    if (colon + 1 == text.size()) {
        return parts;
    }
    parts.hostName = text.substr(colon + 1);
    parts.valid = true;
    return parts;
}

void expectParts(const FingerprintName& name, const Parts& parts, const std::string& what) {
    if (name.getKeyType() != parts.keyType || name.getPort() != parts.port ||
        name.getHostName() != parts.hostName || name.isValid() != parts.valid) {
        fail(what, name.getKeyType() + "|" + name.getPort() + "|" + name.getHostName());
    }
}

bool matches(const Parts& requested, const std::string& valueName) {
    const Parts candidate = parse(valueName);
    return candidate.valid &&
           (requested.keyType.empty() || requested.keyType == candidate.keyType) &&
           (requested.hostName.empty() || requested.hostName == candidate.hostName) &&
           (requested.port.empty() || requested.port == candidate.port);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> pieces = hkfuzz::split(data, size, '\0');
    pieces.resize(4);
    const std::string& valueName = pieces[0];

    const FingerprintName parsed(valueName);
    const Parts expected = parse(valueName);
    expectParts(parsed, expected, "parse of " + valueName);
    if (parsed.toString() != (expected.valid ? valueName : std::string())) {
        fail("toString of a parsed name", valueName);
    }

    Parts set{pieces[1], pieces[2], pieces[3], false};
    set.valid = !set.keyType.empty() && !set.port.empty() && !set.hostName.empty();
    FingerprintName requested;
    requested.setPort(set.port);
    requested.setHostName(set.hostName);
    requested.setKeyType(set.keyType);
    expectParts(requested, set, "setters");
    const std::string composed = requested.toString();
    if (composed != (set.valid ? set.keyType + "@" + set.port + ":" + set.hostName : "")) {
        fail("toString after the setters", composed);
    }

    if (requested.matches(valueName) != matches(set, valueName)) {
        fail("matches", valueName);
    }
    if (parsed.matches(composed) != matches(expected, composed)) {
        fail("matches of a parsed name", composed);
    }
    // A complete name without separators in its first two parts reads back as itself.
    if (set.valid && set.keyType.find('@') == std::string::npos &&
        set.port.find(':') == std::string::npos) {
        expectParts(FingerprintName(composed), set, "round trip of " + composed);
        if (!requested.matches(composed)) {
            fail("a name does not match its own text", composed);
        }
    }
    return 0;
}
