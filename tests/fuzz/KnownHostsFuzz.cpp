// The import readers from fuzzed text. The first byte: bit 0 picks PuTTY's lines (else
// known_hosts), bits 1-2 the host asked for (none, or one of three), bit 1 for PuTTY's lines
// whether names are escaped. Every key read, written back as a known_hosts line (or PuTTY's
// line), reads back as the same key, with nothing left out; a line has at most one warning.
#include "FuzzSupport.h"
#include "KeyModel/CachedName.h"
#include "KeyModel/HostKey.h"
#include "KeyModel/KeyReader.h"
#include "KeyModel/KnownHosts.h"

#include <cstdint>
#include <string>

namespace {

using hkfuzz::fail;
using namespace KeyModel;

std::string describe(const ReadKeys& read) {
    std::string out;
    for (const ReadKey& key : read.keys) {
        out += key.host + " " + std::to_string(key.port) + " " + key.key->puttyType + " " +
               key.key->data + "\n";
    }
    return out;
}

void checkRead(const ReadKeys& read, const std::string& text) {
    if (!read.error.empty()) {
        if (!read.keys.empty() || !read.warnings.empty()) {
            fail("keys or warnings with an error", text);
        }
        return;
    }
    std::size_t lines = 1;
    for (const char c : text) {
        lines += c == '\n' ? 1 : 0;
    }
    std::size_t last = 0;
    for (const ReadWarning& warning : read.warnings) {
        if (warning.line <= last || warning.line > lines || warning.message.empty()) {
            fail("warning lines", text);
        }
        last = warning.line;
    }
    for (const ReadKey& key : read.keys) {
        const ParsedKey parsed = parsePuttyKey(key.key->puttyType, key.key->data);
        if (key.line == 0 || key.line > lines || key.host.empty() || !parsed.key ||
            parsed.key->wire != key.key->wire || parsed.key->bits != key.key->bits ||
            parsed.key->openSshType != key.key->openSshType) {
            fail("a key read does not hold together", text);
        }
    }
}

void checkAgain(const ReadKeys& first, const ReadKeys& again, const std::string& written) {
    if (!again.error.empty() || !again.warnings.empty() || describe(again) != describe(first)) {
        fail("keys written back do not read back the same", written + "->\n" + describe(again));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    const unsigned mode = data[0];
    if (mode & 1) {
        const bool escaped = (mode & 2) != 0;
        const ReadKeys read = readPuttyLines(text, escaped, text.size());
        checkRead(read, text);
        std::string written;
        for (const ReadKey& key : read.keys) {
            const CachedName name{key.key->puttyType, key.port,
                                  escaped ? escapeHost(key.host) : key.host};
            written += composeCachedName(name) + " " + key.key->data + "\n";
        }
        checkAgain(read, readPuttyLines(written, escaped, written.size()), written);
        return 0;
    }
    static const HostQuery queries[] = {
        {"web.example.com", 22}, {"WEB.example.com", 2222}, {"::1", 22}};
    std::optional<HostQuery> query;
    if ((mode >> 1) & 3) {
        query = queries[((mode >> 1) & 3) - 1];
    }
    const ReadKeys read = readKnownHosts(text, query, text.size());
    checkRead(read, text);
    std::string written;
    for (const ReadKey& key : read.keys) {
        if (key.key->wire.empty()) {
            fail("a key without a wire form from known_hosts", text);
        }
        written += knownHostsLine(key.host, key.port, *key.key) + "\n";
    }
    checkAgain(read, readKnownHosts(written, query, written.size()), written);
    return 0;
}
