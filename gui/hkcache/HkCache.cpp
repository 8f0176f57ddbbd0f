// The command line (CLI11) and the list command.
#include "HkCache.h"

#include "Caches.h"
#include "Diagnostics.h"
#include "HostFilter.h"
#include "Import.h"
#include "Listing.h"
#include "Removal.h"

#include "KeyModel/CachedName.h"
#include "KeyModel/HostKey.h"

#include "PAL/Escape.h"
#include "PAL/Process.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <iostream>
#include <map>
#include <new>

#ifndef HKCACHE_VERSION
#error "HKCACHE_VERSION is set by the build"
#endif

namespace hkcache {
namespace {

struct ListOptions {
    std::vector<std::string> hosts;
    std::string type;
    unsigned port = 0;
    std::string cache = "current";
    std::string format = "text";
};

const std::map<std::string, Format> Formats = {
    {"text", Format::Text},
    {"json", Format::Json},
    {"known_hosts", Format::KnownHosts},
    {"putty", Format::Putty},
};

bool validCache(const std::string& which) {
    return which == "current" || which == "default" || which == "all" ||
           (which.rfind("user:", 0) == 0 && which.size() > 5);
}

// Lists the keys of one cache that `filter` lets through; names that are no host key's are
// warned about when everything is listed.
void listCache(const Cache& cache, const KeyFilter& filter, bool everything, Listing& listing,
               Diagnostics& diagnostics) {
    PAL::OpenKey key(*cache.api);
    std::string reason;
    PAL::RegistryApi::Status status = cache.open(key.out(), &reason);
    if (status == PAL::RegistryApi::NotFound) {
        return; // nothing cached there yet
    }
    if (status == PAL::RegistryApi::Success) {
        status = forEachValue(
            *cache.api, key.get(),
            [&](std::string_view name, std::uint32_t type, std::string_view data) {
                if (!filter.mayMatch(name)) {
                    return; // most names of a large cache, without parsing them
                }
                const std::optional<KeyModel::CachedName> parsed = KeyModel::parseCachedName(name);
                if (!parsed) {
                    if (everything) {
                        diagnostics.warning(cache.name + ": " + std::string(name),
                                            "not a host key's name: left out");
                    }
                    return;
                }
                const std::string host = filter.typedHost(*parsed);
                if (!filter.matches(*parsed, host)) {
                    return;
                }
                const std::string refused = notAHostKey(name, type, data);
                if (!refused.empty()) {
                    diagnostics.warning(cache.name + ": " + std::string(name), refused);
                    return;
                }
                listing.add(ListedKey{cache.name, name, *parsed, host, data});
            });
    }
    if (status != PAL::RegistryApi::Success) {
        diagnostics.error(cache.name, reason.empty() ? statusText(status) : reason);
    }
}

ExitStatus list(const ListOptions& options, std::ostream& out, Diagnostics& diagnostics) {
    const std::optional<KeyFilter> made =
        makeKeyFilter(options.hosts, options.type, options.port, diagnostics);
    if (!made) {
        return ExitStatus::Failure;
    }
    const KeyFilter& filter = *made;

    const bool everything = filter.hosts.empty() && filter.keyType.empty() && !filter.port;
    const std::vector<Cache> caches = selectCaches(options.cache, diagnostics);
    Listing listing(Formats.at(options.format), caches.size() > 1, out, diagnostics);
    for (const Cache& cache : caches) {
        listCache(cache, filter, everything, listing, diagnostics);
    }
    listing.finish();
    if (diagnostics.failed()) {
        return ExitStatus::Failure;
    }
    return listing.count() ? ExitStatus::Listed : ExitStatus::NothingMatched;
}

} // namespace
} // namespace hkcache

