// The fetch command: every host asked about is probed once per key type, in parallel; the keys
// that were proved and pinned become PuTTY's lines, which import stores as it stores any.
#include "Fetch.h"

#include "Caches.h"
#include "FingerprintPins.h"
#include "Import.h"
#include "ProbeOptions.h"
#include "Report.h"
#include "SshProbe.h"

#include "KeyModel/CachedName.h"
#include "KeyModel/Digest.h"

#include "PAL/ParallelRuns.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <memory>

namespace hkcache {
namespace {

// The types a server is asked for when --type is not given, as PuTTY prefers them.
const char* const FetchedTypes[] = {"ssh-ed25519", "ecdsa-sha2-nistp256", "ecdsa-sha2-nistp384",
                                    "ecdsa-sha2-nistp521", "rsa2"};

struct FetchOptions {
    std::vector<std::string> hosts;
    FingerprintPins pins;
    bool trustOnFirstUse = false;
    std::string type;
    std::string cache = "current";
    bool replace = false;
    bool dryRun = false;
    std::string format = "text";
    ProbeOptions probe;
};

// One connection: a host and one of its key types.
struct Probed {
    std::size_t host;
    std::string type;
    ProbeResult result;
    std::string fingerprint; // of the key proved; empty when none was
};

// The arguments, checked: the hosts and the pins; false after a usage error.
bool checkArguments(const FetchOptions& options, std::vector<HostPattern>& hosts,
                    FingerprintPins& pins, std::vector<std::string>& types,
                    Diagnostics& diagnostics) {
    if (!pins.parse(diagnostics)) {
        return false;
    }
    if (pins.empty() && !options.trustOnFirstUse) {
        diagnostics.error("fetch", "no --fingerprint: nothing would be trusted "
                                   "(--trust-on-first-use stores whatever answers)");
        return false;
    }
    // A name no cache can hold is refused before any server is asked for its key.
    if (!hostOptions(options.hosts, hosts, diagnostics)) {
        return false;
    }
    if (options.type.empty()) {
        types.assign(std::begin(FetchedTypes), std::end(FetchedTypes));
        return true;
    }
    const std::string putty = KeyModel::puttyTypeOf(options.type);
    types.push_back(putty.empty() ? options.type : putty);
    if (probeAlgorithms(types.back()).empty()) {
        diagnostics.error(options.type, "not a key type that fetch can check");
        return false;
    }
    return true;
}

// PuTTY's line for a proved key of `host`, as this platform names it.
std::string puttyLine(const HostPattern& host, const KeyModel::Bytes& wire) {
    const std::optional<KeyModel::PuttyKeyText> key = KeyModel::puttyKeyFromWire(wire);
    if (!key) {
        return {};
    }
    const std::string stored = hostsEscaped() ? KeyModel::escapeHost(host.host) : host.host;
    return KeyModel::composeCachedName({key->puttyType, host.port.value_or(22), stored}) + " " +
           key->data + "\n";
}

std::string whereOf(const HostPattern& host) {
    return KeyModel::knownHostsHost(host.host, host.port.value_or(22));
}

// A key that was shown but not proved, or not checked at all, is never stored.
void warnNotProved(const std::string& where, const Probed& probe, Diagnostics& diagnostics) {
    const bool badProof = probe.result.outcome == ProbeResult::BadProof;
    diagnostics.warning(where + ": " + probe.type,
                        (badProof ? "BAD PROOF: not stored (" : "not checked (") +
                            probe.result.reason + ")");
}

// What one host's probes come to: its lines to store, its warnings and its status.
ExitStatus judgeHost(const HostPattern& host, const std::vector<const Probed*>& probes,
                     const FetchOptions& options, FingerprintPins& pins, std::string& lines,
                     Diagnostics& diagnostics) {
    const std::string where = whereOf(host);
    bool answered = false;
    std::string unreachable; // why a connection failed; empty when none did
    bool unchecked = false;
    std::vector<std::string> shown; // proved keys that no pin matched
    std::size_t stored = 0;
    for (const Probed* probe : probes) {
        const ProbeResult& result = probe->result;
        if (result.outcome == ProbeResult::Unreachable) {
            unreachable = result.reason;
            continue;
        }
        answered = true;
        if (result.outcome == ProbeResult::NotOffered) {
            continue;
        }
        if (result.outcome != ProbeResult::Proved) {
            unchecked = true;
            warnNotProved(where, *probe, diagnostics);
            continue;
        }
        // Pinned, or trusted on first use: admits() lets every key through without a pin.
        if (!pins.admits(probe->fingerprint, where, probe->type)) {
            shown.push_back(probe->type + " " + probe->fingerprint);
            continue;
        }
        if (options.trustOnFirstUse) {
            diagnostics.warning(where,
                                probe->type + " " + probe->fingerprint + " trusted on first use");
        }
        lines += puttyLine(host, result.key);
        ++stored;
    }
    // One line for a host that never answered, not one per key type.
    if (!unreachable.empty()) {
        unchecked = true;
        diagnostics.warning(where, "unreachable (" + unreachable + ")");
    }
    if (stored) {
        return unchecked ? ExitStatus::Unchecked : ExitStatus::Done;
    }
    for (const std::string& key : shown) {
        diagnostics.warning(where, key + " matches no --fingerprint: not stored");
    }
    if (!answered) {
        return ExitStatus::Unchecked;
    }
    if (shown.empty() && !unchecked) {
        diagnostics.warning(where, "offers none of the key types asked for");
    }
    return shown.empty() && unchecked ? ExitStatus::Unchecked : ExitStatus::NothingMatched;
}

std::vector<Probed> probeAll(const std::vector<HostPattern>& hosts,
                             const std::vector<std::string>& types, const ProbeOptions& options) {
    std::vector<Probed> probes;
    for (std::size_t host = 0; host < hosts.size(); ++host) {
        for (const std::string& type : types) {
            probes.push_back(Probed{host, type, {}, {}});
        }
    }
    SshProbe& probe = sshProbe();
    PAL::runInParallel(probes.size(), options.jobs, [&](std::size_t i) {
        Probed& item = probes[i];
        const HostPattern& host = hosts[item.host];
        item.result = probe.probe(host.host, host.port.value_or(22), probeAlgorithms(item.type),
                                  options.timeoutMs());
        if (item.result.outcome == ProbeResult::Proved) {
            item.fingerprint = KeyModel::sha256Fingerprint(item.result.key);
        }
    });
    return probes;
}

ExitStatus fetch(const FetchOptions& options, std::ostream& out, Diagnostics& diagnostics) {
    std::vector<HostPattern> hosts;
    FingerprintPins pins = options.pins;
    std::vector<std::string> types;
    if (!checkArguments(options, hosts, pins, types, diagnostics)) {
        return ExitStatus::Failure;
    }
    const std::vector<Probed> probes = probeAll(hosts, types, options.probe);
    std::string lines;
    ExitStatus status = ExitStatus::Done;
    for (std::size_t host = 0; host < hosts.size(); ++host) {
        std::vector<const Probed*> its;
        for (const Probed& probe : probes) {
            if (probe.host == host) {
                its.push_back(&probe);
            }
        }
        status = worse(status, judgeHost(hosts[host], its, options, pins, lines, diagnostics));
    }
    // Nothing to store is no import (whose status would say its input held no key).
    if (lines.empty()) {
        Report::changes(options.format == "json" ? Format::Json : Format::Text, false,
                        options.dryRun, out, diagnostics)
            .finish();
        return status;
    }
    ImportOptions import;
    import.format = "putty";
    import.cache = options.cache;
    import.replace = options.replace;
    import.dryRun = options.dryRun;
    import.output = options.format;
    // What import stores, and its report: one change per cache, conflicts kept unless --replace.
    return worse(status, importText(lines, "the servers' keys", import, out, diagnostics));
}

} // namespace

Command declareFetch(CLI::App& app) {
    auto options = std::make_shared<FetchOptions>();
    CLI::App* command = app.add_subcommand(
        "fetch", "Cache servers' keys that prove themselves and match a pinned fingerprint");
    command->add_option("HOST", options->hosts, "Servers (HOST, HOST:PORT, [HOST]:PORT)")
        ->required();
    options->pins.declare(*command);
    command
        ->add_flag("--trust-on-first-use", options->trustOnFirstUse,
                   "Store every key the servers prove, unpinned")
        ->excludes(command->get_option("--fingerprint"));
    command->add_option("--type,-t", options->type, "Only keys of this type")->type_name("TYPE");
    addCacheOption(*command, options->cache);
    command->add_flag("--replace", options->replace, "Replace a different key cached for a name");
    command->add_flag("--dry-run", options->dryRun, "Show what would change, change nothing");
    addFormatOption(*command, options->format, {"text", "json"},
                    "text (default) or json: what was changed");
    addProbeOptions(*command, options->probe);
    return {command, [options](std::ostream& out, Diagnostics& diagnostics) {
                return fetch(*options, out, diagnostics);
            }};
}

} // namespace hkcache
