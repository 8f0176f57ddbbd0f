// The four output formats. JSON objects are made by nlohmann-json one key at a time and the
// document is streamed, so that a large cache is never held twice in memory.
#include "Listing.h"

#include "KeyModel/Digest.h"
#include "KeyModel/HostKey.h"
#include "KeyModel/KnownHosts.h"

#include "PAL/Escape.h"

#include <nlohmann/json.hpp>

namespace hkcache {
namespace {

constexpr std::size_t FlushAt = 1 << 16;

std::string where(const ListedKey& key) {
    return std::string(key.cache) + ": " + std::string(key.name);
}

} // namespace

Listing::Listing(Format chosen, bool namesCaches, std::ostream& stream, Diagnostics& report)
    : format(chosen), showCache(namesCaches), out(stream), diagnostics(report) {
    if (format == Format::Json) {
        buffer = "{\"keys\": [";
    }
}

void Listing::add(const ListedKey& key) {
    ++listed;
    if (format == Format::Putty) {
        buffer.append(key.name).append(" ").append(key.data).append("\n");
        flushIfFull();
        return;
    }
    const KeyModel::ParsedKey parsed = KeyModel::parsePuttyKey(key.parsed.keyType, key.data);
    if (!parsed.key) {
        diagnostics.warning(where(key), "key data not understood: " + parsed.error);
    }
    const bool hasWire = parsed.key && !parsed.key->wire.empty();
    switch (format) {
    case Format::KnownHosts:
        if (!parsed.key) {
            break;
        }
        if (!hasWire) {
            diagnostics.warning(where(key), "an SSH-1 key has no known_hosts form: left out");
            break;
        }
        // `*` would trust the key for every host, `a,b` for two; the reader refuses them too.
        if (!KeyModel::isPlainKnownHostsHost(key.host)) {
            diagnostics.warning(where(key),
                                "the host is OpenSSH pattern syntax or not one name: left out");
            break;
        }
        buffer.append(KeyModel::knownHostsLine(key.host, key.parsed.port, *parsed.key))
            .append("\n");
        break;
    case Format::Json: {
        nlohmann::ordered_json entry = {
            {"cache", key.cache},      {"name", key.name},           {"host", key.host},
            {"port", key.parsed.port}, {"type", key.parsed.keyType}, {"openssh_type", nullptr},
            {"bits", nullptr},         {"fingerprint", nullptr},     {"key", nullptr},
        };
        if (parsed.key) {
            entry["bits"] = parsed.key->bits;
        }
        if (hasWire) {
            entry["openssh_type"] = parsed.key->openSshType;
            entry["fingerprint"] = KeyModel::sha256Fingerprint(parsed.key->wire);
            entry["key"] = KeyModel::base64Encode(parsed.key->wire);
        }
        buffer.append(listed > 1 ? ",\n  " : "\n  ");
        // Bytes that are not UTF-8 become U+FFFD: the document stays valid.
        buffer.append(entry.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace));
        break;
    }
    case Format::Text:
    case Format::Putty:
        // Escaped: another user's name must not drive the terminal of root listing every cache.
        PAL::appendEscaped(buffer, key.name);
        buffer.append(" ");
        PAL::appendEscaped(buffer, key.parsed.keyType);
        buffer.append(" ");
        buffer.append(parsed.key ? std::to_string(parsed.key->bits) : "-").append(" ");
        buffer.append(hasWire ? KeyModel::sha256Fingerprint(parsed.key->wire) : "-");
        if (showCache) {
            buffer.append(" ");
            PAL::appendEscaped(buffer, key.cache);
        }
        buffer.append("\n");
        break;
    }
    flushIfFull();
}

void Listing::finish() {
    if (format == Format::Json) {
        buffer.append(listed ? "\n]}\n" : "]}\n");
    }
    out.write(buffer.data(), std::streamsize(buffer.size()));
    out.flush();
    buffer.clear();
}

void Listing::flushIfFull() {
    if (buffer.size() >= FlushAt) {
        out.write(buffer.data(), std::streamsize(buffer.size()));
        buffer.clear();
    }
}

} // namespace hkcache
