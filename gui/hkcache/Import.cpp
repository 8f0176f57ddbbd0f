// The import command: read the input whole, name each key as PuTTY would, compare it with each
// cache's, and write each cache's additions and replacements in one applyChanges.
#include "Import.h"

#include "Caches.h"
#include "FingerprintPins.h"
#include "HostFilter.h"
#include "ImportInput.h"
#include "MatchingKeys.h"
#include "Report.h"

#include "KeyModel/CachedName.h"
#include "KeyModel/KeyReader.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <unordered_map>

namespace hkcache {
namespace {

using Api = PAL::RegistryApi;

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

// What one run has read and found so far.
struct ImportState {
    const ImportOptions& options;
    const std::vector<ImportInput>& inputs;
    Diagnostics& diagnostics;
    // A key was left out because a different one is cached (or read earlier) under its name.
    bool conflict = false;
    std::vector<Incoming> incoming;
    // "# <cache name>" lines, each cache's part of PuTTY's lines: (line number, name).
    std::vector<std::pair<std::size_t, std::string>> sections;
    // Per section, the names of its keys.
    std::map<std::string, NameIndex> firstOf;

    void leftOut(const Incoming& key, const KeyModel::ReadKey& earlier) {
        conflict = true;
        const std::string here = where(key.read->line);
        std::string there = where(earlier.line);
        // In the same input, its line is enough.
        const std::size_t colon = there.rfind(':');
        there = here.compare(0, here.rfind(':'), there, 0, colon) == 0
                    ? "on line " + there.substr(colon + 1)
                    : "at " + there;
        diagnostics.warning(here, key.name + ": a different key for it is " + there + ": left out");
    }

