// The remove command: find every key asked for, back them up, remove each cache's in one
// applyChanges, and read the cache again to see that they are gone.
#include "Removal.h"

#include "Backup.h"
#include "Caches.h"
#include "HostFilter.h"

#include "KeyModel/CachedName.h"

#include "PAL/Escape.h"

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
    std::vector<Found> keys;
    // Compared names of `keys`, so that no name is taken (or printed) twice.
    std::set<std::string, std::less<>> names;
    std::size_t removed = 0; // keys gone from the cache
    bool failed = false;
};

// A backup written, and the removals whose keys it holds.
struct WrittenBackup {
    std::string path;
    std::vector<const CacheRemoval*> from;
    PreviousBackup previous;
};

// A removal that keeps finding keys it missed (another program changing the key under it) gives
// up after this many rounds.
constexpr int RemovalRounds = 8;

// Adds to `removal` the keys of its open `key` that `filter` lets through and that it does not
// hold yet; `removedAgain` (may be null) gets those of its own that are cached again. Every
// pass is taken: a key that other programs keep changing must not hide a match.
Api::Status collectKeys(const KeyFilter& filter, Api::Handle key, CacheRemoval& removal,
                        std::vector<std::string>* removedAgain, Diagnostics& diagnostics) {
    const Cache& cache = *removal.cache;
    std::string folded;
    const auto visit = [&](std::string_view name, std::uint32_t type, std::string_view data) {
        if (!filter.mayMatch(name)) {
            return; // most names of a large cache, without parsing them
        }
        const std::optional<KeyModel::CachedName> parsed = KeyModel::parseCachedName(name);
        if (!parsed || !filter.matches(*parsed, filter.typedHost(*parsed))) {
            return;
        }
        const std::string refused = notAHostKey(name, type, data);
        if (!refused.empty()) {
            if (!removedAgain) {
                diagnostics.warning(cache.name + ": " + std::string(name), refused);
            }
            return;
        }
        const std::string_view compared = comparedView(name, folded);
        if (removal.names.count(compared)) {
            if (removedAgain) {
                removedAgain->emplace_back(name);
            }
            return;
        }
        removal.names.emplace(compared);
        removal.keys.push_back(
            Found{std::string(name), std::string(data), fingerprintOf(parsed->keyType, data)});
    };
    return forEachValue(*cache.api, key, visit, true);
}

// The keys of one cache that `filter` lets through. The key is closed again: caches are held
// one at a time.
void findKeys(const KeyFilter& filter, CacheRemoval& removal, Diagnostics& diagnostics) {
    const Cache& cache = *removal.cache;
    PAL::OpenKey key(*cache.api);
    std::string reason;
    Api::Status status = cache.open(key.out(), &reason);
    if (status == Api::NotFound) {
        return; // nothing cached there yet
    }
    if (status == Api::Success) {
        status = collectKeys(filter, key.get(), removal, nullptr, diagnostics);
    }
    if (status != Api::Success) {
        diagnostics.error(cache.name, reason.empty() ? statusText(status) : reason);
    }
}

// PuTTY's lines of what is removed, grouped by the file they go to; false after an error.
bool writeBackups(const RemoveOptions& options, const std::vector<CacheRemoval>& removals,
                  bool severalCaches, std::vector<std::unique_ptr<WrittenBackup>>& written,
                  Diagnostics& diagnostics) {
    struct Backup {
        std::vector<const CacheRemoval*> from;
        const Cache* beside;
    };
    std::vector<std::pair<std::string, Backup>> files;
    for (const CacheRemoval& removal : removals) {
        if (removal.keys.empty()) {
            continue;
        }
        std::string path = options.backup;
        const Cache* beside = nullptr;
        if (path.empty()) {
            std::string reason;
            const std::optional<std::string> found = defaultBackupPath(*removal.cache, &reason);
            if (!found) {
                diagnostics.error(removal.cache->name, reason + ": nothing removed");
                return false;
            }
            path = *found;
            beside = removal.cache;
        }
        auto file = std::find_if(files.begin(), files.end(),
                                 [&](const auto& entry) { return entry.first == path; });
        if (file == files.end()) {
            files.push_back({path, Backup{{}, beside}});
            file = files.end() - 1;
        }
        file->second.from.push_back(&removal);
    }
    for (const auto& [path, backup] : files) {
        for (const CacheRemoval& removal : removals) {
            if (!removal.keys.empty() && sameFile(path, removal.cache->name)) {
                diagnostics.error(path, "backup not written (it is the cache " +
                                            removal.cache->name + "): nothing removed");
                return false;
            }
        }
    }
    for (const auto& [path, backup] : files) {
        std::string text;
        for (const CacheRemoval* removal : backup.from) {
            // A removal from several caches says which lines came from which, even when one
            // cache alone had keys: its import must not put them into every cache.
            if (severalCaches) {
                text.append("# ").append(removal->cache->name).append("\n");
            }
            for (const Found& key : removal->keys) {
                text.append(key.name).append(" ").append(key.data).append("\n");
            }
        }
        written.push_back(std::make_unique<WrittenBackup>());
        written.back()->path = path;
        written.back()->from = backup.from;
        // Beside a cache, its directory is reached through the key that its checked walk opened.
        PAL::OpenKey besideKey(backup.beside ? *backup.beside->api : PAL::registryApi());
        if (backup.beside) {
            std::string why;
            const Api::Status opened = backup.beside->open(besideKey.out(), &why);
            if (opened != Api::Success) {
                diagnostics.error(path, "backup not written (" +
                                            (why.empty() ? statusText(opened) : why) +
                                            "): nothing removed");
                return false;
            }
        }
        const std::string reason =
            writeBackupFile(path, text, backup.beside, besideKey.get(), &written.back()->previous);
        if (!reason.empty()) {
            diagnostics.error(path, "backup not written (" + reason + "): nothing removed");
            return false;
        }
    }
    return true;
}

