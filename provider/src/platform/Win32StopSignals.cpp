// The console's Ctrl-C, Ctrl-Break, close, log-off and shut-down caught into a flag.
#include "PAL/StopSignals.h"

#include "PAL/Windows.h"

#include <atomic>

namespace PAL {
namespace {

std::atomic<int> caughtStatus{0};

// Runs on a thread the system starts for the event.
BOOL WINAPI onConsoleEvent(DWORD event) {
    const int status = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? 130 : 143;
    int none = 0;
    // FALSE hands the event on to the default handler, which ends the process: a second one
    // is not waited for. The system ends the process after a close, log-off or shut-down
    // anyway, once this returns; what was printed before stays.
    return caughtStatus.compare_exchange_strong(none, status) ? TRUE : FALSE;
}

} // namespace

StopSignals::StopSignals() {
    caughtStatus = 0;
    // A process started with Ctrl-C ignored never calls a handler for it: it stays ignored.
    SetConsoleCtrlHandler(&onConsoleEvent, TRUE);
}

StopSignals::~StopSignals() {
    SetConsoleCtrlHandler(&onConsoleEvent, FALSE);
}

int StopSignals::status() const {
    return caughtStatus;
}

void withStopSignalsHeld(const std::function<void()>& start) {
    start();
}

} // namespace PAL
