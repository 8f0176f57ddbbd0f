// SIGINT and SIGTERM caught into a flag, and held back from worker threads.
#include "PAL/StopSignals.h"

#include <atomic>
#include <csignal>
#include <pthread.h>
#include <signal.h>

namespace PAL {
namespace {

struct Caught {
    int signal;
    int status;
};
constexpr Caught Signals[] = {{SIGINT, 130}, {SIGTERM, 143}};
constexpr int Count = sizeof Signals / sizeof Signals[0];

// Set by the handler: only a lock-free atomic may be touched there.
std::atomic<int> caughtStatus{0};
static_assert(std::atomic<int>::is_always_lock_free);
struct sigaction previous[Count];
bool installed[Count];

extern "C" void onStopSignal(int signal) {
    for (int i = 0; i < Count; ++i) {
        int none = 0;
        if (Signals[i].signal == signal) {
            caughtStatus.compare_exchange_strong(none, Signals[i].status);
        }
    }
    // The next one is not waited for: someone who asks twice means now.
    struct sigaction byDefault = {};
    byDefault.sa_handler = SIG_DFL;
    sigemptyset(&byDefault.sa_mask);
    for (int i = 0; i < Count; ++i) {
        if (installed[i]) {
            sigaction(Signals[i].signal, &byDefault, nullptr);
        }
    }
}

} // namespace

StopSignals::StopSignals() {
    caughtStatus = 0;
    struct sigaction action = {};
    action.sa_handler = &onStopSignal;
    sigemptyset(&action.sa_mask);
    for (const Caught& each : Signals) {
        sigaddset(&action.sa_mask, each.signal);
    }
    action.sa_flags = SA_RESTART;
    for (int i = 0; i < Count; ++i) {
        installed[i] = sigaction(Signals[i].signal, nullptr, &previous[i]) == 0 &&
                       previous[i].sa_handler != SIG_IGN;
    }
    for (int i = 0; i < Count; ++i) {
        if (installed[i]) {
            sigaction(Signals[i].signal, &action, nullptr);
        }
    }
}

StopSignals::~StopSignals() {
    for (int i = 0; i < Count; ++i) {
        if (installed[i]) {
            sigaction(Signals[i].signal, &previous[i], nullptr);
            installed[i] = false;
        }
    }
}

int StopSignals::status() const {
    return caughtStatus;
}

void withStopSignalsHeld(const std::function<void()>& start) {
    sigset_t held;
    sigemptyset(&held);
    for (const Caught& each : Signals) {
        sigaddset(&held, each.signal);
    }
    struct Restore {
        sigset_t before;
        ~Restore() { pthread_sigmask(SIG_SETMASK, &before, nullptr); }
    } restore{};
    pthread_sigmask(SIG_BLOCK, &held, &restore.before);
    start();
}

} // namespace PAL
