// hkcache restore: the undo of a removal, the newest section of its backup put back (or the one
// asked for, or every one) through import's PuTTY lines.
#ifndef HK_GUI_HKCACHE_RESTORE_H
#define HK_GUI_HKCACHE_RESTORE_H

#include "Command.h"
#include "Diagnostics.h"

#include <ostream>
#include <string>

namespace hkcache {

struct RestoreOptions {
    std::string backup;      // empty: the default backup of the (one) cache selected
    std::size_t section = 1; // 1: the newest
    bool all = false;
    bool list = false;
    std::string cache = "current";
    bool replace = false;
    bool dryRun = false;
    std::string format = "text"; // or "json"
};

Command declareRestore(CLI::App& app);

// Lists the backup's sections (Listed), or puts one (or all) back as importKeys does.
ExitStatus restoreKeys(const RestoreOptions& options, std::ostream& out, Diagnostics& diagnostics);

} // namespace hkcache

#endif // HK_GUI_HKCACHE_RESTORE_H
