// The import command: read the input whole, name each key as PuTTY would, compare it with each
// cache's, and write each cache's additions and replacements in one applyChanges.
#include "Import.h"

#include "Backup.h"
#include "Caches.h"
#include "FingerprintPins.h"
#include "HostFilter.h"
#include "ImportInput.h"
#include "MatchingKeys.h"
#include "NameIndex.h"
#include "RegFile.h"
#include "Report.h"

#include "KeyModel/CachedName.h"
#include "KeyModel/KeyReader.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdint>
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

// One key of the input: its record, and the section it is in. Its name, text and fingerprint
// are made when they are written or reported (ImportState), one key at a time.
struct Incoming {
    std::uint32_t input;
    std::uint32_t record;
    std::uint32_t section; // 1 + its index in the sections; 0: every cache
};

// "# <name>" lines of PuTTY's lines, as a backup of several caches has them before each
// cache's: (line number, name). A "## " line starts a removal's section, whose lines are for
// any cache until its own "# <name>" lines: its name is empty.
std::vector<std::pair<std::size_t, std::string>> sectionsOf(std::string_view text) {
    std::vector<std::pair<std::size_t, std::string>> sections;
    for (const SectionLine& line : sectionLines(text)) {
        sections.emplace_back(line.line, line.dated ? std::string() : std::string(line.text));
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
    const std::vector<ImportInput>& inputs;
    Diagnostics& diagnostics;
    const std::vector<KeyModel::KeyRecords>& records; // each input's
    // A key was left out because a different one is cached (or read earlier) under its name.
    bool conflict = false;
    std::vector<Incoming> incoming;
    // "# <cache name>" lines, each cache's part of PuTTY's lines: (line number, name).
    std::vector<std::pair<std::size_t, std::string>> sections;
    // Per section, the names of its keys.
    std::map<std::string, NameIndex> firstOf;

    const KeyModel::KeyRecord& record(const Incoming& key) const {
        return records[key.input].keys[key.record];
    }
    // Its line among all the inputs' lines.
    std::size_t lineOf(const Incoming& key) const {
        return record(key).line + inputs[key.input].firstLine - 1;
    }
    // The key's name as PuTTY stores it here.
    std::string nameOf(const Incoming& key) const {
        const KeyModel::KeyRecords& read = records[key.input];
        const std::string host = read.host(record(key));
        return KeyModel::composeCachedName(
            KeyModel::CachedName{read.puttyType(record(key)), record(key).port,
                                 hostsEscaped() ? KeyModel::escapeHost(host) : host});
    }
    std::string comparedNameOf(std::size_t index) const {
        return comparedName(nameOf(incoming[index]));
    }
    KeyModel::KeyText keyOf(const Incoming& key) const {
        return records[key.input].keyOf(record(key));
    }
    std::string dataOf(const Incoming& key) const { return records[key.input].dataOf(record(key)); }
    std::string fingerprintOf(const Incoming& key) const {
        return records[key.input].fingerprintOf(record(key));
    }
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
        const std::string here = where(lineOf(key));
        std::string there = where(lineOf(earlier));
        // In the same input, its line is enough.
        const std::size_t colon = there.rfind(':');
        there = here.compare(0, here.rfind(':'), there, 0, colon) == 0
                    ? "on line " + there.substr(colon + 1)
                    : "at " + there;
        diagnostics.warning(here,
                            nameOf(key) + ": a different key for it is " + there + ": left out");
    }

    // "<input>:<line>" for a line numbered among all the inputs' lines.
    std::string where(std::size_t line) const {
        const auto after =
            std::upper_bound(inputs.begin(), inputs.end(), line,
                             [](std::size_t n, const ImportInput& in) { return n < in.firstLine; });
        const ImportInput& input = *std::prev(after);
        return input.name + ":" + std::to_string(line - input.firstLine + input.fileLine);
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
        out = state.dataOf(state.incoming[plan.lines[index].key]);
    }

private:
    const ImportState& state;
    const CacheImport& plan;
};

