// The exit statuses a script sees: one name per meaning, the code each exits with, and which
// wins when a run meets several.
#ifndef HK_GUI_HKCACHE_EXITSTATUS_H
#define HK_GUI_HKCACHE_EXITSTATUS_H

namespace hkcache {

// Each status and its exit code, from best to worst: a run that met two ends with the later
// one. One list makes both the enum and the codes, so neither can miss a status.
// Listed: keys listed, or all verified (and help, the version). Done: a change made (or, in a
// dry run, that would be). Unchecked: a key or host could not be checked. NothingToImport: the
// input held no key that could be imported. Conflict: an import left a key out because another
// is cached under its name. NothingMatched: no key (no offered key) matched what was asked.
// Mismatch: a server proved another key than the cached one, or could not prove its key.
// Interrupted, Terminated: stopped by a signal (PAL::StopSignals' statuses); the run did not
// finish, whatever it met before.
#define HKCACHE_EXIT_STATUSES(X)                                                                   \
    X(Listed, 0)                                                                                   \
    X(Done, 0)                                                                                     \
    X(Unchecked, 4)                                                                                \
    X(NothingToImport, 5)                                                                          \
    X(Conflict, 1)                                                                                 \
    X(NothingMatched, 1)                                                                           \
    X(Mismatch, 3)                                                                                 \
    X(Failure, 2)                                                                                  \
    X(Interrupted, 130)                                                                            \
    X(Terminated, 143)

#define HKCACHE_STATUS_NAME(name, code) name,
enum class ExitStatus { HKCACHE_EXIT_STATUSES(HKCACHE_STATUS_NAME) };
#undef HKCACHE_STATUS_NAME

#define HKCACHE_STATUS_CODE(name, code) code,
inline constexpr int ExitCodes[] = {HKCACHE_EXIT_STATUSES(HKCACHE_STATUS_CODE)};
#undef HKCACHE_STATUS_CODE

#undef HKCACHE_EXIT_STATUSES

// The code the process exits with.
constexpr int exitCode(ExitStatus status) {
    return ExitCodes[static_cast<int>(status)];
}

// Of two results, the one the run ends with.
constexpr ExitStatus worse(ExitStatus a, ExitStatus b) {
    return a < b ? b : a;
}

} // namespace hkcache

#endif // HK_GUI_HKCACHE_EXITSTATUS_H
