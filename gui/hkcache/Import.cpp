// The import command: read the input whole, name each key as PuTTY would, compare it with each
// cache's, and write each cache's additions and replacements in one applyChanges.
#include "Import.h"

#include "Caches.h"
#include "HostFilter.h"

#include "KeyModel/CachedName.h"
#include "KeyModel/KeyReader.h"

#include "PAL/Escape.h"
#include "PAL/StandardInput.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <unordered_map>

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
    std::FILE* file = path == "-" ? PAL::standardInputAsBytes() : nullptr;
    if (path != "-") {
        owned.reset(std::fopen(path.c_str(), "rb"));
        if (!owned) {
            *reason = std::strerror(errno);
            return std::nullopt;
        }
        file = owned.get();
    }
    std::string text;
    // A file's size is known ahead (a pipe's is not): read into one buffer of that size.
    const long at = std::ftell(file);
    if (at >= 0 && std::fseek(file, 0, SEEK_END) == 0) {
        const long end = std::ftell(file);
        if (std::fseek(file, at, SEEK_SET) != 0) {
            *reason = std::strerror(errno);
            return std::nullopt;
        }
        if (end > at) {
            text.reserve(std::min<std::size_t>(std::size_t(end - at), maxBytes) + 1);
        }
    }
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
    std::string folded; // comparedName(name) where that is not the name itself
    const KeyModel::ReadKey* read;
    std::string_view fingerprint; // the read key's, or "-"
    std::string section;          // the only cache it goes to; empty: every cache

    std::string_view compared() const { return folded.empty() ? name : folded; }
};

// Compared name -> index in the input's keys.
using NameIndex = std::unordered_map<std::string_view, std::size_t>;

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

// A change to one cache, for its line of output.
struct Planned {
    const Incoming* key;
    std::string cachedName;  // a replacement's name as cached; empty for an addition
    std::string fingerprint; // of the key replaced
};

// A cached value under a name the import has a key for.
struct CachedValue {
    std::string name;
    std::string data;
    std::string refused; // why it is no host key; empty when it may be one
};

struct CacheImport {
    const Cache* cache;
    std::vector<Api::ValueText> sets;
    std::vector<Planned> lines;
};