    // "<input>:<line>" for a line numbered among all the inputs' lines.
    std::string where(std::size_t line) const {
        const auto after =
            std::upper_bound(inputs.begin(), inputs.end(), line,
                             [](std::size_t n, const ImportInput& in) { return n < in.firstLine; });
        const ImportInput& input = *std::prev(after);
        return input.name + ":" + std::to_string(line - input.firstLine + 1);
    }
};

// The keys meant for `cache`, each name once, in the input's order; `own` gets their names when
// some key is for one cache alone.
std::vector<const Incoming*> keysFor(ImportState& state, const Cache& cache, NameIndex& own) {
    std::vector<const Incoming*> order;
    if (state.sections.empty()) {
        order.reserve(state.incoming.size());
        for (const Incoming& key : state.incoming) {
            order.push_back(&key);
        }
        return order;
    }
    for (std::size_t i = 0; i < state.incoming.size(); ++i) {
        const Incoming& key = state.incoming[i];
        if (!key.section.empty() && !sameText(key.section, cache.name, namesIgnoreCase())) {
            continue;
        }
        // A name both in every cache's part and in this cache's own.
        const auto [earlier, first] = own.emplace(key.compared(), i);
        const KeyModel::ReadKey& before = *state.incoming[earlier->second].read;
        if (first) {
            order.push_back(&key);
        } else if (!sameKey(key.read->key->puttyType, before.key->data, key.read->key->data)) {
            state.leftOut(key, before);
        }
    }
    return order;
}

// Only what the import names is kept of the cache: its first value of each such name. False
// after the cache's error.
bool readCached(ImportState& state, const Cache& cache, const NameIndex& wanted,
                std::unordered_map<const Incoming*, CachedValue>& cached) {
    std::string folded;
    return forEachMatchingKey(
        cache, KeyWalk{},
        [&](const MatchingKey& key) {
            const auto found = wanted.find(comparedView(key.name, folded));
            if (found != wanted.end()) {
                cached.emplace(
                    &state.incoming[found->second],
                    CachedValue{std::string(key.name), std::string(key.data), key.refused()});
            }
        },
        state.diagnostics);
}

// What importing `key` changes in the cache that holds `cached` under its name (null: none).
void planKey(ImportState& state, CacheImport& plan, const Incoming& key,
             const CachedValue* cached) {
    const ImportOptions& options = state.options;
    // A dry run writes nothing: no copy of each key's text for it.
    if (!cached) {
        if (!options.dryRun) {
            plan.sets.push_back(Api::ValueText{key.name, key.read->key->data});
        }
        plan.lines.push_back(Planned{&key, {}, {}});
        return;
    }
    // What another program keeps under the name is neither replaced nor compared.
    if (!cached->refused.empty()) {
        state.conflict = true;
        state.diagnostics.warning(plan.cache->name + ": " + cached->name,
                                  cached->refused + " (" + key.name + " not imported)");
        return;
    }
    if (sameKey(key.read->key->puttyType, cached->data, key.read->key->data)) {
        return;
    }
    std::string old = fingerprintOf(key.read->key->puttyType, cached->data);
    if (!options.replace) {
        state.conflict = true;
        state.diagnostics.warning(plan.cache->name + ": " + cached->name,
                                  "cached key " + old + " differs from the imported " +
                                      std::string(key.fingerprint) +
                                      ": kept (--replace replaces it)");
        return;
    }
    // The name as it is cached: the registry keeps a name's first spelling.
    if (!options.dryRun) {
        plan.sets.push_back(Api::ValueText{cached->name, key.read->key->data});
    }
    plan.lines.push_back(Planned{&key, cached->name, std::move(old)});
}

// What importing the input changes in one cache; false after an error.
bool planCache(ImportState& state, CacheImport& plan) {
    NameIndex own;
    const std::vector<const Incoming*> order = keysFor(state, *plan.cache, own);
    // A cache that no key is meant for is left as it is, missing or not.
    if (order.empty()) {
        return true;
    }
    const NameIndex& wanted = state.sections.empty() ? state.firstOf[""] : own;
    // Read, then closed: caches are held one at a time, and a missing one is only empty until
    // something is written to it.
    std::unordered_map<const Incoming*, CachedValue> cached;
    if (!readCached(state, *plan.cache, wanted, cached)) {
        return false;
    }
    for (const Incoming* key : order) {
        const auto found = cached.find(key);
        planKey(state, plan, *key, found == cached.end() ? nullptr : &found->second);
    }
    return true;
}

void reportPlanned(const CacheImport& plan, std::size_t count, Report& report) {
    for (std::size_t i = 0; i < count && i < plan.lines.size(); ++i) {
        const Planned& line = plan.lines[i];
        const bool replaces = !line.cachedName.empty();
        report.add(Change{plan.cache->name, replaces ? Change::Replaced : Change::Added,
                          replaces ? line.cachedName : line.key->name, line.key->fingerprint,
                          line.fingerprint});
    }
    report.flush();
}

// Each --host into `hosts`; false after its error.
bool hostOptions(const std::vector<std::string>& texts, std::vector<HostPattern>& hosts,
                 Diagnostics& diagnostics) {
    for (const std::string& text : texts) {
        std::optional<HostPattern> host = parseHostPattern(text);
        if (!host) {
            diagnostics.error(text, "not a host name, HOST:PORT or [HOST]:PORT");
            return false;
        }
        // PuTTY for Unix's file has no name holding one: the real run would fail at the cache,
        // and a dry run is to say what the real run does.
        if (std::any_of(host->host.begin(), host->host.end(), [](char c) {
                return static_cast<unsigned char>(c) <= ' ' || c == '\x7f';
            })) {
            diagnostics.error(text, "a host name holds no white space or control bytes");
            return false;
        }
        hosts.push_back(std::move(*host));
    }
    return true;
}

// The keys of one input, numbered among all the inputs' lines; nullopt after its error.
std::optional<KeyModel::ReadKeys> readKeys(const ImportInput& input,
                                           const std::vector<HostPattern>& hosts,
                                           const ImportOptions& options, Diagnostics& diagnostics) {
    KeyModel::ReadKeys read;
    if (options.format == "putty") {
        read = KeyModel::readPuttyLines(input.text, hostsEscaped(), options.maxBytes);
    } else {
        KeyModel::HostQueries queries;
        for (const HostPattern& host : hosts) {
            queries.push_back(KeyModel::HostQuery{host.host, host.port.value_or(22)});
        }
        read = KeyModel::readKnownHosts(input.text, queries, options.maxBytes);
    }
    if (!read.error.empty()) {
        diagnostics.error(input.name, read.error + ": nothing imported");
        return std::nullopt;
    }
    for (const KeyModel::ReadWarning& warning : read.warnings) {
        const std::string where = input.name + ":" + std::to_string(warning.line);
        // Which of the hosts a .pub line is for, nothing tells.
        if (hosts.size() > 1 && warning.kind == KeyModel::ReadWarning::NoHost) {
            diagnostics.error(where, warning.message);
        } else {
            diagnostics.warning(where, warning.message);
        }
    }
    for (KeyModel::ReadKey& key : read.keys) {
        key.line += input.firstLine - 1;
    }
    if (diagnostics.failed()) {
        return std::nullopt;
    }
    return read;
}

// The lines after "# <cache name>" go to that cache alone, whichever caches are selected, so
// that a backup of several caches is put back where it came from and nowhere else.
// A section ends with its input: each input after the first starts with one for every cache.
void findSections(ImportState& state, const std::vector<Cache>& caches) {
    if (state.options.format != "putty") {
        return;
    }
    bool named = false;
    for (const ImportInput& input : state.inputs) {
        if (input.firstLine != 1) {
            state.sections.emplace_back(input.firstLine, std::string());
        }
        for (auto& section : sectionsOf(input.text)) {
            section.first += input.firstLine - 1;
            named = true;
            if (std::none_of(caches.begin(), caches.end(), [&](const Cache& cache) {
                    return sameText(cache.name, section.second, namesIgnoreCase());
                })) {
                state.diagnostics.warning(state.where(section.first), "no cache selected is " +
                                                                          section.second +
                                                                          ": its keys left out");
            }
            state.sections.push_back(std::move(section));
        }
    }
    if (!named) {
        state.sections.clear();
    }
}

// The section a key on `line` is in: the last that starts before it; empty for none.
std::string sectionOf(const ImportState& state, std::size_t line) {
    const auto after = std::upper_bound(
        state.sections.begin(), state.sections.end(), line,
        [](std::size_t number, const auto& section) { return number < section.first; });
    return after == state.sections.begin() ? std::string() : std::prev(after)->second;
}

// Each key read, named as PuTTY stores it here, once per name and section.
void takeKeys(ImportState& state, const KeyModel::ReadKeys& read,
              const std::vector<HostPattern>& hosts) {
    const bool escaped = hostsEscaped();
    // No more than one each: the names' views in firstOf stay where they are.
    state.incoming.reserve(read.keys.size());
    for (const KeyModel::ReadKey& key : read.keys) {
        // PuTTY's lines name their own hosts: --host only narrows them.
        if (state.options.format == "putty" && !hosts.empty() &&
            std::none_of(hosts.begin(), hosts.end(), [&key](const HostPattern& host) {
                return sameText(key.host, host.host, true) &&
                       (!host.port || *host.port == key.port);
            })) {
            continue;
        }
        std::string name = KeyModel::composeCachedName(KeyModel::CachedName{
            key.key->puttyType, key.port, escaped ? KeyModel::escapeHost(key.host) : key.host});
        std::string folded;
        if (comparedView(name, folded).data() == name.data()) {
            folded.clear();
        }
        std::string section = sectionOf(state, key.line);
        auto& names = state.firstOf[section];
        // Sections come from the input: only the part for every cache is sized by the input.
        if (names.empty() && section.empty()) {
            names.reserve(read.keys.size());
        }
        // Taken in, and given back when its name came earlier (that is rare).
        state.incoming.push_back(Incoming{std::move(name), std::move(folded), &key,
                                          key.key->fingerprint.empty()
                                              ? std::string_view("-")
                                              : std::string_view(key.key->fingerprint),
                                          std::move(section)});
        const auto [first, added] =
            names.emplace(state.incoming.back().compared(), state.incoming.size() - 1);
        if (added) {
            continue;
        }
        const Incoming taken = std::move(state.incoming.back());
        state.incoming.pop_back();
        const KeyModel::ReadKey& earlier = *state.incoming[first->second].read;
        if (!sameKey(key.key->puttyType, earlier.key->data, key.key->data)) {
            state.leftOut(taken, earlier);
        }
    }
}

// Writes one cache's changes in one applyChanges (reported in a dry run); false after an error.
bool writePlan(const ImportState& state, const CacheImport& plan, Report& report) {
    if (state.options.dryRun) {
        reportPlanned(plan, plan.lines.size(), report);
        return true;
    }
    if (plan.sets.empty()) {
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
    status = plan.cache->api->applyChanges(key.get(), {}, plan.sets, &applied);
    // A failure part way (value by value in the registry) says what was written.
    reportPlanned(plan, applied, report);
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

// The inputs' keys, numbered among all their lines, and what was left out for `leftOut`.
std::optional<KeyModel::ReadKeys> readAll(const std::vector<ImportInput>& inputs,
                                          const std::vector<HostPattern>& hosts,
                                          const ImportOptions& options, LeftOutCount& leftOut,
                                          Diagnostics& diagnostics) {
    KeyModel::ReadKeys all;
    for (const ImportInput& input : inputs) {
        std::optional<KeyModel::ReadKeys> read = readKeys(input, hosts, options, diagnostics);
        if (!read) {
            return std::nullopt;
        }
        leftOut.add(input, *read);
        if (all.keys.empty()) {
            all.keys = std::move(read->keys);
        } else {
            std::move(read->keys.begin(), read->keys.end(), std::back_inserter(all.keys));
        }
    }
    return all;
}

// Only the pinned keys are kept; the others are named for the message that no key was.
void keepPinned(KeyModel::ReadKeys& read, FingerprintPins& pins, const ImportState& state) {
    if (pins.empty()) {
        return;
    }
    const auto unpinned = [&](const KeyModel::ReadKey& key) {
        return !pins.admits(key.key->fingerprint, state.where(key.line),
                            key.host + " " + key.key->openSshType);
    };
    read.keys.erase(std::remove_if(read.keys.begin(), read.keys.end(), unpinned), read.keys.end());
}

// An input that yields no key is a failure of its own: a script must not go on as if seeded.
ExitStatus nothingToImport(const LeftOutCount& leftOut, const ImportOptions& options,
                           const FingerprintPins& pins, Diagnostics& diagnostics) {
    pins.seen(diagnostics);
    leftOut.report(!options.hosts.empty(), !pins.empty(), diagnostics);
    return ExitStatus::NothingToImport;
}

} // namespace

ExitStatus importKeys(const ImportOptions& options, std::ostream& out, Diagnostics& diagnostics) {
    // Arguments are checked before standard input is waited for.
    std::vector<HostPattern> hosts;
    FingerprintPins pins = options.pins;
    if (!hostOptions(options.hosts, hosts, diagnostics) || !pins.parse(diagnostics)) {
        return ExitStatus::Failure;
    }
    const std::optional<std::vector<std::string>> texts =
        readInputs(options.inputs, options.maxBytes, diagnostics);
    if (!texts) {
        return ExitStatus::Failure;
    }
    std::vector<ImportInput> inputs;
    std::size_t line = 1;
    for (std::size_t i = 0; i < texts->size(); ++i) {
        const std::string& text = (*texts)[i];
        inputs.push_back(ImportInput{inputName(options.inputs[i]), text, line});
        line += std::size_t(std::count(text.begin(), text.end(), '\n')) +
                (text.empty() || text.back() == '\n' ? 0 : 1);
    }
    return importInputs(inputs, options, out, diagnostics);
}

ExitStatus importText(std::string_view text, const std::string& inputName,
                      const ImportOptions& options, std::ostream& out, Diagnostics& diagnostics) {
    return importInputs({ImportInput{inputName, text, 1}}, options, out, diagnostics);
}

ExitStatus importInputs(const std::vector<ImportInput>& inputs, const ImportOptions& options,
                        std::ostream& out, Diagnostics& diagnostics) {
    std::vector<HostPattern> hosts;
    FingerprintPins pins = options.pins;
    if (!hostOptions(options.hosts, hosts, diagnostics) || !pins.parse(diagnostics)) {
        return ExitStatus::Failure;
    }
    LeftOutCount leftOut;
    std::optional<KeyModel::ReadKeys> read = readAll(inputs, hosts, options, leftOut, diagnostics);
    if (!read) {
        return ExitStatus::Failure;
    }
    const std::vector<Cache> caches = selectCaches(options.cache, diagnostics);
    Report report = Report::changes(options.output == "json" ? Format::Json : Format::Text,
                                    caches.size() > 1, options.dryRun, out, diagnostics);
    ExitStatus status = ExitStatus::Failure;
    if (!diagnostics.failed()) {
        ImportState state{options, inputs, diagnostics, false, {}, {}, {}};
        keepPinned(*read, pins, state);
        findSections(state, caches);
        takeKeys(state, *read, hosts);
        status = state.incoming.empty() ? nothingToImport(leftOut, options, pins, diagnostics)
                                        : importInto(state, caches, report);
    }
    report.finish();
    return status;
}

Command declareImport(CLI::App& app) {
    auto options = std::make_shared<ImportOptions>();
    CLI::App* command = app.add_subcommand(
        "import", "Add keys from a known_hosts file or public key files, or PuTTY's lines");
    command->add_option("FILE", options->inputs,
                        "Keys to import, read in order (default -: standard input)");
    addFormatOption(*command, options->format, {"known_hosts", "putty"},
                    "known_hosts (default; public key files too) or putty");
    command
        ->add_option("--host", options->hosts,
                     "A host (HOST or [HOST]:PORT) that hashed names stand for, or the one that "
                     "public key files do; only their keys are imported; repeatable")
        ->type_name("NAME")
        ->allow_extra_args(false);
    options->pins.declare(*command);
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
