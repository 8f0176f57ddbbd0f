// The signals that ask a program to stop (SIGINT, SIGTERM; on Windows the console's Ctrl-C,
// Ctrl-Break, close, log-off and shut-down), caught for a while so that it stops at a point of
// its own choosing: what it has found is printed, nothing new is started.
#ifndef PAL_STOPSIGNALS_H
#define PAL_STOPSIGNALS_H

#include <functional>

namespace PAL {

// While one lives, the first stop signal is recorded instead of ending the process; a second
// one ends it as if none were caught. A signal the process was started with ignored stays
// ignored (a background job of a script). One at a time; the handling it found is put back
// when it goes.
class StopSignals {
public:
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // The exit status that the signal asks for: 130 after an interrupt (SIGINT, Ctrl-C,
    // Ctrl-Break), 143 after a termination (SIGTERM, the console closed, log-off, shut-down);
    // 0 while none has come.
    int status() const;
};

// Runs `start` with the stop signals held back from the calling thread, so that a thread it
// starts never takes one: the signal goes to a thread that waits, instead of cutting a worker's
// system call short. The calling thread's mask is put back, also when `start` throws. Windows
// delivers console events on a thread of their own: `start` just runs.
void withStopSignalsHeld(const std::function<void()>& start);

} // namespace PAL

#endif // PAL_STOPSIGNALS_H
