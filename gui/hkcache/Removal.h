// hkcache remove: every key of the hosts given, from each cache selected, in one change per
// cache, after a backup that one import puts back.
#ifndef HK_GUI_HKCACHE_REMOVAL_H
#define HK_GUI_HKCACHE_REMOVAL_H

#include "Diagnostics.h"

#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace hkcache {

struct RemoveOptions {
    std::vector<std::string> hosts; // HOST, HOST:PORT, [HOST]:PORT; at least one
    std::string type;               // PuTTY's or OpenSSH's name; empty: every type
    unsigned port = 0;              // 0: every port
    std::string cache = "current";
    bool dryRun = false;
    std::string backup; // empty: the platform's default (defaultBackupPath)
    bool noBackup = false;
};

// Prints "removed <name> <fingerprint>" per key removed ("would remove" with dryRun).
// Removed: ExitStatus::Done; nothing matched: NothingMatched; else Failure.
ExitStatus removeKeys(const RemoveOptions& options, std::ostream& out, Diagnostics& diagnostics);

} // namespace hkcache

#endif // HK_GUI_HKCACHE_REMOVAL_H
