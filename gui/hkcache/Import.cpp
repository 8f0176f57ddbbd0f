// The import command: read the input whole, name each key as PuTTY would, compare it with each
// cache's, and write each cache's additions and replacements in one applyChanges.
#include "Import.h"

#include "Caches.h"
#include "HostFilter.h"
#include "MatchingKeys.h"
#include "NameIndex.h"
#include "Report.h"

#include "KeyModel/CachedName.h"
#include "KeyModel/KeyReader.h"

#include "PAL/StandardInput.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdint>
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

// One key of the input: its record, and the section it is in. Its name, text and fingerprint
// are made when they are written or reported (ImportState), one key at a time.
struct Incoming {
    std::uint32_t record;
    std::uint32_t section; // 1 + its index in the sections; 0: every cache
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

// A change to one cache, for its line of output and its value.
struct Planned {
    std::uint32_t key;      // in the incoming keys
    std::uint32_t replaced; // 1 + its index in the cache's replacements; 0: an addition
};

// A replacement's name as cached (the registry keeps a name's first spelling), and the
// fingerprint of the key it replaces.
struct Replaced {
    std::string cachedName;
    std::string fingerprint;
};

// A cached value under a name the import has a key for, other than that very key.
struct CachedValue {
    std::string name;
    std::string data;
    std::string refused; // why it is no host key; empty when it may be one
};

struct CacheImport {
    const Cache* cache;
    std::vector<Planned> lines;
    std::vector<Replaced> replaced;
};

// What one run has read and found so far.
struct ImportState {
    const ImportOptions& options;
    const std::string& inputName;
    Diagnostics& diagnostics;
    const KeyModel::KeyRecords& records;
    // A key was left out because a different one is cached (or read earlier) under its name.
    bool conflict = false;
    std::vector<Incoming> incoming;
    // "# <cache name>" lines, each cache's part of PuTTY's lines: (line number, name).
    std::vector<std::pair<std::size_t, std::string>> sections;
    // Per section, the names of its keys.
    std::map<std::string, NameIndex> firstOf;

    const KeyModel::KeyRecord& record(const Incoming& key) const {
        return records.keys[key.record];
    }
    // The key's name as PuTTY stores it here.
    std::string nameOf(const Incoming& key) const {
        const KeyModel::KeyRecord& read = record(key);
        const std::string host = records.host(read);
        return KeyModel::composeCachedName(
            KeyModel::CachedName{records.puttyType(read), read.port,
                                 hostsEscaped() ? KeyModel::escapeHost(host) : host});
    }
    std::string comparedNameOf(std::size_t index) const {
        return comparedName(nameOf(incoming[index]));
    }
    KeyModel::KeyText keyOf(const Incoming& key) const { return records.keyOf(record(key)); }
    const std::string& sectionName(const Incoming& key) const {
        static const std::string none;
        return key.section == 0 ? none : sections[key.section - 1].second;
    }
    NameIndex& namesOf(const std::string& section) {
        return firstOf.try_emplace(section, [this](std::size_t i) { return comparedNameOf(i); })
            .first->second;
    }