void printRemoved(const std::vector<Found>& keys, std::size_t from, std::size_t count,
                  const std::string& prefix, std::ostream& out) {
    for (std::size_t i = from; i < from + count && i < keys.size(); ++i) {
        out << prefix << "removed " << PAL::escaped(keys[i].name) << ' ' << keys[i].fingerprint
            << '\n';
    }
    out.flush();
}

// Removes the keys found in one cache, then reads it again with the same filter: keys a first
// reading missed are backed up (`backUp`) and removed too, a few rounds at most; a key of its
// own cached again is an error. False after an error.
bool removeFound(const KeyFilter& filter, CacheRemoval& removal, const std::string& prefix,
                 const std::function<bool()>& backUp, std::ostream& out, Diagnostics& diagnostics) {
    const Cache& cache = *removal.cache;
    PAL::OpenKey key(*cache.api);
    std::string reason;
    Api::Status status = cache.open(key.out(), &reason);
    if (status != Api::Success) {
        diagnostics.error(cache.name, reason.empty() ? statusText(status) : reason);
        return false;
    }
    for (std::size_t from = 0, round = 1;; ++round) {
        std::vector<std::string> names;
        for (std::size_t i = from; i < removal.keys.size(); ++i) {
            names.push_back(removal.keys[i].name);
        }
        std::size_t applied = 0;
        status = cache.api->applyChanges(key.get(), names, {}, &applied);
        removal.removed += std::min(applied, names.size());
        // What was removed is printed even when the rest failed: the backup holds it all.
        printRemoved(removal.keys, from, applied, prefix, out);
        if (status != Api::Success) {
            diagnostics.error(cache.name, statusText(status));
            return false;
        }
        // A key that is a snapshot (the POSIX store) shows only its own all-or-nothing rewrite;
        // a registry key is written value by value, and others may write it at any time.
        if (cache.api->keysAreSnapshots()) {
            return true;
        }
        from = removal.keys.size();
        std::vector<std::string> again;
        status = collectKeys(filter, key.get(), removal, &again, diagnostics);
        if (status != Api::Success) {
            diagnostics.error(cache.name,
                              "cannot read it again after the removal: " + statusText(status));
            return false;
        }
        for (const std::string& name : again) {
            diagnostics.error(cache.name + ": " + name, "still cached after its removal");
        }
        if (!again.empty()) {
            return false;
        }
        if (from == removal.keys.size()) {
            return true;
        }
        if (round == RemovalRounds) {
            diagnostics.error(cache.name,
                              std::to_string(removal.keys.size() - from) +
                                  " matching keys still cached: another program keeps changing "
                                  "it (run again)");
            return false;
        }
        if (!backUp()) {
            return false;
        }
    }
}

// Each backup that holds removed keys stays; the one it replaced goes once its removals are
// done, and is kept aside when one of them failed part way. One that holds none is undone.
void settleBackups(std::vector<std::unique_ptr<WrittenBackup>>& written, Diagnostics& diagnostics) {
    for (const auto& backup : written) {
        bool removed = false;
        bool partly = false;
        for (const CacheRemoval* removal : backup->from) {
            removed = removed || removal->removed > 0;
            partly = partly || (removal->removed > 0 && removal->failed);
        }
        if (!removed) {
            continue;
        }
        if (!partly) {
            backup->previous.drop();
        } else if (const std::string aside = backup->previous.keepAside(); !aside.empty()) {
            diagnostics.warning(backup->path, "the backup it replaced is kept as " + aside);
        }
    }
    // Undone last first: a backup written again puts back the one it replaced.
    while (!written.empty()) {
        written.pop_back();
    }
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
        removals.push_back(CacheRemoval{&cache, {}, {}});
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
                out << (showCache ? PAL::escaped(removal.cache->name) + ": " : "")
                    << "would remove " << PAL::escaped(key.name) << ' ' << key.fingerprint << '\n';
            }
        }
        return ExitStatus::Done;
    }
    std::vector<std::unique_ptr<WrittenBackup>> written;
    const std::function<bool()> backUp = [&] {
        const std::size_t earlier = written.size();
        if (options.noBackup || !writeBackups(options, removals, showCache, written, diagnostics)) {
            return options.noBackup;
        }
        // A backup written again holds all that the one it replaces held, and more.
        for (std::size_t i = earlier; earlier > 0 && i < written.size(); ++i) {
            written[i]->previous.drop();
        }
        return true;
    };
    if (!backUp()) {
        return ExitStatus::Failure;
    }
    for (CacheRemoval& removal : removals) {
        if (!removal.keys.empty() &&
            !removeFound(*filter, removal,
                         showCache ? PAL::escaped(removal.cache->name) + ": " : "", backUp, out,
                         diagnostics)) {
            removal.failed = true;
            break;
        }
    }
    settleBackups(written, diagnostics);
    return diagnostics.failed() ? ExitStatus::Failure : ExitStatus::Done;
}

} // namespace hkcache
