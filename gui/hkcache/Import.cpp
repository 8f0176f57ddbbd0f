// The import command: read the input whole, name each key as PuTTY would, compare it with each
// cache's, and write each cache's additions and replacements in one applyChanges.
#include "Import.h"

#include "Caches.h"
#include "HostFilter.h"

#include "KeyModel/CachedName.h"
#include "KeyModel/Digest.h"
#include "KeyModel/KeyReader.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <optional>

namespace hkcache {
namespace {

using Api = PAL::RegistryApi;

struct CloseFile {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// The whole of `path` ("-": standard input), or the reason it cannot be had. The file is opened
// once; a directory fails at its first read. An endless stream stops one byte past the limit.
std::optional<std::string> readInput(const std::string& path, std::size_t maxBytes,
                                     std::string* reason) {
    std::unique_ptr<std::FILE, CloseFile> owned;
    std::FILE* file = stdin;
    if (path != "-") {
        owned.reset(std::fopen(path.c_str(), "rb"));
        if (!owned) {
            *reason = std::strerror(errno);
            return std::nullopt;
        }
        file = owned.get();
    }
    std::string text;
    std::vector<char> chunk(std::size_t(1) << 16);
    for (;;) {
        const std::size_t got = std::fread(chunk.data(), 1, chunk.size(), file);
        text.append(chunk.data(), got);
        if (text.size() > maxBytes) {
            *reason = "longer than " + std::to_string(maxBytes) + " bytes";
            return std::nullopt;
        }
        if (got < chunk.size()) {
            if (std::ferror(file)) {
                *reason = std::strerror(errno);
                return std::nullopt;
            }
            return text;
        }
    }
}

bool sameLetters(std::string_view a, std::string_view b) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [&](char x, char y) { return lower(x) == lower(y); });
}

// The same key, though its text may be written another way.
bool sameKey(std::string_view keyType, std::string_view cached, std::string_view imported) {
    if (cached == imported) {
        return true;
    }
    const KeyModel::ParsedKey a = KeyModel::parsePuttyKey(keyType, cached);
    const KeyModel::ParsedKey b = KeyModel::parsePuttyKey(keyType, imported);
    return a.key && b.key && !a.key->wire.empty() && a.key->wire == b.key->wire;
}

// One key of the input, named as PuTTY stores it on this platform.
struct Incoming {
    std::string name;
    const KeyModel::ReadKey* read;
    std::string fingerprint;
    std::string section; // the only cache it goes to; empty: every cache
};

// "# <name>" lines of PuTTY's lines, as a backup of several caches has them before each
// cache's: (line number, name).
std::vector<std::pair<std::size_t, std::string>> sectionsOf(std::string_view text) {
    std::vector<std::pair<std::size_t, std::string>> sections;
    std::size_t number = 0;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        std::string_view line = text.substr(start, end - start);
        ++number;
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (line.size() > 2 && line.substr(0, 2) == "# ") {
            sections.emplace_back(number, std::string(line.substr(2)));
        }
        start = end + 1;
    }
    return sections;
}

// A change to one cache and its line of output (without the verb).
struct Planned {
    bool replaces;
    std::string text;
};

struct CacheImport {
    const Cache* cache;
    std::unique_ptr<OpenKey> key;
    std::vector<Api::ValueText> sets;
    std::vector<Planned> lines;
};