    void leftOut(const Incoming& key, const Incoming& earlier) {
        conflict = true;
        diagnostics.warning(inputName + ":" + std::to_string(record(key).line),
                            nameOf(key) + ": a different key for it is on line " +
                                std::to_string(record(earlier).line) + ": left out");
    }
    // Whether two keys of the input are one.
    bool sameKeys(const Incoming& a, const Incoming& b) const {
        const KeyModel::KeyText first = keyOf(a);
        return sameKey(first.puttyType, first.data, keyOf(b).data);
    }
};

// The planned values of one cache, each made when the store comes to it.
class PlannedValues : public Api::ValueSource {
public:
    PlannedValues(const ImportState& run, const CacheImport& cache) : state(run), plan(cache) {}
    std::size_t size() const override { return plan.lines.size(); }
    void name(std::size_t index, std::string& out) const override {
        const Planned& line = plan.lines[index];
        out = line.replaced ? plan.replaced[line.replaced - 1].cachedName
                            : state.nameOf(state.incoming[line.key]);
    }
    void data(std::size_t index, std::string& out) const override {
        out = state.records.dataOf(state.record(state.incoming[plan.lines[index].key]));
    }

private:
    const ImportState& state;
    const CacheImport& plan;
};

// The keys meant for `cache` (their indexes), each name once, in the input's order; `own` gets
// their names. Only for an input with sections: without, every key is meant for every cache.
std::vector<std::uint32_t> keysFor(ImportState& state, const Cache& cache, NameIndex& own) {
    std::vector<std::uint32_t> order;
    for (std::size_t i = 0; i < state.incoming.size(); ++i) {
        const Incoming& key = state.incoming[i];
        if (key.section != 0 && !sameText(state.sectionName(key), cache.name, namesIgnoreCase())) {
            continue;
        }
        // A name both in every cache's part and in this cache's own.
        const auto [earlier, first] = own.emplace(state.comparedNameOf(i), i);
        if (first) {
            order.push_back(static_cast<std::uint32_t>(i));
        } else if (!state.sameKeys(state.incoming[earlier], key)) {
            state.leftOut(key, state.incoming[earlier]);
        }
    }
    return order;
}

// What the cache holds under the names the import has keys for: its first value of each such
// name, kept only where it is not that very key (`same` marks those). False after the cache's
// error.
bool readCached(ImportState& state, const Cache& cache, const NameIndex& wanted,
                std::unordered_map<std::size_t, CachedValue>& cached, std::vector<bool>& same) {
    std::string folded;
    std::vector<bool> seen(state.incoming.size());
    return forEachMatchingKey(
        cache, KeyWalk{},
        [&](const MatchingKey& key) {
            const std::optional<std::size_t> found = wanted.find(comparedView(key.name, folded));
            if (!found || seen[*found]) {
                return;
            }
            seen[*found] = true;
            std::string refused = key.refused();
            if (refused.empty()) {
                const KeyModel::KeyText imported = state.keyOf(state.incoming[*found]);
                if (sameKey(imported.puttyType, key.data, imported.data)) {
                    same[*found] = true;
                    return;
                }
            }
            cached.emplace(*found, CachedValue{std::string(key.name), std::string(key.data),
                                               std::move(refused)});
        },
        state.diagnostics);
}

// What importing `key` (the input's `index`) changes in the cache that holds `cached` under its
// name (null: none, or the key itself).
void planKey(ImportState& state, CacheImport& plan, std::size_t index, const CachedValue* cached) {
    const ImportOptions& options = state.options;
    const Incoming& key = state.incoming[index];
    if (!cached) {
        plan.lines.push_back(Planned{static_cast<std::uint32_t>(index), 0});
        return;
    }
    // What another program keeps under the name is neither replaced nor compared.
    if (!cached->refused.empty()) {
        state.conflict = true;
        state.diagnostics.warning(plan.cache->name + ": " + cached->name,
                                  cached->refused + " (" + state.nameOf(key) + " not imported)");
        return;
    }
    const KeyModel::KeyText imported = state.keyOf(key);
    std::string old = fingerprintOf(imported.puttyType, cached->data);
    if (!options.replace) {
        state.conflict = true;
        state.diagnostics.warning(
            plan.cache->name + ": " + cached->name,
            "cached key " + old + " differs from the imported " +
                (imported.fingerprint.empty() ? std::string("-") : imported.fingerprint) +
                ": kept (--replace replaces it)");
        return;
    }
    plan.replaced.push_back(Replaced{cached->name, std::move(old)});
    plan.lines.push_back(Planned{static_cast<std::uint32_t>(index),
                                 static_cast<std::uint32_t>(plan.replaced.size())});
}

// What importing the input changes in one cache; false after an error.
bool planCache(ImportState& state, CacheImport& plan) {
    NameIndex own([&state](std::size_t i) { return state.comparedNameOf(i); });
    const std::vector<std::uint32_t> order =
        state.sections.empty() ? std::vector<std::uint32_t>() : keysFor(state, *plan.cache, own);
    // A cache that no key is meant for is left as it is, missing or not.
    if (state.sections.empty() ? state.incoming.empty() : order.empty()) {
        return true;
    }
    const NameIndex& wanted = state.sections.empty() ? state.namesOf("") : own;
    // Read, then closed: caches are held one at a time, and a missing one is only empty until
    // something is written to it.
    std::unordered_map<std::size_t, CachedValue> cached;
    std::vector<bool> same(state.incoming.size());
    if (!readCached(state, *plan.cache, wanted, cached, same)) {
        return false;
    }
    const std::size_t count = state.sections.empty() ? state.incoming.size() : order.size();
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t index = state.sections.empty() ? i : order[i];
        const auto found = cached.find(index);
        if (!same[index]) {
            planKey(state, plan, index, found == cached.end() ? nullptr : &found->second);
        }
    }
    return true;
}

