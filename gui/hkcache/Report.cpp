// The output formats. JSON objects are made by nlohmann-json one key at a time and the
// document is streamed, so that a large cache is never held twice in memory.
#include "Report.h"

#include "KeyModel/Digest.h"
#include "KeyModel/KnownHosts.h"

#include "PAL/Escape.h"

#include <nlohmann/json.hpp>

#include <optional>

namespace hkcache {
namespace {

constexpr std::size_t FlushAt = 1 << 16;

using Json = nlohmann::ordered_json;

std::string where(const ListedKey& key) {
    return std::string(key.cache) + ": " + std::string(key.name);
}

// A fingerprint as the JSON has it: null where the text shows "-".
Json fingerprintJson(std::string_view fingerprint) {
    return fingerprint == "-" ? Json(nullptr) : Json(fingerprint);
}

const char* verb(Change::Action action, bool dryRun) {
    switch (action) {
    case Change::Removed:
        return dryRun ? "would remove" : "removed";
    case Change::Added:
        return dryRun ? "would add" : "added";
    case Change::Replaced:
        break;
    }
    return dryRun ? "would replace" : "replaced";
}

} // namespace

void appendShownName(std::string& line, std::string_view name) {
    PAL::appendEscaped(line, name);
    if (!name.empty() && name.back() == ':') {
        const std::optional<KeyModel::CachedName> parsed = KeyModel::parseCachedName(name);
        if (parsed && parsed->host.empty()) {
            line.append("\"\"");
        }
    }
}

Report::Report(Format chosen, bool namesCaches, std::ostream& stream, Diagnostics& messages)
    : format(chosen), showCache(namesCaches), out(stream), diagnostics(messages) {
    if (format == Format::Json) {
        buffer = "{\"keys\": [";
    } else if (format == Format::Reg) {
        RegWriter::start(buffer);
    }
}

Report Report::changes(Format format, bool showCache, bool dryRun, std::ostream& out,
                       Diagnostics& diagnostics) {
    Report report(Format::Text, showCache, out, diagnostics);
    report.format = format;
    report.dryRun = dryRun;
    if (format == Format::Json) {
        report.buffer =
            std::string("{\"dry_run\": ") + (dryRun ? "true" : "false") + ", \"changes\": [";
    }
    return report;
}

Report Report::sections(Format format, std::ostream& out, Diagnostics& diagnostics) {
    Report report(Format::Text, false, out, diagnostics);
    report.format = format;
    if (format == Format::Json) {
        report.buffer = "{\"sections\": [";
    }
    return report;
}

void Report::add(const BackupSection& section) {
    ++listed;
    if (format == Format::Json) {
        const Json entry = {
            {"section", section.number},
            {"removed", section.removed.empty() ? Json(nullptr) : Json(section.removed)},
            {"caches", section.caches},
            {"keys", section.keys},
        };
        addJsonEntry(entry.dump(-1, ' ', false, Json::error_handler_t::replace));
    } else {
        // Tab-separated, the caches last: a cache's name may hold blanks.
        buffer.append(std::to_string(section.number)).append("\t");
        PAL::appendEscaped(buffer, section.removed.empty() ? "-" : section.removed);
        buffer.append("\t").append(std::to_string(section.keys)).append("\t");
        for (const std::string& cache : section.caches) {
            buffer.append(&cache == &section.caches.front() ? "" : ", ");
            PAL::appendEscaped(buffer, cache);
        }
        buffer.append("\n");
    }
    flushIfFull();
}

void Report::add(const ListedKey& key) {
    ++listed;
    if (format == Format::Putty) {
        buffer.append(key.name).append(" ").append(key.data).append("\n");
        flushIfFull();
        return;
    }
    if (format == Format::Reg) {
        if (!reg.add(buffer, regKeyOf(key.cache), regValueName(key.name, key.parsed), key.data)) {
            diagnostics.warning(where(key), "not printable ASCII, as PuTTY writes: left out");
        }
        flushIfFull();
        return;
    }
    const KeyModel::ParsedKey parsed = KeyModel::parsePuttyKey(key.parsed.keyType, key.data);
    if (!parsed.key) {
        diagnostics.warning(where(key), "key data not understood: " + parsed.error);
    }
    if (format == Format::KnownHosts) {
        addKnownHosts(key, parsed);
    } else if (format == Format::Json) {
        addJson(key, parsed);
    } else {
        addText(key, parsed);
    }
    flushIfFull();
}

void Report::addKnownHosts(const ListedKey& key, const KeyModel::ParsedKey& parsed) {
    if (!parsed.key) {
        return;
    }
    if (parsed.key->wire.empty()) {
        diagnostics.warning(where(key), "an SSH-1 key has no known_hosts form: left out");
        return;
    }
    // `*` would trust the key for every host, `a,b` for two; the reader refuses them too.
    if (!KeyModel::isPlainKnownHostsHost(key.host)) {
        diagnostics.warning(where(key),
                            "the host is OpenSSH pattern syntax or not one name: left out");
        return;
    }
    buffer.append(KeyModel::knownHostsLine(key.host, key.parsed.port, *parsed.key)).append("\n");
}

void Report::addJson(const ListedKey& key, const KeyModel::ParsedKey& parsed) {
    Json entry = {
        {"cache", key.cache},      {"name", key.name},           {"host", key.host},
        {"port", key.parsed.port}, {"type", key.parsed.keyType}, {"openssh_type", nullptr},
        {"bits", nullptr},         {"fingerprint", nullptr},     {"key", nullptr},
    };
    if (parsed.key) {
        entry["bits"] = parsed.key->bits;
    }
    if (!key.account.empty()) {
        entry["account"] = key.account;
    }
    if (parsed.key && !parsed.key->wire.empty()) {
        entry["openssh_type"] = parsed.key->openSshType;
        entry["fingerprint"] = KeyModel::sha256Fingerprint(parsed.key->wire);
        entry["key"] = KeyModel::base64Encode(parsed.key->wire);
    }
    // Bytes that are not UTF-8 become U+FFFD: the document stays valid.
    addJsonEntry(entry.dump(-1, ' ', false, Json::error_handler_t::replace));
}

void Report::addText(const ListedKey& key, const KeyModel::ParsedKey& parsed) {
    // Escaped: another user's name must not drive the terminal of root listing every cache.
    appendShownName(buffer, key.name);
    buffer.append(" ");
    PAL::appendEscaped(buffer, key.parsed.keyType);
    buffer.append(" ");
    buffer.append(parsed.key ? std::to_string(parsed.key->bits) : "-").append(" ");
    buffer.append(parsed.key && !parsed.key->wire.empty()
                      ? KeyModel::sha256Fingerprint(parsed.key->wire)
                      : "-");
    if (showCache) {
        // Beside its cache, which stays the last field.
        if (!key.account.empty()) {
            buffer.append(" (");
            PAL::appendEscaped(buffer, key.account);
            buffer.append(")");
        }
        buffer.append(" ");
        PAL::appendEscaped(buffer, key.cache);
    }
    buffer.append("\n");
}

void Report::add(const Change& change) {
    ++listed;
    const bool replaced = change.action == Change::Replaced;
    if (format == Format::Json) {
        const Json entry = {
            {"cache", change.cache},
            {"action", verb(change.action, dryRun)},
            {"name", change.name},
            {"fingerprint", fingerprintJson(change.fingerprint)},
            {"old_fingerprint", replaced ? fingerprintJson(change.oldFingerprint) : Json(nullptr)},
        };
        addJsonEntry(entry.dump(-1, ' ', false, Json::error_handler_t::replace));
    } else {
        if (showCache) {
            PAL::appendEscaped(buffer, change.cache);
            buffer.append(": ");
        }
        buffer.append(verb(change.action, dryRun)).append(" ");
        appendShownName(buffer, change.name);
        buffer.append(" ");
        if (replaced) {
            buffer.append(change.oldFingerprint).append(" -> ");
        }
        buffer.append(change.fingerprint).append("\n");
    }
    flushIfFull();
}

void Report::addJsonEntry(const std::string& entry) {
    // Valid JSON as nlohmann writes it, but a terminal showing it must not be driven.
    buffer.append(listed > 1 ? ",\n  " : "\n  ").append(PAL::jsonEscapedControls(entry));
}

void Report::flush() {
    out.write(buffer.data(), std::streamsize(buffer.size()));
    out.flush();
    buffer.clear();
}

void Report::finish() {
    if (format == Format::Json) {
        buffer.append(listed ? "\n]}\n" : "]}\n");
    } else if (format == Format::Reg) {
        RegWriter::finish(buffer);
    }
    flush();
}

void Report::flushIfFull() {
    if (buffer.size() >= FlushAt) {
        out.write(buffer.data(), std::streamsize(buffer.size()));
        buffer.clear();
    }
}

} // namespace hkcache
