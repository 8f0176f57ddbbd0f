// hkcache remove: every key of the hosts given, from each cache selected, in one change per
// cache, after a backup that one import puts back.
#ifndef HK_GUI_HKCACHE_REMOVAL_H
#define HK_GUI_HKCACHE_REMOVAL_H

#include "Command.h"
#include "Diagnostics.h"

#include <ostream>
#include <string>

namespace hkcache {

struct RemoveOptions {
    Selection selection; // at least one host
    bool dryRun = false;
    std::string backup; // empty: the platform's default (defaultBackupPath)
    bool noBackup = false;
    std::string format = "text"; // or "json"
};

Command declareRemove(CLI::App& app);

// Reports "removed <name> <fingerprint>" per key removed ("would remove" with dryRun).
// Removed: ExitStatus::Done; nothing matched: NothingMatched; else Failure.
ExitStatus removeKeys(const RemoveOptions& options, std::ostream& out, Diagnostics& diagnostics);

} // namespace hkcache

#endif // HK_GUI_HKCACHE_REMOVAL_H
