// The remove command: find every key asked for, back them up, remove each cache's in one
// applyChanges, and read the cache again to see that they are gone.
#include "Removal.h"

#include "Backup.h"
#include "Caches.h"
#include "HostFilter.h"
#include "MatchingKeys.h"
#include "Report.h"

#include "PAL/Escape.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <ctime>
#include <functional>
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
    std::size_t removed = 0;  // keys gone from the cache
    std::size_t backedUp = 0; // keys written to a backup: a round after the first adds the rest
    bool failed = false;
};

// A removal that keeps finding keys it missed (another program changing the key under it) gives
// up after this many rounds.
constexpr int RemovalRounds = 8;

// Adds to `removal` each key visited that it does not hold yet; `removedAgain` (may be null)
// gets those of its own that are cached again.
MatchingKeyVisit keepNew(CacheRemoval& removal, std::vector<std::string>* removedAgain) {
    return [&removal, removedAgain, folded = std::string()](const MatchingKey& key) mutable {
        const std::string_view compared = comparedView(key.name, folded);
        if (removal.names.count(compared)) {
            if (removedAgain) {
                removedAgain->emplace_back(key.name);
            }
            return;
        }
        removal.names.emplace(compared);
        removal.keys.push_back(Found{std::string(key.name), std::string(key.data),
                                     fingerprintOf(key.parsed->keyType, key.data)});
    };
}

// Every pass is taken: a key that other programs keep changing must not hide a match.
KeyWalk removalWalk(const KeyFilter& filter, bool again) {
    KeyWalk walk;
    walk.filter = &filter;
    walk.everyPass = true;
    walk.warnRefused = !again; // said once, when the keys were found
    return walk;
}

// The removals whose keys one backup file holds, and the cache it is written beside (null for
// --backup's file).
struct BackupFile {
    std::string path;
    std::vector<const CacheRemoval*> from;
    const Cache* beside;
};

// A backup written, and the one it replaced.
struct WrittenBackup {
    BackupFile file;
    PreviousBackup previous;
};

// The backup files of the keys of `removals` not backed up yet, grouped by path; false after an
// error.
bool planBackups(const RemoveOptions& options, const std::vector<CacheRemoval>& removals,
                 std::vector<BackupFile>& files, Diagnostics& diagnostics) {
    for (const CacheRemoval& removal : removals) {
        if (removal.keys.size() == removal.backedUp) {
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
                                 [&](const BackupFile& entry) { return entry.path == path; });
        if (file == files.end()) {
            file = files.insert(files.end(), BackupFile{path, {}, beside});
        }
        file->from.push_back(&removal);
    }
    for (const BackupFile& file : files) {
        for (const CacheRemoval& removal : removals) {
            if (!removal.keys.empty() && sameFile(file.path, removal.cache->name)) {
                diagnostics.error(file.path, "backup not written (it is the cache " +
                                                 removal.cache->name + "): nothing removed");
                return false;
            }
        }
    }
    return true;
}

// "## removed <UTC time> from <caches>": the line that starts each removal's section of a
// backup (import reads the lines after it as meant for any cache, until a "# <cache>" line).
std::string sectionLine(const BackupFile& file) {
    char when[32] = "";
    const std::time_t now = std::time(nullptr);
    if (const std::tm* utc = std::gmtime(&now)) {
        std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S UTC", utc);
    }
    std::string line = std::string("## removed ") + when + " from ";
    for (const CacheRemoval* removal : file.from) {
        line.append(removal == file.from.front() ? "" : ", ");
        PAL::appendEscaped(line, removal->cache->name); // a line break would forge a line
    }
    return line + "\n";
}