// What importing `incoming` changes in one cache; false after an error. `conflict` is set
// when a different key is cached under a name and may not be replaced.
bool planCache(const std::vector<Incoming>& incoming, const std::string& inputName,
               const ImportOptions& options, CacheImport& plan, bool& conflict,
               Diagnostics& diagnostics) {
    const Cache& cache = *plan.cache;
    plan.key = std::make_unique<OpenKey>(*cache.api);
    std::string reason;
    // A dry run makes nothing: a missing cache is only empty.
    Api::Status status = options.dryRun ? cache.open(plan.key->out(), &reason)
                                        : cache.create(plan.key->out(), &reason);
    std::map<std::string, std::pair<std::string, std::string>> cached;
    if (status == Api::Success) {
        status = forEachValue(
            *cache.api, plan.key->get(), [&](std::string_view name, std::string_view data) {
                cached.emplace(comparedName(name),
                               std::make_pair(std::string(name), std::string(data)));
            });
    } else if (status == Api::NotFound && options.dryRun) {
        status = Api::Success;
    }
    if (status != Api::Success) {
        diagnostics.error(cache.name, reason.empty() ? statusText(status) : reason);
        return false;
    }
    std::map<std::string, const Incoming*> planned; // compared name -> the key it gets
    for (const Incoming& key : incoming) {
        if (!key.section.empty() && key.section != cache.name) {
            continue;
        }
        // A name both in every cache's part and in this cache's own.
        const auto [earlier, first] = planned.emplace(comparedName(key.name), &key);
        if (!first) {
            if (!sameKey(key.read->key.puttyType, earlier->second->read->data, key.read->data)) {
                conflict = true;
                diagnostics.warning(inputName + ":" + std::to_string(key.read->line),
                                    key.name + ": a different key for it is on line " +
                                        std::to_string(earlier->second->read->line) + ": left out");
            }
            continue;
        }
        const auto found = cached.find(comparedName(key.name));
        if (found == cached.end()) {
            plan.sets.push_back(Api::ValueText{key.name, key.read->data});
            plan.lines.push_back(Planned{false, key.name + " " + key.fingerprint});
            continue;
        }
        const auto& [name, data] = found->second;
        if (sameKey(key.read->key.puttyType, data, key.read->data)) {
            continue;
        }
        const std::string old = fingerprintOf(key.read->key.puttyType, data);
        if (!options.replace) {
            conflict = true;
            diagnostics.warning(cache.name + ": " + name,
                                "cached key " + old + " differs from the imported " +
                                    key.fingerprint + ": kept (--replace replaces it)");
            continue;
        }
        // The name as it is cached: the registry keeps a name's first spelling.
        plan.sets.push_back(Api::ValueText{name, key.read->data});
        plan.lines.push_back(Planned{true, name + " " + old + " -> " + key.fingerprint});
    }
    return true;
}

void printLines(const CacheImport& plan, std::size_t count, bool dryRun, const std::string& prefix,
                std::ostream& out) {
    for (std::size_t i = 0; i < count && i < plan.lines.size(); ++i) {
        const Planned& line = plan.lines[i];
        const char* verb = dryRun ? (line.replaces ? "would replace " : "would add ")
                                  : (line.replaces ? "replaced " : "added ");
        out << prefix << verb << line.text << '\n';
    }
    out.flush();
}

} // namespace

ExitStatus importKeys(const ImportOptions& options, std::ostream& out, Diagnostics& diagnostics) {
    // Arguments are checked before standard input is waited for.
    if (!options.host.empty() && !parseHostPattern(options.host)) {
        diagnostics.error(options.host, "not a host name, HOST:PORT or [HOST]:PORT");
        return ExitStatus::Failure;
    }
    const std::string inputName = options.input == "-" ? "standard input" : options.input;
    std::string reason;
    const std::optional<std::string> text = readInput(options.input, options.maxBytes, &reason);
    if (!text) {
        diagnostics.error(inputName, reason + ": nothing imported");
        return ExitStatus::Failure;
    }
    return importText(*text, inputName, options, out, diagnostics);
}