// The keys meant for `cache` (their indexes), each name once, in the input's order; `own` gets
// their names. Only for an input with sections or owners weighed: without, every key is meant
// for every cache.
std::vector<std::uint32_t> keysFor(ImportState& state, const Cache& cache, NameIndex& own) {
    std::vector<std::uint32_t> order;
    for (std::size_t i = 0; i < state.incoming.size(); ++i) {
        const Incoming& key = state.incoming[i];
        if ((key.section != 0 &&
             !sameText(state.sectionName(key), cache.name, namesIgnoreCase())) ||
            !distrust(state.inputs[key.input].owner, cache).empty()) {
            continue;
        }
        // A name in both the every-cache part and this cache's own: the first key keeps it.
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
    const bool everyKey = state.sections.empty() &&
                          std::none_of(state.inputs.begin(), state.inputs.end(),
                                       [](const ImportInput& input) { return input.owner; });
    const std::vector<std::uint32_t> order =
        everyKey ? std::vector<std::uint32_t>() : keysFor(state, *plan.cache, own);
    // A cache that no key is meant for is left as it is, missing or not.
    if (everyKey ? state.incoming.empty() : order.empty()) {
        return true;
    }
    const NameIndex& wanted = everyKey ? state.namesOf("") : own;
    // Read and closed again, so that one cache is open at a time; reading a missing one
    // creates nothing.
    std::unordered_map<std::size_t, CachedValue> cached;
    std::vector<bool> same(state.incoming.size());
    if (!readCached(state, *plan.cache, wanted, cached, same)) {
        return false;
    }
    const std::size_t count = everyKey ? state.incoming.size() : order.size();
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t index = everyKey ? i : order[i];
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
        const std::string imported = state.fingerprintOf(key);
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

} // namespace

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

namespace {

// The keys of one input, each numbered within it; nullopt after its error. What it left out is
// counted in `leftOut`, and its warnings are not kept.
std::optional<KeyModel::KeyRecords> readKeys(const ImportInput& input,
                                             const KeyModel::HostQueries& queries,
                                             const ImportOptions& options, LeftOutCount& leftOut,
                                             Diagnostics& diagnostics) {
    KeyModel::KeyRecords read;
    if (options.format == "putty") {
        read = KeyModel::recordPuttyLines(input.text, hostsEscaped(), options.maxBytes);
    } else {
        read = KeyModel::recordKnownHosts(input.text, queries, options.maxBytes);
    }
    if (!read.error.empty()) {
        diagnostics.error(input.name, read.error + ": nothing imported");
        return std::nullopt;
    }
    for (const KeyModel::ReadWarning& warning : read.warnings) {
        const std::string where =
            input.name + ":" + std::to_string(warning.line + input.fileLine - 1);
        // Which of the hosts a .pub line is for, nothing tells.
        if (queries.size() > 1 && warning.kind == KeyModel::ReadWarning::NoHost) {
            diagnostics.error(where, warning.message);
        } else {
            diagnostics.warning(where, warning.message);
        }
    }
    if (diagnostics.failed()) {
        return std::nullopt;
    }
    leftOut.add(input, read.warnings, read.keys.size());
    std::vector<KeyModel::ReadWarning>().swap(read.warnings);
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
        // A user's file goes to their own caches alone: said when none of them is selected.
        if (input.owner && !caches.empty() &&
            std::all_of(caches.begin(), caches.end(), [&](const Cache& cache) {
                return !distrust(input.owner, cache).empty();
            })) {
            state.diagnostics.warning(input.name, "its keys left out: " +
                                                      distrust(input.owner, caches.front()));
        }
        if (input.firstLine != 1) {
            state.sections.emplace_back(input.firstLine, std::string());
        }
        for (auto& section : sectionsOf(input.text)) {
            section.first += input.firstLine - 1;
            // A removal's dated line names no cache: what follows it is for any.
            named = named || !section.second.empty();
            const auto cache = std::find_if(caches.begin(), caches.end(), [&](const Cache& c) {
                return sameText(c.name, section.second, namesIgnoreCase());
            });
            if (!section.second.empty() && cache == caches.end()) {
                state.diagnostics.warning(state.where(section.first), "no cache selected is " +
                                                                          section.second +
                                                                          ": its keys left out");
            } else if (!section.second.empty() && !distrust(input.owner, *cache).empty()) {
                // Run as root, a user's edit of their own backup must not steer another's cache.
                state.diagnostics.warning(state.where(section.first),
                                          "the keys for " + section.second +
                                              " left out: " + distrust(input.owner, *cache));
            }
            state.sections.push_back(std::move(section));
        }
    }
    if (!named) {
        state.sections.clear();
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

// Whether a key read is one the run takes: pinned (when pins are given), and of a --host
// (PuTTY's lines name their own hosts: --host only narrows them).
bool wanted(const ImportState& state, const Incoming& key, const std::vector<HostPattern>& hosts,
            FingerprintPins& pins) {
    const KeyModel::KeyRecords& read = state.records[key.input];
    const KeyModel::KeyRecord& record = state.record(key);
    if (!pins.empty()) {
        // Only the fingerprint: the key's PuTTY text is made when it is written.
        if (!pins.admits(read.fingerprintOf(record), state.where(state.lineOf(key)),
                         read.host(record) + " " +
                             KeyModel::openSshTypeOf(read.puttyType(record)))) {
            return false;
        }
    }
    return state.options.format != "putty" || hosts.empty() ||
           std::any_of(hosts.begin(), hosts.end(), [&](const HostPattern& host) {
               return sameText(read.host(record), host.host, true) &&
                      (!host.port || *host.port == record.port);
           });
}

// One key read into the run, unless a key of its name came earlier in its section.
void takeKey(ImportState& state, Incoming taken, const std::vector<HostPattern>& hosts,
             FingerprintPins& pins) {
    if (!wanted(state, taken, hosts, pins)) {
        return;
    }
    taken.section = sectionOf(state, state.lineOf(taken));
    // A removal's dated section, or the start of another input, is for every cache.
    if (taken.section != 0 && state.sectionName(taken).empty()) {
        taken.section = 0;
    }
    // Not reserved ahead: growing moves only the hashes and makes no name again.
    NameIndex& names = state.namesOf(state.sectionName(taken));
    // Pushed first, since the index names a key by its place; popped again in the rare case
    // that its name came earlier.
    state.incoming.push_back(taken);
    const auto [first, added] =
        names.emplace(state.comparedNameOf(state.incoming.size() - 1), state.incoming.size() - 1);
    if (added) {
        return;
    }
    state.incoming.pop_back();
    if (!state.sameKeys(state.incoming[first], taken)) {
        state.leftOut(taken, state.incoming[first]);
    }
}

// Each key read, named as PuTTY stores it here, once per name and section.
void takeKeys(ImportState& state, const std::vector<HostPattern>& hosts, FingerprintPins& pins) {
    std::size_t count = 0;
    for (const KeyModel::KeyRecords& read : state.records) {
        count += read.keys.size();
    }
    // At most one entry per key read.
    state.incoming.reserve(count);
    for (std::size_t input = 0; input < state.records.size(); ++input) {
        for (std::size_t i = 0; i < state.records[input].keys.size(); ++i) {
            takeKey(state,
                    Incoming{static_cast<std::uint32_t>(input), static_cast<std::uint32_t>(i), 0},
                    hosts, pins);
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

// Each input's keys, and what was left out for `leftOut`; nullopt after an error.
std::optional<std::vector<KeyModel::KeyRecords>>
readAll(const std::vector<ImportInput>& inputs, const KeyModel::HostQueries& queries,
        const ImportOptions& options, LeftOutCount& leftOut, Diagnostics& diagnostics) {
    std::vector<KeyModel::KeyRecords> all;
    for (const ImportInput& input : inputs) {
        std::optional<KeyModel::KeyRecords> read =
            readKeys(input, queries, options, leftOut, diagnostics);
        if (!read) {
            return std::nullopt;
        }
        all.push_back(std::move(*read));
    }
    return all;
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
    // A backup's lines name the caches they are for: whose file says so is weighed.
    std::vector<std::optional<PAL::FileOwner>> owners;
    const std::optional<std::vector<std::string>> texts =
        readInputs(options.inputs, options.maxBytes, diagnostics,
                   options.format != "known_hosts" && PAL::runsPrivileged() ? &owners : nullptr);
    if (!texts) {
        return ExitStatus::Failure;
    }
    owners.resize(texts->size());
    std::vector<ImportInput> inputs;
    std::size_t line = 1;
    for (std::size_t i = 0; i < texts->size(); ++i) {
        const std::string& text = (*texts)[i];
        inputs.push_back(ImportInput{inputName(options.inputs[i]), text, line, 1, owners[i]});
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
    if (options.format == "reg") {
        std::vector<std::string> lines;
        const std::optional<std::vector<ImportInput>> asLines =
            regFilesAsLines(inputs, lines, diagnostics);
        ImportOptions asPutty = options;
        asPutty.format = "putty";
        return asLines ? importInputs(*asLines, asPutty, out, diagnostics) : ExitStatus::Failure;
    }
    std::vector<HostPattern> hosts;
    FingerprintPins pins = options.pins;
    if (!hostOptions(options.hosts, hosts, diagnostics) || !pins.parse(diagnostics)) {
        return ExitStatus::Failure;
    }
    KeyModel::HostQueries queries; // the records' hosts of hashed and .pub lines
    for (const HostPattern& host : hosts) {
        queries.push_back(KeyModel::HostQuery{host.host, host.port.value_or(22)});
    }
    LeftOutCount leftOut;
    const std::optional<std::vector<KeyModel::KeyRecords>> read =
        readAll(inputs, queries, options, leftOut, diagnostics);
    if (!read) {
        return ExitStatus::Failure;
    }
    const std::vector<Cache> caches = selectCaches(options.cache, diagnostics);
    Report report = Report::changes(options.output == "json" ? Format::Json : Format::Text,
                                    caches.size() > 1, options.dryRun, out, diagnostics);
    ExitStatus status = ExitStatus::Failure;
    if (!diagnostics.failed()) {
        ImportState state{options, inputs, diagnostics, *read, false, {}, {}, {}};
        findSections(state, caches);
        takeKeys(state, hosts, pins);
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
    addFormatOption(*command, options->format, {"known_hosts", "putty", "reg"},
                    "known_hosts (default; public key files too), putty or reg (a .reg file)");
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