// One removal's section added to its backup file, written whole; false after an error.
bool writeBackup(const BackupFile& file, bool severalCaches, WrittenBackup& written,
                 Diagnostics& diagnostics) {
    // A later round's keys belong to the same removal: restore puts the section back whole.
    const bool laterRound =
        std::any_of(file.from.begin(), file.from.end(),
                    [](const CacheRemoval* removal) { return removal->backedUp; });
    std::string text = laterRound ? std::string() : sectionLine(file);
    for (const CacheRemoval* removal : file.from) {
        // A removal from several caches says which lines came from which, even when one
        // cache alone had keys: its import must not put them into every cache.
        if (severalCaches) {
            text.append("# ").append(removal->cache->name).append("\n");
        }
        for (std::size_t i = removal->backedUp; i < removal->keys.size(); ++i) {
            text.append(removal->keys[i].name).append(" ").append(removal->keys[i].data);
            text.append("\n");
        }
    }
    written.file = file;
    // Beside another user's file, its directory is reached through the key that its checked
    // walk opened; one's own cache is not read again for it.
    PAL::OpenKey besideKey(file.beside ? *file.beside->api : PAL::registryApi());
    if (file.beside && file.beside->owner) {
        std::string why;
        const Api::Status opened = file.beside->open(besideKey.out(), &why);
        if (opened != Api::Success) {
            diagnostics.error(file.path, "backup not written (" +
                                             (why.empty() ? statusText(opened) : why) +
                                             "): nothing removed");
            return false;
        }
    }
    // Appended: every earlier removal's keys stay restorable until the user deletes them.
    const std::string reason = writeBackupFile(file.path, text, file.beside, besideKey.get(),
                                               &written.previous, PAL::BackupContent::Append);
    if (!reason.empty()) {
        diagnostics.error(file.path, "backup not written (" + reason + "): nothing removed");
        return false;
    }
    return true;
}

// PuTTY's lines of what is removed and not backed up yet, grouped by the file they go to;
// false after an error.
bool writeBackups(const RemoveOptions& options, std::vector<CacheRemoval>& removals,
                  bool severalCaches, std::vector<std::unique_ptr<WrittenBackup>>& written,
                  Diagnostics& diagnostics) {
    std::vector<BackupFile> files;
    if (!planBackups(options, removals, files, diagnostics)) {
        return false;
    }
    for (const BackupFile& file : files) {
        written.push_back(std::make_unique<WrittenBackup>());
        if (!writeBackup(file, severalCaches, *written.back(), diagnostics)) {
            return false;
        }
    }
    for (CacheRemoval& removal : removals) {
        removal.backedUp = removal.keys.size();
    }
    return true;
}

void reportRemoved(const CacheRemoval& removal, std::size_t from, std::size_t count,
                   Report& report) {
    for (std::size_t i = from; i < from + count && i < removal.keys.size(); ++i) {
        const Found& key = removal.keys[i];
        report.add(Change{removal.cache->name, Change::Removed, key.name, key.fingerprint, {}});
    }
    report.flush();
}

// Removes the keys of `removal` from `from` on from its open `key`; false after an error.
bool removeFrom(CacheRemoval& removal, Api::Handle key, std::size_t from, Report& report,
                Diagnostics& diagnostics) {
    std::vector<std::string> names;
    for (std::size_t i = from; i < removal.keys.size(); ++i) {
        names.push_back(removal.keys[i].name);
    }
    std::size_t applied = 0;
    const Api::Status status =
        removal.cache->api->applyChanges(key, names, std::vector<Api::ValueText>{}, &applied);
    removal.removed += std::min(applied, names.size());
    // What was removed is reported even when the rest failed: the backup holds it all.
    reportRemoved(removal, from, applied, report);
    if (status != Api::Success) {
        diagnostics.error(removal.cache->name, statusText(status));
        return false;
    }
    return true;
}