ExitStatus importText(std::string_view text, const std::string& inputName,
                      const ImportOptions& options, std::ostream& out, Diagnostics& diagnostics) {
    std::optional<HostPattern> host;
    if (!options.host.empty() && !(host = parseHostPattern(options.host))) {
        diagnostics.error(options.host, "not a host name, HOST:PORT or [HOST]:PORT");
        return ExitStatus::Failure;
    }
    const bool escaped = hostsEscaped();
    KeyModel::ReadKeys read;
    if (options.format == "putty") {
        read = KeyModel::readPuttyLines(text, escaped, options.maxBytes);
    } else {
        std::optional<KeyModel::HostQuery> query;
        if (host) {
            query = KeyModel::HostQuery{host->host, host->port.value_or(22)};
        }
        read = KeyModel::readKnownHosts(text, query, options.maxBytes);
    }
    if (!read.error.empty()) {
        diagnostics.error(inputName, read.error + ": nothing imported");
        return ExitStatus::Failure;
    }
    for (const KeyModel::ReadWarning& warning : read.warnings) {
        diagnostics.warning(inputName + ":" + std::to_string(warning.line), warning.message);
    }

    const std::vector<Cache> caches = selectCaches(options.cache, diagnostics);
    if (diagnostics.failed()) {
        return ExitStatus::Failure;
    }
    // Into several caches, the lines after "# <cache name>" go to that cache alone, so that a
    // backup of several caches is put back where it came from.
    std::vector<std::pair<std::size_t, std::string>> sections;
    if (options.format == "putty" && caches.size() > 1) {
        sections = sectionsOf(text);
    }
    for (const auto& section : sections) {
        if (std::none_of(caches.begin(), caches.end(),
                         [&](const Cache& cache) { return cache.name == section.second; })) {
            diagnostics.warning(inputName + ":" + std::to_string(section.first),
                                "no cache selected is " + section.second + ": its keys left out");
        }
    }

    bool conflict = false;
    std::vector<Incoming> incoming;
    // section and compared name -> index in `incoming`
    std::map<std::pair<std::string, std::string>, std::size_t> firstOf;
    for (const KeyModel::ReadKey& key : read.keys) {
        // PuTTY's lines name their own hosts: --host only narrows them.
        if (options.format == "putty" && host &&
            (!sameLetters(key.host, host->host) || (host->port && *host->port != key.port))) {
            continue;
        }
        const auto after =
            std::find_if(sections.rbegin(), sections.rend(),
                         [&](const auto& section) { return section.first < key.line; });
        const std::string section = after == sections.rend() ? std::string() : after->second;
        const std::string name = KeyModel::composeCachedName(KeyModel::CachedName{
            key.key.puttyType, key.port, escaped ? KeyModel::escapeHost(key.host) : key.host});
        const auto [first, added] =
            firstOf.emplace(std::make_pair(section, comparedName(name)), incoming.size());
        if (added) {
            incoming.push_back(Incoming{
                name, &key, key.key.wire.empty() ? "-" : KeyModel::sha256Fingerprint(key.key.wire),
                section});
            continue;
        }
        const KeyModel::ReadKey& earlier = *incoming[first->second].read;
        if (!sameKey(key.key.puttyType, earlier.data, key.data)) {
            conflict = true;
            diagnostics.warning(inputName + ":" + std::to_string(key.line),
                                name + ": a different key for it is on line " +
                                    std::to_string(earlier.line) + ": left out");
        }
    }

    // Nothing to import makes no cache key or file.
    if (incoming.empty()) {
        return conflict ? ExitStatus::Conflict : ExitStatus::Done;
    }
    std::vector<CacheImport> plans;
    for (const Cache& cache : caches) {
        plans.push_back(CacheImport{&cache, nullptr, {}, {}});
        if (!planCache(incoming, inputName, options, plans.back(), conflict, diagnostics)) {
            break;
        }
    }
    // Nothing is written unless every cache asked for could be read.
    if (diagnostics.failed()) {
        return ExitStatus::Failure;
    }
    const bool showCache = caches.size() > 1;
    for (CacheImport& plan : plans) {
        const std::string prefix = showCache ? plan.cache->name + ": " : "";
        if (options.dryRun) {
            printLines(plan, plan.lines.size(), true, prefix, out);
            continue;
        }
        if (plan.sets.empty()) {
            continue;
        }
        std::size_t applied = 0;
        const Api::Status status =
            plan.cache->api->applyChanges(plan.key->get(), {}, plan.sets, &applied);
        // A failure part way (value by value in the registry) says what was written.
        printLines(plan, applied, false, prefix, out);
        if (status != Api::Success) {
            diagnostics.error(plan.cache->name, statusText(status));
            return ExitStatus::Failure;
        }
    }
    return conflict ? ExitStatus::Conflict : ExitStatus::Done;
}

} // namespace hkcache
