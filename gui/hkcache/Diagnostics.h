// What a run says on standard error: one line per error or warning, each naming the cache (or
// the argument) it is about and the reason, and whether the run has failed.
#ifndef HK_GUI_HKCACHE_DIAGNOSTICS_H
#define HK_GUI_HKCACHE_DIAGNOSTICS_H

#include "ExitStatus.h"

#include "PAL/RegistryApi.h"
#include "PAL/Status.h"

#include <ostream>
#include <string>
#include <string_view>

namespace hkcache {

class Diagnostics {
public:
    // `onTerminal`: `stream` is a terminal that a person watches, where progress is shown.
    explicit Diagnostics(std::ostream& stream, bool onTerminal = false)
        : err(stream), terminal(onTerminal) {}

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
    // The run's exit status: `status`, or Failure when a cache was refused (a stop signal's
    // status still wins: the run did not finish).
    ExitStatus outcome(ExitStatus status) const {
        return anyRefused ? worse(status, ExitStatus::Failure) : status;
    }
    // On a terminal, "hkcache: <line>" in place of the last progress line (empty: cleared, as
    // it must be before anything else is printed); elsewhere nothing.
    void progress(std::string_view line);

private:
    std::ostream& err;
    bool terminal;
    std::string shown; // the progress line on the terminal
    bool anyError = false;
    bool anyRefused = false;
};

// The layer words every status the same way for both programs.
using PAL::statusText;

} // namespace hkcache

#endif // HK_GUI_HKCACHE_DIAGNOSTICS_H
