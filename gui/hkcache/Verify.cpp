// The verify command: the selected keys are read from every cache first, checked in parallel
// (each on a connection of its own), and reported in cache order.
#include "Verify.h"

#include "Caches.h"
#include "MatchingKeys.h"
#include "ParallelRuns.h"
#include "ProbeOptions.h"
#include "Report.h"
#include "SshProbe.h"

#include "KeyModel/Digest.h"

#include "PAL/Escape.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <memory>

namespace hkcache {
namespace {

struct VerifyOptions {
    Selection selection;
    std::string format = "text";
    ProbeOptions probe;
};

enum class Verdict { Match, Mismatch, BadProof, NotOffered, Unreachable, Failed, NotChecked };

// The words a verdict is printed as, in text and JSON.
const char* wordOf(Verdict verdict) {
    switch (verdict) {
    case Verdict::Match:
        return "match";
    case Verdict::Mismatch:
        return "MISMATCH";
    case Verdict::BadProof:
        return "BAD PROOF";
    case Verdict::NotOffered:
        return "not offered";
    case Verdict::Unreachable:
        return "unreachable";
    case Verdict::Failed:
        return "failed";
    case Verdict::NotChecked:
        break;
    }
    return "not checked";
}

// One cached key and what its server said about it.
struct Checked {
    std::string cache;
    std::string name;
    std::string host;
    unsigned port;
    std::string type;
    KeyModel::Bytes cached; // wire form; empty when there is none to compare
    std::string reason;     // why it cannot be checked, or what the server did
    Verdict verdict = Verdict::NotChecked;
    std::string serverFingerprint; // of the key the server showed; empty: none
    std::string algorithms;

