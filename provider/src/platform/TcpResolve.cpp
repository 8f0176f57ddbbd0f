// Name resolution bounded by the connection's deadline. getaddrinfo cannot be told when to give
// up, so it runs on a thread of its own that the caller stops waiting for; what it finds later
// is dropped with the state it shares with no one else.
#include "PAL/TcpConnection.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace PAL {
namespace {

// Lookups still running, given up on or not: each holds a thread until its name service answers
// or gives up (seconds), so past this many a run of slow names fails at once.
constexpr int MostPending = 256;

std::mutex inForceLock;
Resolver inForce;
std::atomic<int> pending{0};

struct Lookup {
    std::mutex lock;
    std::condition_variable finished;
    bool done = false;
    Resolved result;
};

Resolver resolverInForce() {
    const std::lock_guard<std::mutex> hold(inForceLock);
    return inForce ? inForce : [](const std::string& host, unsigned port) {
        return systemResolve(host, port, false);
    };
}

} // namespace

Resolver setResolver(Resolver resolver) {
    const std::lock_guard<std::mutex> hold(inForceLock);
    std::swap(inForce, resolver);
    return resolver;
}

Resolved resolveBefore(const std::string& host, unsigned port,
                       std::chrono::steady_clock::time_point deadline) {
    // An address in numbers needs no name service, and no thread (Wine may stall a new one).
    Resolved numeric = systemResolve(host, port, true);
    if (!numeric.addresses.empty()) {
        return numeric;
    }
    if (++pending > MostPending) {
        --pending;
        return {{}, "too many name lookups still running"};
    }
    const auto lookup = std::make_shared<Lookup>();
    try {
        std::thread([lookup, resolver = resolverInForce(), host, port] {
            Resolved result;
            try {
                result = resolver(host, port);
            } catch (const std::bad_alloc&) {
                result.why = "out of memory";
            }
            {
                const std::lock_guard<std::mutex> hold(lookup->lock);
                lookup->result = std::move(result);
                lookup->done = true;
            }
            lookup->finished.notify_one();
            --pending;
        }).detach();
    } catch (const std::system_error&) {
        --pending;
        return {{}, "no thread for the name lookup"};
    }
    std::unique_lock<std::mutex> hold(lookup->lock);
    if (!lookup->finished.wait_until(hold, deadline, [&] { return lookup->done; })) {
        return {{}, "name lookup timed out"};
    }
    return std::move(lookup->result);
}

} // namespace PAL
