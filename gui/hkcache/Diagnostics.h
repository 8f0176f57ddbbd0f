// What a run says on standard error: one line per error or warning, each naming the cache (or
// the argument) it is about and the reason, and whether the run has failed.
#ifndef HK_GUI_HKCACHE_DIAGNOSTICS_H
#define HK_GUI_HKCACHE_DIAGNOSTICS_H

#include "PAL/RegistryApi.h"
#include "PAL/Status.h"

#include <ostream>
#include <string>
#include <string_view>

namespace hkcache {

// The exit statuses a script sees.
// Done: a change made (or, in a dry run, that would be). Conflict: an import left a key out
// because another is cached under its name. Mismatch: a server proved another key than the
// cached one, or could not prove its key. Unchecked: a key or host could not be checked.
// NothingToImport: the input held no key that could be imported.
enum class ExitStatus : int {
    Listed = 0,
    Done = 0,
    NothingMatched = 1,
    Conflict = 1,
    Failure = 2,
    Mismatch = 3,
    Unchecked = 4,
    NothingToImport = 5,
};

class Diagnostics {
public:
    explicit Diagnostics(std::ostream& stream) : err(stream) {}

    // "hkcache: <where>: <reason>", control bytes escaped (PAL/Escape.h); the run ends with
    // ExitStatus::Failure.
    void error(std::string_view where, std::string_view reason);
    // As error(), for one cache of several that cannot be had: the run goes on with the others
    // (failed() stays false) and ends with ExitStatus::Failure (outcome()).
    void refused(std::string_view where, std::string_view reason);
    // "hkcache: warning: <where>: <reason>"; the status is not changed.
    void warning(std::string_view where, std::string_view reason);
    // "hkcache: <message>": what happened, told to the user; the status is not changed.
    void note(std::string_view message);
    // Whether an error stops the run.
    bool failed() const { return anyError; }
    // The run's exit status: `status`, or Failure when a cache was refused.
    ExitStatus outcome(ExitStatus status) const {
        return anyRefused ? ExitStatus::Failure : status;
    }

private:
    std::ostream& err;
    bool anyError = false;
    bool anyRefused = false;
};

// The layer words every status the same way for both programs.
using PAL::statusText;

} // namespace hkcache

#endif // HK_GUI_HKCACHE_DIAGNOSTICS_H
