// The one way the layer and the application end the process, so tests can intercept it.
#ifndef PAL_PROCESS_H
#define PAL_PROCESS_H

namespace PAL {

// Called with the exit status; the default ends the process with std::exit (no unwinding).
// A test handler may throw instead; if a handler returns, std::exit runs anyway.
using ExitHandler = void (*)(int status);

// Flushes standard output, then ends the process (or hands over to the installed handler).
[[noreturn]] void exitProcess(int status);

// Installs `handler` (null restores the default) and returns the one it replaces.
ExitHandler setExitHandler(ExitHandler handler);

} // namespace PAL

#endif // PAL_PROCESS_H
