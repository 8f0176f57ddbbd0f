// The one way the layer and the application end the process, so tests can intercept it, and
// the standard output that every way out must leave complete.
#ifndef PAL_PROCESS_H
#define PAL_PROCESS_H

namespace PAL {

// Called with the exit status; the default ends the process with std::exit (no unwinding).
// A test handler may throw instead; if a handler returns, std::exit runs anyway.
using ExitHandler = void (*)(int status);

// Before anything is printed: standard output is written in blocks (a line at a time on an
// interactive terminal), and a write error is reported under `programName`. Standard error
// stays tied to standard output, so whatever goes there comes after what was printed before.
void setUpStandardOutput(const char* programName);

// Standard output from here on is written as the bytes given: Windows' text mode would write a
// CR before each LF byte. Nothing is done on POSIX.
void standardOutputAsBytes();

// Flushes standard output. When anything written to it was lost, writes one line on standard
// error, "<program>: write error: <reason>", and returns -1; otherwise returns `status`.
int finishStandardOutput(int status);

// finishStandardOutput, then ends the process (or hands over to the installed handler).
[[noreturn]] void exitProcess(int status);

// Whether standard error is a terminal (Windows: a console) that a person watches, where a
// line may be redrawn in place.
bool standardErrorIsTerminal();

// Installs `handler` (null restores the default) and returns the one it replaces.
ExitHandler setExitHandler(ExitHandler handler);

} // namespace PAL

#endif // PAL_PROCESS_H
