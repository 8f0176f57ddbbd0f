// The verify command: the selected keys are read from every cache first, checked in parallel
// (each host, port and key type on a connection of its own), and reported in cache order as
// soon as they are known.
#include "Verify.h"

#include "Caches.h"
#include "MatchingKeys.h"
#include "ProbeOptions.h"
#include "Report.h"
#include "SshProbe.h"

#include "KeyModel/Digest.h"

#include "PAL/Escape.h"
#include "PAL/ParallelRuns.h"
#include "PAL/StopSignals.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <tuple>

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

// What the server said about `key`; the cached key is compared here, per key.
void judge(Checked& key, const ProbeResult& result) {
    key.verdict = verdictOf(result.outcome);
    key.reason = result.reason;
    if (!result.key.empty()) {
        key.serverFingerprint = KeyModel::sha256Fingerprint(result.key);
    }
    // Proved is not enough: the proved key must be the one cached.
    if (key.verdict == Verdict::Match && result.key != key.cached) {
        key.verdict = Verdict::Mismatch;
    }
}

// One connection, for every key of its host, port and algorithms: the same key cached by
// several users is asked for once.
struct Probe {
    std::string host;
    unsigned port;
    std::string algorithms;
    std::vector<std::size_t> keys;
};

std::vector<Probe> probesOf(const std::vector<Checked>& keys) {
    std::vector<Probe> probes;
    std::map<std::tuple<std::string, unsigned, std::string>, std::size_t> index;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const Checked& key = keys[i];
        if (!key.reason.empty()) {
            continue; // not checked
        }
        const auto [at, added] =
            index.try_emplace({key.host, key.port, key.algorithms}, probes.size());
        if (added) {
            probes.push_back({key.host, key.port, key.algorithms, {}});
        }
        probes[at->second].keys.push_back(i);
    }
    return probes;
}

std::string textLine(const Checked& key, bool showCache) {
    std::string line;
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
    return line;
}

using Json = nlohmann::ordered_json;

Json jsonOf(const Checked& key) {
    const auto orNull = [](const std::string& text) { return text.empty() ? Json() : Json(text); };
    return {
        {"cache", key.cache},
        {"name", key.name},
        {"host", key.host},
        {"port", key.port},
        {"type", key.type},
        {"result", wordOf(key.verdict)},
        {"fingerprint", key.cached.empty() ? Json() : Json(key.fingerprint())},
        {"server_fingerprint", orNull(key.serverFingerprint)},
        {"reason", orNull(key.reason)},
    };
}

// Writes each key's result once it and every key before it in cache order are known, as
// ssh-keyscan streams (text and JSON Lines; the JSON document is written whole at the end), and
// a progress line on a terminal meanwhile. Called from the probes' threads.
class ResultStream {
public:
    ResultStream(const std::vector<Checked>& all, const VerifyOptions& options, bool cacheShown,
                 std::ostream& stream, Diagnostics& said)
        : keys(all), format(options.format), showCache(cacheShown), out(stream), diagnostics(said),
          known(all.size()) {}

    // Each of `which` is known now.
    void add(const std::vector<std::size_t>& which) {
        const std::lock_guard<std::mutex> held(lock);
        for (std::size_t i : which) {
            known[i] = true;
        }
        done += which.size();
        std::size_t end = written;
        while (end < keys.size() && known[end]) {
            ++end;
        }
        write(end);
        showProgress();
    }

    // The time on the progress line moves on.
    void tick() {
        const std::lock_guard<std::mutex> held(lock);
        showProgress();
    }

    // Writes every key known and not yet written (after a stop, those held behind one that
    // never was); returns how many never were.
    std::size_t finish() {
        const std::lock_guard<std::mutex> held(lock);
        diagnostics.progress({});
        write(keys.size());
        if (format == "json") {
            Json results = Json::array();
            for (std::size_t i = 0; i < keys.size(); ++i) {
                if (known[i]) {
                    results.push_back(jsonOf(keys[i]));
                }
            }
            out << PAL::jsonEscapedControls(Json{{"results", results}}.dump(
                       2, ' ', false, Json::error_handler_t::replace))
                << '\n';
        }
        return keys.size() - done;
    }

private:
    void write(std::size_t end) {
        if (end == written || format == "json") {
            return;
        }
        diagnostics.progress({});
        for (; written < end; ++written) {
            if (!known[written]) {
                continue;
            }
            if (format == "jsonl") {
                out << PAL::jsonEscapedControls(
                           jsonOf(keys[written])
                               .dump(-1, ' ', false, Json::error_handler_t::replace))
                    << '\n';
            } else {
                out << textLine(keys[written], showCache) << '\n';
            }
        }
        out.flush();
    }

    void showProgress() {
        if (done == keys.size()) {
            diagnostics.progress({});
            return;
        }
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
            std::chrono::steady_clock::now() - start);
        diagnostics.progress("verify: " + std::to_string(done) + "/" + std::to_string(keys.size()) +
                             " keys, " + std::to_string(seconds.count()) + " s");
    }

    const std::vector<Checked>& keys;
    const std::string& format;
    const bool showCache;
    std::ostream& out;
    Diagnostics& diagnostics;
    const std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    std::mutex lock;
    std::vector<bool> known;
    std::size_t done = 0;    // keys known
    std::size_t written = 0; // keys before this one are written or were never known
};

ExitStatus statusOf(const std::vector<Checked>& keys) {
    if (keys.empty()) {
        return ExitStatus::NothingMatched;
    }
    ExitStatus status = ExitStatus::Listed;
    for (const Checked& key : keys) {
        const bool mismatch = key.verdict == Verdict::Mismatch || key.verdict == Verdict::BadProof;
        status = worse(status, mismatch                        ? ExitStatus::Mismatch
                               : key.verdict != Verdict::Match ? ExitStatus::Unchecked
                                                               : ExitStatus::Listed);
    }
    return status;
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
    const std::vector<Probe> probes = probesOf(keys);
    ResultStream results(keys, options, caches.size() > 1, out, diagnostics);
    std::vector<std::size_t> unprobed;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (!keys[i].reason.empty()) {
            unprobed.push_back(i);
        }
    }
    results.add(unprobed);
    SshProbe& probe = sshProbe();
    const PAL::StopSignals stop;
    PAL::runInParallel(
        probes.size(), options.probe.jobs,
        [&](std::size_t i) {
            if (stop.status() != 0) {
                return; // nothing new starts
            }
            const Probe& asked = probes[i];
            const ProbeResult result =
                probe.probe(asked.host, asked.port, asked.algorithms, options.probe.timeoutMs());
            for (std::size_t key : asked.keys) {
                judge(keys[key], result);
            }
            results.add(asked.keys);
        },
        [&] { results.tick(); });
    const std::size_t unchecked = results.finish();
    if (const int status = stop.status(); status != 0) {
        diagnostics.note("stopped: " + std::to_string(unchecked) + " of " +
                         std::to_string(keys.size()) + " keys not checked");
        return status == exitCode(ExitStatus::Interrupted) ? ExitStatus::Interrupted
                                                           : ExitStatus::Terminated;
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
    addFormatOption(*command, options->format, {"text", "json", "jsonl"},
                    "text (default), json or jsonl (a JSON object a line)");
    addProbeOptions(*command, options->probe);
    return {command, [options](std::ostream& out, Diagnostics& diagnostics) {
                return verify(*options, out, diagnostics);
            }};
}

} // namespace hkcache