    std::string fingerprint() const {
        return cached.empty() ? "-" : KeyModel::sha256Fingerprint(cached);
    }
};

Checked checkedOf(const Cache& cache, const MatchingKey& key) {
    Checked checked{cache.name,
                    std::string(key.name),
                    std::string(key.host),
                    key.parsed->port,
                    key.parsed->keyType,
                    {},
                    {},
                    Verdict::NotChecked,
                    {},
                    probeAlgorithms(key.parsed->keyType)};
    const KeyModel::ParsedKey parsed = KeyModel::parsePuttyKey(checked.type, key.data);
    if (!parsed.key) {
        checked.reason = "key data not understood: " + parsed.error;
    } else if (parsed.key->wire.empty()) {
        checked.reason = "an SSH-1 key";
    } else {
        checked.cached = parsed.key->wire;
        if (checked.algorithms.empty()) {
            checked.reason = "the SSH library does not check " + checked.type + " keys";
        } else if (checked.host.empty()) {
            checked.reason = "an empty host: no server to ask";
        }
    }
    return checked;
}

Verdict verdictOf(ProbeResult::Outcome outcome) {
    switch (outcome) {
    case ProbeResult::Proved:
        return Verdict::Match;
    case ProbeResult::BadProof:
        return Verdict::BadProof;
    case ProbeResult::NotOffered:
        return Verdict::NotOffered;
    case ProbeResult::Unreachable:
        return Verdict::Unreachable;
    case ProbeResult::Failed:
        break;
    }
    return Verdict::Failed;
}

void check(Checked& key, SshProbe& probe, std::chrono::milliseconds timeout) {
    if (!key.reason.empty()) {
        return; // not checked
    }
    ProbeResult result = probe.probe(key.host, key.port, key.algorithms, timeout);
    key.verdict = verdictOf(result.outcome);
    key.reason = std::move(result.reason);
    if (!result.key.empty()) {
        key.serverFingerprint = KeyModel::sha256Fingerprint(result.key);
    }
    // A key shown but not proved is never a match, whatever it is.
    if (key.verdict == Verdict::Match && result.key != key.cached) {
        key.verdict = Verdict::Mismatch;
    }
}

void writeText(const std::vector<Checked>& keys, bool showCache, std::ostream& out) {
    std::string line;
    for (const Checked& key : keys) {
        line.clear();
        if (showCache) {
            PAL::appendEscaped(line, key.cache);
            line.append(": ");
        }
        line.append(wordOf(key.verdict)).append(" ");
        appendShownName(line, key.name);
        line.append(" ").append(key.fingerprint());
        if (key.verdict != Verdict::Match && !key.serverFingerprint.empty()) {
            line.append(" -> ").append(key.serverFingerprint);
        }
        if (!key.reason.empty()) {
            line.append(" (");
            PAL::appendEscaped(line, key.reason);
            line.append(")");
        }
        out << line << '\n';
    }
}

void writeJson(const std::vector<Checked>& keys, std::ostream& out) {
    using Json = nlohmann::ordered_json;
    Json results = Json::array();
    for (const Checked& key : keys) {
        const auto orNull = [](const std::string& text) {
            return text.empty() ? Json() : Json(text);
        };
        results.push_back({
            {"cache", key.cache},
            {"name", key.name},
            {"host", key.host},
            {"port", key.port},
            {"type", key.type},
            {"result", wordOf(key.verdict)},
            {"fingerprint", key.cached.empty() ? Json() : Json(key.fingerprint())},
            {"server_fingerprint", orNull(key.serverFingerprint)},
            {"reason", orNull(key.reason)},
        });
    }
    out << PAL::jsonEscapedControls(
               Json{{"results", results}}.dump(2, ' ', false, Json::error_handler_t::replace))
        << '\n';
}

ExitStatus statusOf(const std::vector<Checked>& keys) {
    const auto any = [&](auto predicate) {
        return std::any_of(keys.begin(), keys.end(), predicate);
    };
    if (keys.empty()) {
        return ExitStatus::NothingMatched;
    }
    if (any([](const Checked& key) {
            return key.verdict == Verdict::Mismatch || key.verdict == Verdict::BadProof;
        })) {
        return ExitStatus::Mismatch;
    }
    return any([](const Checked& key) { return key.verdict != Verdict::Match; })
               ? ExitStatus::Unchecked
               : ExitStatus::Listed;
}

ExitStatus verify(const VerifyOptions& options, std::ostream& out, Diagnostics& diagnostics) {
    const std::optional<KeyFilter> filter = filterOf(options.selection, diagnostics);
    if (!filter) {
        return ExitStatus::Failure;
    }
    KeyWalk walk;
    walk.filter = &*filter;
    const std::vector<Cache> caches = selectCaches(options.selection.cache, diagnostics);
    std::vector<Checked> keys;
    for (const Cache& cache : caches) {
        forEachMatchingKey(
            cache, walk, [&](const MatchingKey& key) { keys.push_back(checkedOf(cache, key)); },
            diagnostics);
    }
    if (diagnostics.failed()) {
        return ExitStatus::Failure;
    }
    if (keys.empty()) {
        reportNothingMatched(diagnostics, options.selection, caches);
    }
    SshProbe& probe = sshProbe();
    runInParallel(keys.size(), options.probe.jobs,
                  [&](std::size_t i) { check(keys[i], probe, options.probe.timeoutMs()); });
    if (options.format == "json") {
        writeJson(keys, out);
    } else {
        writeText(keys, caches.size() > 1, out);
    }
    return statusOf(keys);
}

} // namespace

Command declareVerify(CLI::App& app) {
    auto options = std::make_shared<VerifyOptions>();
    CLI::App* command =
        app.add_subcommand("verify", "Check cached keys against their servers, with proof");
    addSelection(*command, options->selection,
                 "Only keys of these hosts (HOST, HOST:PORT, [HOST]:PORT)",
                 "Only keys of this type (rsa2, ssh-ed25519, ...)");
    addFormatOption(*command, options->format, {"text", "json"}, "text (default) or json");
    addProbeOptions(*command, options->probe);
    return {command, [options](std::ostream& out, Diagnostics& diagnostics) {
                return verify(*options, out, diagnostics);
            }};
}

} // namespace hkcache