int runHkCache(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    using hkcache::ExitStatus;
    CLI::App app("Shows, removes and imports the SSH host keys that PuTTY caches.", "hkcache");
    app.allow_windows_style_options(false);
    app.set_version_flag("--version", std::string("hkcache ") + HKCACHE_VERSION);
    app.require_subcommand(1);

    const CLI::Validator cacheValidator(
        [](std::string& value) {
            return hkcache::validCache(value)
                       ? std::string()
                       : "must be current, default, all or user:NAME, not " + value;
        },
        "", "cache");

    hkcache::ListOptions options;
    CLI::App* list = app.add_subcommand("list", "List cached host keys");
    list->add_option("HOST", options.hosts,
                     "Only keys of these hosts (HOST, HOST:PORT, [HOST]:PORT)");
    list->add_option("--type,-t", options.type, "Only keys of this type (rsa2, ssh-ed25519, ...)")
        ->type_name("TYPE");
    list->add_option("--port,-p", options.port, "Only keys for this port")
        ->type_name("PORT")
        ->check(CLI::Range(1, 65535));
    list->add_option("--cache,-c", options.cache, "current (default), default, all or user:NAME")
        ->type_name("CACHE")
        ->check(cacheValidator);
    std::vector<std::string> formatNames;
    for (const auto& entry : hkcache::Formats) {
        formatNames.push_back(entry.first);
    }
    list->add_option("--format,-f", options.format, "text (default), json, known_hosts or putty")
        ->type_name("FORMAT")
        ->check(CLI::IsMember(formatNames));

    hkcache::RemoveOptions removal;
    CLI::App* remove = app.add_subcommand("remove", "Remove every cached key of hosts");
    remove
        ->add_option("HOST", removal.hosts,
                     "Remove the keys of these hosts (HOST, HOST:PORT, [HOST]:PORT)")
        ->required();
    remove->add_option("--type,-t", removal.type, "Only keys of this type")->type_name("TYPE");
    remove->add_option("--port,-p", removal.port, "Only keys for this port")
        ->type_name("PORT")
        ->check(CLI::Range(1, 65535));
    remove->add_option("--cache,-c", removal.cache, "current (default), default, all or user:NAME")
        ->type_name("CACHE")
        ->check(cacheValidator);
    remove->add_flag("--dry-run", removal.dryRun, "Show what would be removed, change nothing");
    CLI::Option* backup =
        remove
            ->add_option("--backup", removal.backup,
                         "Keep the removed keys in FILE (default: the cache file plus .old; "
                         "on Windows %USERPROFILE%\\SshHostKeys.old)")
            ->type_name("FILE");
    remove->add_flag("--no-backup", removal.noBackup, "Keep no backup")->excludes(backup);

    hkcache::ImportOptions import;
    CLI::App* importing = app.add_subcommand(
        "import", "Add keys from a known_hosts file or public key files, or PuTTY's lines");
    importing->add_option("FILE", import.input, "Keys to import (default -: standard input)");
    importing
        ->add_option("--format,-f", import.format,
                     "known_hosts (default; public key files too) or putty")
        ->type_name("FORMAT")
        ->check(CLI::IsMember({"known_hosts", "putty"}));
    importing
        ->add_option("--host", import.host,
                     "The host (HOST or [HOST]:PORT) that hashed names and public key files "
                     "stand for; only its keys are imported")
        ->type_name("NAME");
    importing
        ->add_option("--cache,-c", import.cache, "current (default), default, all or user:NAME")
        ->type_name("CACHE")
        ->check(cacheValidator);
    importing->add_flag("--replace", import.replace, "Replace a different key cached for a name");
    importing->add_flag("--dry-run", import.dryRun, "Show what would change, change nothing");

    std::vector<std::string> reversed(args.rbegin(), args.rend());
    try {
        app.parse(std::move(reversed));
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e, out, err) == 0 ? int(ExitStatus::Listed) : int(ExitStatus::Failure);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e, out, err) == 0 ? int(ExitStatus::Listed) : int(ExitStatus::Failure);
    } catch (const CLI::ParseError& e) {
        // It may quote an argument: a line break there would forge a second line.
        err << "hkcache: " << PAL::escaped(e.what()) << '\n';
        return int(ExitStatus::Failure);
    }
    hkcache::Diagnostics diagnostics(err);
    // What was changed before a failure like this is printed as it is made; the POSIX store
    // changes all of a cache or none of it.
    try {
        if (remove->parsed()) {
            return int(hkcache::removeKeys(removal, out, diagnostics));
        }
        if (importing->parsed()) {
            return int(hkcache::importKeys(import, out, diagnostics));
        }
        return int(hkcache::list(options, out, diagnostics));
    } catch (const std::bad_alloc&) {
        out.flush();
        err << "hkcache: out of memory\n";
    } catch (const std::exception& e) {
        out.flush();
        err << "hkcache: " << PAL::escaped(e.what()) << '\n';
    }
    return int(ExitStatus::Failure);
}

int hkcacheMain(int argc, char** argv) {
    PAL::setUpStandardOutput("hkcache");
    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    const int status = runHkCache(args, std::cout, std::cerr);
    // Output lost to a write error is a failure.
    return PAL::finishStandardOutput(status) == status ? status : int(hkcache::ExitStatus::Failure);
}