// What importing `incoming` changes in one cache; false after an error. `conflict` is set
// when a different key is cached under a name and may not be replaced. `everyCache`: the names
// of the keys for every cache, when no key is for one cache alone.
bool planCache(const std::vector<Incoming>& incoming, const NameIndex* everyCache,
               const std::string& inputName, const ImportOptions& options, CacheImport& plan,
               bool& conflict, Diagnostics& diagnostics) {
    const Cache& cache = *plan.cache;
    // The keys meant for this cache, each name once, in the input's order.
    std::vector<const Incoming*> order;
    NameIndex own;
    if (everyCache) {
        order.reserve(incoming.size());
        for (const Incoming& key : incoming) {
            order.push_back(&key);
        }
    } else {
        for (std::size_t i = 0; i < incoming.size(); ++i) {
            const Incoming& key = incoming[i];
            if (!key.section.empty() && !sameText(key.section, cache.name, namesIgnoreCase())) {
                continue;
            }
            // A name both in every cache's part and in this cache's own.
            const auto [earlier, first] = own.emplace(key.compared(), i);
            const KeyModel::ReadKey& before = *incoming[earlier->second].read;
            if (first) {
                order.push_back(&key);
            } else if (!sameKey(key.read->key->puttyType, before.key->data, key.read->key->data)) {
                conflict = true;
                diagnostics.warning(inputName + ":" + std::to_string(key.read->line),
                                    key.name + ": a different key for it is on line " +
                                        std::to_string(before.line) + ": left out");
            }
        }
    }
    const NameIndex& wanted = everyCache ? *everyCache : own;
    // A cache that no key is meant for is left as it is, missing or not.
    if (order.empty()) {
        return true;
    }

    // Read, then closed: caches are held one at a time, and a missing one is only empty until
    // something is written to it.
    PAL::OpenKey opened(*cache.api);
    std::string reason;
    Api::Status status = cache.open(opened.out(), &reason);
    // Only what the import names is kept of the cache: its first value of each such name.
    std::unordered_map<const Incoming*, CachedValue> cached;
    if (status == Api::Success) {
        std::string folded;
        status =
            forEachValue(*cache.api, opened.get(),
                         [&](std::string_view name, std::uint32_t type, std::string_view data) {
                             const auto found = wanted.find(comparedView(name, folded));
                             if (found != wanted.end()) {
                                 cached.emplace(&incoming[found->second],
                                                CachedValue{std::string(name), std::string(data),
                                                            notAHostKey(name, type, data)});
                             }
                         });
    } else if (status == Api::NotFound) {
        status = Api::Success;
    }
    if (status != Api::Success) {
        diagnostics.error(cache.name, reason.empty() ? statusText(status) : reason);
        return false;
    }
    for (const Incoming* key : order) {
        const auto found = cached.find(key);
        // A dry run writes nothing: no copy of each key's text for it.
        if (found == cached.end()) {
            if (!options.dryRun) {
                plan.sets.push_back(Api::ValueText{key->name, key->read->key->data});
            }
            plan.lines.push_back(Planned{key, {}, {}});
            continue;
        }
        // What another program keeps under the name is neither replaced nor compared.
        if (!found->second.refused.empty()) {
            conflict = true;
            diagnostics.warning(cache.name + ": " + found->second.name,
                                found->second.refused + " (" + key->name + " not imported)");
            continue;
        }
        const std::string& name = found->second.name;
        const std::string& data = found->second.data;
        if (sameKey(key->read->key->puttyType, data, key->read->key->data)) {
            continue;
        }
        std::string old = fingerprintOf(key->read->key->puttyType, data);
        if (!options.replace) {
            conflict = true;
            diagnostics.warning(cache.name + ": " + name, "cached key " + old +
                                                              " differs from the imported " +
                                                              std::string(key->fingerprint) +
                                                              ": kept (--replace replaces it)");
            continue;
        }
        // The name as it is cached: the registry keeps a name's first spelling.
        if (!options.dryRun) {
            plan.sets.push_back(Api::ValueText{name, key->read->key->data});
        }
        plan.lines.push_back(Planned{key, name, std::move(old)});
    }
    return true;
}

void printLines(const CacheImport& plan, std::size_t count, bool dryRun, const std::string& prefix,
                std::ostream& out) {
    // Written a block at a time: the lines of a large import are many.
    std::string text;
    const auto flush = [&] {
        out.write(text.data(), std::streamsize(text.size()));
        text.clear();
    };
    for (std::size_t i = 0; i < count && i < plan.lines.size(); ++i) {
        const Planned& line = plan.lines[i];
        const bool replaces = !line.cachedName.empty();
        text.append(prefix).append(dryRun ? (replaces ? "would replace " : "would add ")
                                          : (replaces ? "replaced " : "added "));
        PAL::appendEscaped(text, replaces ? line.cachedName : line.key->name);
        text.append(" ");
        if (replaces) {
            text.append(line.fingerprint).append(" -> ");
        }
        text.append(line.key->fingerprint).append("\n");
        if (text.size() >= (std::size_t(1) << 16)) {
            flush();
        }
    }
    flush();
    out.flush();
}

// --host into `host` (left empty when not given); false after its error.
bool hostOption(const std::string& text, std::optional<HostPattern>& host,
                Diagnostics& diagnostics) {
    if (text.empty()) {
        return true;
    }
    if (!(host = parseHostPattern(text))) {
        diagnostics.error(text, "not a host name, HOST:PORT or [HOST]:PORT");
        return false;
    }
    // PuTTY for Unix's file has no name holding one: the real run would fail at the cache, and a
    // dry run is to say what the real run does.
    if (std::any_of(host->host.begin(), host->host.end(),
                    [](char c) { return static_cast<unsigned char>(c) <= ' ' || c == '\x7f'; })) {
        diagnostics.error(text, "a host name holds no white space or control bytes");
        return false;
    }
    return true;
}

} // namespace