// Removes the keys found in one cache, then reads it again with the same filter: keys a first
// reading missed are backed up (`backUp`) and removed too, a few rounds at most; a key of its
// own cached again is an error. False after an error.
bool removeFound(const KeyFilter& filter, CacheRemoval& removal,
                 const std::function<bool()>& backUp, Report& report, Diagnostics& diagnostics) {
    const Cache& cache = *removal.cache;
    PAL::OpenKey key(*cache.api);
    std::string reason;
    Api::Status status = cache.open(key.out(), &reason);
    if (status != Api::Success) {
        diagnostics.error(cache.name, reason.empty() ? statusText(status) : reason);
        return false;
    }
    for (std::size_t from = 0, round = 1;; ++round) {
        if (!removeFrom(removal, key.get(), from, report, diagnostics)) {
            return false;
        }
        // A key that is a snapshot (the POSIX store) shows only its own all-or-nothing rewrite;
        // a registry key is written value by value, and others may write it at any time.
        if (cache.api->keysAreSnapshots()) {
            return true;
        }
        from = removal.keys.size();
        std::vector<std::string> again;
        status = forEachMatchingKey(cache, key.get(), removalWalk(filter, true),
                                    keepNew(removal, &again), diagnostics);
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

// Each backup that holds removed keys stays, and is named once; the one it replaced goes once
// its removals are done, and is kept aside when one of them failed part way. One that holds
// none is undone.
void settleBackups(std::vector<std::unique_ptr<WrittenBackup>>& written, Diagnostics& diagnostics) {
    std::set<std::string> named;
    for (const auto& backup : written) {
        bool removed = false;
        bool partly = false;
        for (const CacheRemoval* removal : backup->file.from) {
            removed = removed || removal->removed > 0;
            partly = partly || (removal->removed > 0 && removal->failed);
        }
        if (!removed) {
            continue;
        }
        if (named.insert(backup->file.path).second) {
            diagnostics.note("removed keys kept in " + backup->file.path);
        }
        if (!partly) {
            backup->previous.drop();
        } else if (const std::string aside = backup->previous.keepAside(); !aside.empty()) {
            diagnostics.warning(backup->file.path, "the backup it replaced is kept as " + aside);
        }
    }
    // Undone last first: a backup written again puts back the one it replaced.
    while (!written.empty()) {
        written.pop_back();
    }
}

// The keys of every cache selected that `filter` lets through; false when one cannot be read.
bool findKeys(const KeyFilter& filter, const std::vector<Cache>& caches,
              std::vector<CacheRemoval>& removals, Diagnostics& diagnostics) {
    bool read = true;
    for (const Cache& cache : caches) {
        removals.push_back(CacheRemoval{&cache, {}, {}});
        read = forEachMatchingKey(cache, removalWalk(filter, false),
                                  keepNew(removals.back(), nullptr), diagnostics) &&
               read;
    }
    return read;
}

// Backs up and removes what was found; Done, or Failure.
ExitStatus removeAll(const RemoveOptions& options, const KeyFilter& filter,
                     std::vector<CacheRemoval>& removals, bool showCache, Report& report,
                     Diagnostics& diagnostics) {
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
        if (!removal.keys.empty() && !removeFound(filter, removal, backUp, report, diagnostics)) {
            removal.failed = true;
            break;
        }
    }
    settleBackups(written, diagnostics);
    return diagnostics.failed() ? ExitStatus::Failure : ExitStatus::Done;
}

ExitStatus removeCaches(const RemoveOptions& options, const KeyFilter& filter,
                        const std::vector<Cache>& caches, Report& report,
                        Diagnostics& diagnostics) {
    std::vector<CacheRemoval> removals;
    // Nothing is removed unless every cache asked for could be read.
    if (!findKeys(filter, caches, removals, diagnostics) || diagnostics.failed()) {
        return ExitStatus::Failure;
    }
    if (std::all_of(removals.begin(), removals.end(),
                    [](const CacheRemoval& removal) { return removal.keys.empty(); })) {
        reportNothingMatched(diagnostics, options.selection, caches);
        return ExitStatus::NothingMatched;
    }
    if (options.dryRun) {
        for (const CacheRemoval& removal : removals) {
            reportRemoved(removal, 0, removal.keys.size(), report);
        }
        return ExitStatus::Done;
    }
    return removeAll(options, filter, removals, caches.size() > 1, report, diagnostics);
}

} // namespace

ExitStatus removeKeys(const RemoveOptions& options, std::ostream& out, Diagnostics& diagnostics) {
    const Selection& selection = options.selection;
    const std::optional<KeyFilter> filter = filterOf(selection, diagnostics);
    if (!filter) {
        return ExitStatus::Failure;
    }
    const std::vector<Cache> caches = selectCaches(selection.cache, diagnostics);
    Report report = Report::changes(options.format == "json" ? Format::Json : Format::Text,
                                    caches.size() > 1, options.dryRun, out, diagnostics);
    const ExitStatus status = removeCaches(options, *filter, caches, report, diagnostics);
    report.finish();
    return status;
}

Command declareRemove(CLI::App& app) {
    auto options = std::make_shared<RemoveOptions>();
    CLI::App* command = app.add_subcommand("remove", "Remove every cached key of hosts");
    addSelection(*command, options->selection,
                 "Remove the keys of these hosts (HOST, HOST:PORT, [HOST]:PORT; '' for the "
                 "empty host)",
                 "Only keys of this type")
        ->required();
    command->add_flag("--dry-run", options->dryRun, "Show what would be removed, change nothing");
    CLI::Option* backup =
        command
            ->add_option("--backup", options->backup,
                         "Keep the removed keys in FILE (default: the cache file plus .old; "
                         "on Windows %USERPROFILE%\\SshHostKeys.old)")
            ->type_name("FILE");
    command->add_flag("--no-backup", options->noBackup, "Keep no backup")->excludes(backup);
    addFormatOption(*command, options->format, {"text", "json"},
                    "text (default) or json: what was removed");
    return {command, [options](std::ostream& out, Diagnostics& diagnostics) {
                return removeKeys(*options, out, diagnostics);
            }};
}

} // namespace hkcache
