// The list command: every selected cache walked once, each key reported as it comes.
#include "List.h"

#include "Caches.h"
#include "FingerprintPins.h"
#include "HostFilter.h"
#include "MatchingKeys.h"
#include "Report.h"

#include <CLI/CLI.hpp>

#include <map>
#include <memory>

namespace hkcache {
namespace {

struct ListOptions {
    Selection selection;
    std::string format = "text";
    FingerprintPins pins;
};

const std::map<std::string, Format> Formats = {
    {"text", Format::Text},
    {"json", Format::Json},
    {"known_hosts", Format::KnownHosts},
    {"putty", Format::Putty},
};

ExitStatus list(ListOptions& options, std::ostream& out, Diagnostics& diagnostics) {
    const Selection& selection = options.selection;
    const std::optional<KeyFilter> filter = filterOf(selection, diagnostics);
    if (!filter || !options.pins.parse(diagnostics)) {
        return ExitStatus::Failure;
    }
    KeyWalk walk;
    walk.filter = &*filter;
    // Names that are no host key's are warned about when everything is listed.
    walk.warnUnnamed = filter->hosts.empty() && filter->keyType.empty() && !filter->port;
    const std::vector<Cache> caches = selectCaches(selection.cache, diagnostics);
    Report report(Formats.at(options.format), caches.size() > 1, out, diagnostics);
    for (const Cache& cache : caches) {
        forEachMatchingKey(
            cache, walk,
            [&](const MatchingKey& key) {
                // Most listings have no pin: no key is hashed for one.
                if (options.pins.empty() ||
                    options.pins.admits(fingerprintOf(key.parsed->keyType, key.data), cache.name,
                                        key.name)) {
                    report.add(ListedKey{cache.name, key.name, *key.parsed, key.host, key.data});
                }
            },
            diagnostics);
    }
    report.finish();
    if (diagnostics.failed()) {
        return ExitStatus::Failure;
    }
    // A pin that matches nothing says what was there instead.
    if (!report.count() && !options.pins.empty()) {
        options.pins.seen(diagnostics);
    }
    return report.count() ? ExitStatus::Listed : ExitStatus::NothingMatched;
}

} // namespace

Command declareList(CLI::App& app) {
    auto options = std::make_shared<ListOptions>();
    CLI::App* command = app.add_subcommand("list", "List cached host keys");
    addSelection(*command, options->selection,
                 "Only keys of these hosts (HOST, HOST:PORT, [HOST]:PORT)",
                 "Only keys of this type (rsa2, ssh-ed25519, ...)");
    std::vector<std::string> names;
    for (const auto& entry : Formats) {
        names.push_back(entry.first);
    }
    addFormatOption(*command, options->format, names, "text (default), json, known_hosts or putty");
    options->pins.declare(*command);
    return {command, [options](std::ostream& out, Diagnostics& diagnostics) {
                return list(*options, out, diagnostics);
            }};
}

} // namespace hkcache
