// The remove command: find every key asked for, back them up, remove each cache's in one
// applyChanges, and read the cache again to see that they are gone.
#include "Removal.h"

#include "Backup.h"
#include "Caches.h"
#include "HostFilter.h"

#include "KeyModel/CachedName.h"

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <set>

namespace hkcache {
namespace {

using Api = PAL::RegistryApi;

struct Found {
    std::string name;
    std::string data;
    std::string fingerprint;
};

struct CacheRemoval {
    const Cache* cache;
    std::unique_ptr<OpenKey> key;
    std::vector<Found> keys;
};

// The keys of `cache` that `filter` lets through, read from the key it leaves open in `removal`.
void findKeys(const KeyFilter& filter, CacheRemoval& removal, Diagnostics& diagnostics) {
    const Cache& cache = *removal.cache;
    removal.key = std::make_unique<OpenKey>(*cache.api);
    std::string reason;
    Api::Status status = cache.open(removal.key->out(), &reason);
    if (status == Api::NotFound) {
        return; // nothing cached there yet
    }
    if (status == Api::Success) {
        status = forEachValue(
            *cache.api, removal.key->get(), [&](std::string_view name, std::string_view data) {
                if (!filter.mayMatch(name)) {
                    return; // most names of a large cache, without parsing them
                }
                const std::optional<KeyModel::CachedName> parsed = KeyModel::parseCachedName(name);
                if (!parsed || !filter.matches(*parsed, filter.typedHost(*parsed))) {
                    return;
                }
                removal.keys.push_back(Found{std::string(name), std::string(data),
                                             fingerprintOf(parsed->keyType, data)});
            });
    }
    if (status != Api::Success) {
        diagnostics.error(cache.name, reason.empty() ? statusText(status) : reason);
    }
}

// PuTTY's lines of what is removed, grouped by the file they go to; false after an error.
bool writeBackups(const RemoveOptions& options, const std::vector<CacheRemoval>& removals,
                  Diagnostics& diagnostics) {
    struct Backup {
        std::vector<const CacheRemoval*> from;
        const Cache* beside;
        Api::Handle besideKey;
    };
    std::vector<std::pair<std::string, Backup>> files;
    for (const CacheRemoval& removal : removals) {
        if (removal.keys.empty()) {
            continue;
        }
        std::string path = options.backup;
        const Cache* beside = nullptr;
        Api::Handle besideKey = Api::NotOpen;
        if (path.empty()) {
            std::string reason;
            const std::optional<std::string> found = defaultBackupPath(*removal.cache, &reason);
            if (!found) {
                diagnostics.error(removal.cache->name, reason + ": nothing removed");
                return false;
            }
            path = *found;
            beside = removal.cache;
            besideKey = removal.key->get();
        }
        auto file = std::find_if(files.begin(), files.end(),
                                 [&](const auto& entry) { return entry.first == path; });
        if (file == files.end()) {
            files.push_back({path, Backup{{}, beside, besideKey}});
            file = files.end() - 1;
        }
        file->second.from.push_back(&removal);
    }
    for (const auto& [path, backup] : files) {
        std::string text;
        for (const CacheRemoval* removal : backup.from) {
            // One file for several caches says which lines came from which.
            if (backup.from.size() > 1) {
                text.append("# ").append(removal->cache->name).append("\n");
            }
            for (const Found& key : removal->keys) {
                text.append(key.name).append(" ").append(key.data).append("\n");
            }
        }
        const std::string reason = writeBackupFile(path, text, backup.beside, backup.besideKey);
        if (!reason.empty()) {
            diagnostics.error(path, "backup not written (" + reason + "): nothing removed");
            return false;
        }
    }
    return true;
}

// Removes the keys found in one cache; false after an error.
bool removeFound(CacheRemoval& removal, const std::string& prefix, std::ostream& out,
                 Diagnostics& diagnostics) {
    const Cache& cache = *removal.cache;
    std::vector<std::string> names;
    for (const Found& key : removal.keys) {
        names.push_back(key.name);
    }
    std::size_t applied = 0;
    const Api::Status status = cache.api->applyChanges(removal.key->get(), names, {}, &applied);
    // What was removed is printed even when the rest failed: the backup holds it all.
    for (std::size_t i = 0; i < applied && i < removal.keys.size(); ++i) {
        out << prefix << "removed " << removal.keys[i].name << ' ' << removal.keys[i].fingerprint
            << '\n';
    }
    out.flush();
    if (status != Api::Success) {
        diagnostics.error(cache.name, statusText(status));
        return false;
    }
    // A registry key is written value by value, and PuTTY may store one again at any time. A
    // key that is a snapshot (the POSIX store) shows only its own all-or-nothing rewrite.
    if (cache.api->keysAreSnapshots()) {
        return true;
    }
    std::set<std::string, std::less<>> removed;
    for (const std::string& name : names) {
        removed.insert(comparedName(name));
    }
    std::string folded;
    const Api::Status read =
        forEachValue(*cache.api, removal.key->get(), [&](std::string_view name, std::string_view) {
            if (removed.count(comparedView(name, folded))) {
                diagnostics.error(cache.name + ": " + std::string(name),
                                  "still cached after its removal");
            }
        });
    if (read != Api::Success) {
        diagnostics.error(cache.name,
                          "cannot read it again after the removal: " + statusText(read));
    }
    return !diagnostics.failed();
}

} // namespace

ExitStatus removeKeys(const RemoveOptions& options, std::ostream& out, Diagnostics& diagnostics) {
    const std::optional<KeyFilter> filter =
        makeKeyFilter(options.hosts, options.type, options.port, diagnostics);
    if (!filter) {
        return ExitStatus::Failure;
    }
    const std::vector<Cache> caches = selectCaches(options.cache, diagnostics);
    std::vector<CacheRemoval> removals;
    std::size_t found = 0;
    for (const Cache& cache : caches) {
        removals.push_back(CacheRemoval{&cache, nullptr, {}});
        findKeys(*filter, removals.back(), diagnostics);
        found += removals.back().keys.size();
    }
    // Nothing is removed unless every cache asked for could be read.
    if (diagnostics.failed()) {
        return ExitStatus::Failure;
    }
    if (found == 0) {
        return ExitStatus::NothingMatched;
    }
    const bool showCache = caches.size() > 1;
    if (options.dryRun) {
        for (const CacheRemoval& removal : removals) {
            for (const Found& key : removal.keys) {
                out << (showCache ? removal.cache->name + ": " : "") << "would remove " << key.name
                    << ' ' << key.fingerprint << '\n';
            }
        }
        return ExitStatus::Done;
    }
    if (!options.noBackup && !writeBackups(options, removals, diagnostics)) {
        return ExitStatus::Failure;
    }
    for (CacheRemoval& removal : removals) {
        if (!removal.keys.empty() &&
            !removeFound(removal, showCache ? removal.cache->name + ": " : "", out, diagnostics)) {
            return ExitStatus::Failure;
        }
    }
    return ExitStatus::Done;
}

} // namespace hkcache