ExitStatus importKeys(const ImportOptions& options, std::ostream& out, Diagnostics& diagnostics) {
    // Arguments are checked before standard input is waited for.
    std::optional<HostPattern> host;
    if (!hostOption(options.host, host, diagnostics)) {
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
    if (!hostOption(options.host, host, diagnostics)) {
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
    // The lines after "# <cache name>" go to that cache alone, whichever caches are selected, so
    // that a backup of several caches is put back where it came from and nowhere else.
    std::vector<std::pair<std::size_t, std::string>> sections;
    if (options.format == "putty") {
        sections = sectionsOf(text);
    }
    for (const auto& section : sections) {
        if (std::none_of(caches.begin(), caches.end(), [&](const Cache& cache) {
                return sameText(cache.name, section.second, namesIgnoreCase());
            })) {
            diagnostics.warning(inputName + ":" + std::to_string(section.first),
                                "no cache selected is " + section.second + ": its keys left out");
        }
    }

    bool conflict = false;
    std::vector<Incoming> incoming;
    // No more than one each: the names' views below stay where they are.
    incoming.reserve(read.keys.size());
    // Per section, the names of its keys.
    std::map<std::string, NameIndex> firstOf;
    for (const KeyModel::ReadKey& key : read.keys) {
        // PuTTY's lines name their own hosts: --host only narrows them.
        if (options.format == "putty" && host &&
            (!sameText(key.host, host->host, true) || (host->port && *host->port != key.port))) {
            continue;
        }
        // The last section that starts before the key's line.
        const auto after = std::upper_bound(
            sections.begin(), sections.end(), key.line,
            [](std::size_t line, const auto& section) { return line < section.first; });
        std::string section = after == sections.begin() ? std::string() : std::prev(after)->second;
        std::string name = KeyModel::composeCachedName(KeyModel::CachedName{
            key.key->puttyType, key.port, escaped ? KeyModel::escapeHost(key.host) : key.host});
        std::string folded;
        if (comparedView(name, folded).data() == name.data()) {
            folded.clear();
        }
        auto& names = firstOf[section];
        // Sections come from the input: only the part for every cache is sized by the input.
        if (names.empty() && section.empty()) {
            names.reserve(read.keys.size());
        }
        // Taken in, and given back when its name came earlier (that is rare).
        incoming.push_back(Incoming{std::move(name), std::move(folded), &key,
                                    key.key->fingerprint.empty()
                                        ? std::string_view("-")
                                        : std::string_view(key.key->fingerprint),
                                    std::move(section)});
        const auto [first, added] = names.emplace(incoming.back().compared(), incoming.size() - 1);
        if (added) {
            continue;
        }
        const Incoming taken = std::move(incoming.back());
        incoming.pop_back();
        const KeyModel::ReadKey& earlier = *incoming[first->second].read;
        if (!sameKey(key.key->puttyType, earlier.key->data, key.key->data)) {
            conflict = true;
            diagnostics.warning(inputName + ":" + std::to_string(key.line),
                                taken.name + ": a different key for it is on line " +
                                    std::to_string(earlier.line) + ": left out");
        }
    }

    // Nothing to import makes no cache key or file.
    if (incoming.empty()) {
        return conflict ? ExitStatus::Conflict : ExitStatus::Done;
    }
    std::vector<CacheImport> plans;
    for (const Cache& cache : caches) {
        plans.push_back(CacheImport{&cache, {}, {}});
        if (!planCache(incoming, sections.empty() ? &firstOf[""] : nullptr, inputName, options,
                       plans.back(), conflict, diagnostics)) {
            break;
        }
    }
    // Nothing is written unless every cache asked for could be read.
    if (diagnostics.failed()) {
        return ExitStatus::Failure;
    }
    const bool showCache = caches.size() > 1;
    for (CacheImport& plan : plans) {
        const std::string prefix = showCache ? PAL::escaped(plan.cache->name) + ": " : "";
        if (options.dryRun) {
            printLines(plan, plan.lines.size(), true, prefix, out);
            continue;
        }
        if (plan.sets.empty()) {
            continue;
        }
        PAL::OpenKey key(*plan.cache->api);
        std::string reason;
        Api::Status status = plan.cache->create(key.out(), &reason);
        if (status != Api::Success) {
            diagnostics.error(plan.cache->name, reason.empty() ? statusText(status) : reason);
            return ExitStatus::Failure;
        }
        std::size_t applied = 0;
        status = plan.cache->api->applyChanges(key.get(), {}, plan.sets, &applied);
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
