// The key model from fuzzed input. An even first byte: the rest is a key type, a NUL and PuTTY's
// data; parsed data goes to the wire form and back to PuTTY's spelling of the same numbers (the
// input itself when it is spelled that way). An odd first byte: the rest is a wire form; one
// that converts goes back to the same bytes. Neither direction may throw or crash.
#include "FuzzSupport.h"
#include "KeyModel/CachedName.h"
#include "KeyModel/Digest.h"
#include "KeyModel/HostKey.h"
#include "KeyModel/KnownHosts.h"

#include <cctype>
#include <cstdint>
#include <string>

namespace {

using hkfuzz::fail;
using namespace KeyModel;

// PuTTY's spelling of the same data: hex digits in lower case, no leading zeros.
std::string canonical(const std::string& data) {
    std::string out;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = data.find(',', start);
        std::string field = data.substr(start, comma - start);
        if (field.compare(0, 2, "0x") == 0) {
            std::size_t first = field.find_first_not_of('0', 2);
            field = "0x" + (first == std::string::npos ? "0" : field.substr(first));
            for (char& c : field) {
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            }
        }
        out += field;
        if (comma == std::string::npos) {
            return out;
        }
        out += ',';
        start = comma + 1;
    }
}

void checkText(const std::string& type, const std::string& data) {
    const ParsedKey parsed = parsePuttyKey(type, data);
    if (!parsed.key) {
        if (parsed.error.empty()) {
            fail("refused without a reason", type + " " + data);
        }
        return;
    }
    const HostKey& key = *parsed.key;
    if (key.puttyType != type || key.openSshType != openSshTypeOf(type)) {
        fail("type names", type);
    }
    if (key.openSshType.empty()) {
        if (!key.wire.empty()) {
            fail("a wire form for a key without one", type);
        }
        return;
    }
    const std::optional<PuttyKeyText> back = puttyKeyFromWire(key.wire);
    if (!back || back->puttyType != type || back->data != canonical(data)) {
        fail("wire form does not give the data back",
             type + " " + data + " -> " + (back ? back->data : "nothing"));
    }
    if (sha256Fingerprint(key.wire).size() != 7 + 43 ||
        knownHostsLine("h", 22, key) != "h " + key.openSshType + " " + base64Encode(key.wire)) {
        fail("fingerprint or known_hosts line", type + " " + data);
    }
}

void checkWire(const Bytes& wire) {
    const std::optional<PuttyKeyText> text = puttyKeyFromWire(wire);
    if (!text) {
        return;
    }
    const ParsedKey parsed = parsePuttyKey(text->puttyType, text->data);
    if (!parsed.key || parsed.key->wire != wire || canonical(text->data) != text->data) {
        fail("data from a wire form does not give it back", text->puttyType + " " + text->data);
    }
}

void checkNamesAndBase64(const std::string& text) {
    if (const std::optional<CachedName> name = parseCachedName(text)) {
        if (composeCachedName(*name) != text) {
            fail("cached name round trip", text);
        }
    }
    if (unescapeHost(escapeHost(text)) != text) {
        fail("escape round trip", text);
    }
    if (const std::optional<Bytes> decoded = base64Decode(text)) {
        if (base64Encode(*decoded) != text) {
            fail("base64 accepted a text encode does not give", text);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    if (data[0] % 2 == 0) {
        const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
        const std::size_t nul = rest.find('\0');
        const std::string type = rest.substr(0, nul);
        const std::string keyData = nul == std::string::npos ? "" : rest.substr(nul + 1);
        checkText(type, keyData);
        checkNamesAndBase64(rest);
    } else {
        const Bytes wire(data + 1, data + size);
        checkWire(wire);
        if (base64Decode(base64Encode(wire)) != wire) {
            fail("base64 round trip");
        }
    }
    return 0;
}