void reportPlanned(const ImportState& state, const CacheImport& plan, std::size_t count,
                   Report& report) {
    for (std::size_t i = 0; i < count && i < plan.lines.size(); ++i) {
        const Planned& line = plan.lines[i];
        const Incoming& key = state.incoming[line.key];
        const std::string imported = state.records.fingerprintOf(state.record(key));
        const std::string_view fingerprint =
            imported.empty() ? std::string_view("-") : std::string_view(imported);
        if (line.replaced) {
            const Replaced& replaced = plan.replaced[line.replaced - 1];
            report.add(Change{plan.cache->name, Change::Replaced, replaced.cachedName, fingerprint,
                              replaced.fingerprint});
        } else {
            report.add(Change{plan.cache->name, Change::Added, state.nameOf(key), fingerprint, {}});
        }
    }
    report.flush();
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

// The keys of the input; nullopt after its error.
std::optional<KeyModel::KeyRecords>
readKeys(std::string_view text, const std::optional<HostPattern>& host,
         const std::string& inputName, const ImportOptions& options, Diagnostics& diagnostics) {
    KeyModel::KeyRecords read;
    if (options.format == "putty") {
        read = KeyModel::recordPuttyLines(text, hostsEscaped(), options.maxBytes);
    } else {
        std::optional<KeyModel::HostQuery> query;
        if (host) {
            query = KeyModel::HostQuery{host->host, host->port.value_or(22)};
        }
        read = KeyModel::recordKnownHosts(text, query, options.maxBytes);
        // The query's host, where the records find it: the option's, which outlives them.
        read.queryHost = host ? std::string_view(host->host) : std::string_view();
    }
    if (!read.error.empty()) {
        diagnostics.error(inputName, read.error + ": nothing imported");
        return std::nullopt;
    }
    for (const KeyModel::ReadWarning& warning : read.warnings) {
        diagnostics.warning(inputName + ":" + std::to_string(warning.line), warning.message);
    }
    std::vector<KeyModel::ReadWarning>().swap(read.warnings);
    return read;
}

// The lines after "# <cache name>" go to that cache alone, whichever caches are selected, so
// that a backup of several caches is put back where it came from and nowhere else.
void findSections(ImportState& state, std::string_view text, const std::vector<Cache>& caches) {
    if (state.options.format != "putty") {
        return;
    }
    state.sections = sectionsOf(text);
    for (const auto& section : state.sections) {
        if (std::none_of(caches.begin(), caches.end(), [&](const Cache& cache) {
                return sameText(cache.name, section.second, namesIgnoreCase());
            })) {
            state.diagnostics.warning(state.inputName + ":" + std::to_string(section.first),
                                      "no cache selected is " + section.second +
                                          ": its keys left out");
        }
    }
}

// The section a key on `line` is in: 1 + the index of the last that starts before it; 0 for
// none.
std::uint32_t sectionOf(const ImportState& state, std::size_t line) {
    const auto after = std::upper_bound(
        state.sections.begin(), state.sections.end(), line,
        [](std::size_t number, const auto& section) { return number < section.first; });
    return static_cast<std::uint32_t>(after - state.sections.begin());
}

// Each key read, named as PuTTY stores it here, once per name and section.
void takeKeys(ImportState& state, const std::optional<HostPattern>& host) {
    const KeyModel::KeyRecords& read = state.records;
    // No more than one each.
    state.incoming.reserve(read.keys.size());
    for (std::size_t i = 0; i < read.keys.size(); ++i) {
        const KeyModel::KeyRecord& key = read.keys[i];
        // PuTTY's lines name their own hosts: --host only narrows them.
        if (state.options.format == "putty" && host &&
            (!sameText(read.host(key), host->host, true) ||
             (host->port && *host->port != key.port))) {
            continue;
        }
        const Incoming taken{static_cast<std::uint32_t>(i), sectionOf(state, key.line)};
        // Grown as it fills: moving the hashes makes no name again.
        NameIndex& names = state.namesOf(state.sectionName(taken));
        // Taken in, and given back when its name came earlier (that is rare).
        state.incoming.push_back(taken);
        const auto [first, added] = names.emplace(state.comparedNameOf(state.incoming.size() - 1),
                                                  state.incoming.size() - 1);
        if (added) {
            continue;
        }
        state.incoming.pop_back();
        if (!state.sameKeys(state.incoming[first], taken)) {
            state.leftOut(taken, state.incoming[first]);
        }
    }
}

// Writes one cache's changes in one applyChanges (reported in a dry run); false after an error.
bool writePlan(const ImportState& state, const CacheImport& plan, Report& report) {
    if (state.options.dryRun) {
        reportPlanned(state, plan, plan.lines.size(), report);
        return true;
    }
    if (plan.lines.empty()) {
        return true;
    }
    PAL::OpenKey key(*plan.cache->api);
    std::string reason;
    Api::Status status = plan.cache->create(key.out(), &reason);
    if (status != Api::Success) {
        state.diagnostics.error(plan.cache->name, reason.empty() ? statusText(status) : reason);
        return false;
    }
    std::size_t applied = 0;
    status = plan.cache->api->applyChanges(key.get(), {}, PlannedValues(state, plan), &applied);
    // A failure part way (value by value in the registry) says what was written.
    reportPlanned(state, plan, applied, report);
    if (status != Api::Success) {
        state.diagnostics.error(plan.cache->name, statusText(status));
        return false;
    }
    return true;
}

ExitStatus importInto(ImportState& state, const std::vector<Cache>& caches, Report& report) {
    const ExitStatus done = state.conflict ? ExitStatus::Conflict : ExitStatus::Done;
    // Nothing to import makes no cache key or file.
    if (state.incoming.empty()) {
        return done;
    }
    std::vector<CacheImport> plans;
    for (const Cache& cache : caches) {
        plans.push_back(CacheImport{&cache, {}, {}});
        if (!planCache(state, plans.back())) {
            break;
        }
    }
    // Nothing is written unless every cache asked for could be read.
    if (state.diagnostics.failed()) {
        return ExitStatus::Failure;
    }
    for (const CacheImport& plan : plans) {
        if (!writePlan(state, plan, report)) {
            return ExitStatus::Failure;
        }
    }
    return state.conflict ? ExitStatus::Conflict : ExitStatus::Done;
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
    const std::optional<KeyModel::KeyRecords> read =
        readKeys(text, host, inputName, options, diagnostics);
    if (!read) {
        return ExitStatus::Failure;
    }
    const std::vector<Cache> caches = selectCaches(options.cache, diagnostics);
    Report report = Report::changes(options.output == "json" ? Format::Json : Format::Text,
                                    caches.size() > 1, options.dryRun, out, diagnostics);
    ExitStatus status = ExitStatus::Failure;
    if (!diagnostics.failed()) {
        ImportState state{options, inputName, diagnostics, *read, false, {}, {}, {}};
        findSections(state, text, caches);
        takeKeys(state, host);
        status = importInto(state, caches, report);
    }
    report.finish();
    return status;
}

Command declareImport(CLI::App& app) {
    auto options = std::make_shared<ImportOptions>();
    CLI::App* command = app.add_subcommand(
        "import", "Add keys from a known_hosts file or public key files, or PuTTY's lines");
    command->add_option("FILE", options->input, "Keys to import (default -: standard input)");
    addFormatOption(*command, options->format, {"known_hosts", "putty"},
                    "known_hosts (default; public key files too) or putty");
    command
        ->add_option("--host", options->host,
                     "The host (HOST or [HOST]:PORT) that hashed names and public key files "
                     "stand for; only its keys are imported")
        ->type_name("NAME");
    addCacheOption(*command, options->cache);
    command->add_flag("--replace", options->replace, "Replace a different key cached for a name");
    command->add_flag("--dry-run", options->dryRun, "Show what would change, change nothing");
    addFormatOption(*command, options->output, {"text", "json"},
                    "text (default) or json: what was changed", "--output-format");
    return {command, [options](std::ostream& out, Diagnostics& diagnostics) {
                return importKeys(*options, out, diagnostics);
            }};
}

} // namespace hkcache
