#include "PAL/ParallelRuns.h"

#include "PAL/StopSignals.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <new>
#include <system_error>
#include <vector>

namespace PAL {
namespace {

std::thread startWorker(std::function<void()> work) {
    std::thread thread;
    withStopSignalsHeld([&] { thread = std::thread(std::move(work)); });
    return thread;
}

ThreadStarter starter = &startWorker;

// The threads started, joined on every way out: a joinable std::thread that is destroyed ends
// the process.
class Workers {
public:
    explicit Workers(std::atomic<bool>& stop) : stopped(stop) {}
    // On a throw: each finishes the item it has, and starts none.
    ~Workers() {
        stopped = true;
        join();
    }
    Workers(const Workers&) = delete;
    Workers& operator=(const Workers&) = delete;

    std::vector<std::thread> threads;

    void join() {
        for (std::thread& thread : threads) {
            if (thread.joinable()) {
                thread.join();
            }
        }
    }

private:
    std::atomic<bool>& stopped;
};

} // namespace

ThreadStarter setThreadStarter(ThreadStarter replacement) {
    const ThreadStarter previous = starter;
    starter = replacement ? replacement : &startWorker;
    return previous;
}

void runInParallel(std::size_t count, unsigned jobs, const std::function<void(std::size_t)>& run,
                   const std::function<void()>& meanwhile) {
    const std::size_t threads = std::min<std::size_t>(std::max(jobs, 1u), count);
    // Each thread's first item is its own, so that none is left idle while another takes two.
    std::atomic<std::size_t> next{threads};
    std::atomic<bool> stopped{false};
    std::mutex lock;
    std::condition_variable finished;
    std::size_t running = 0; // threads started that have not finished
    // A throw (out of memory) ends every thread's work and is rethrown once all have joined.
    std::exception_ptr failure;
    const auto work = [&](std::size_t first) {
        try {
            for (std::size_t i = first; i < count && !stopped; i = next++) {
                run(i);
            }
        } catch (...) {
            stopped = true;
            const std::lock_guard<std::mutex> held(lock);
            if (!failure) {
                failure = std::current_exception();
            }
        }
    };
    const auto worker = [&](std::size_t first) {
        work(first);
        const std::lock_guard<std::mutex> held(lock);
        --running;
        finished.notify_one();
    };
    Workers workers(stopped);
    try {
        workers.threads.reserve(threads);
        // Without `meanwhile`, the calling thread is one of them.
        for (std::size_t i = meanwhile ? 0 : 1; i < threads; ++i) {
            const std::lock_guard<std::mutex> held(lock);
            workers.threads.push_back(starter([&worker, i] { worker(i); }));
            ++running;
        }
    } catch (const std::system_error&) {
        throw std::bad_alloc(); // `workers` joins the others first
    }
    if (meanwhile) {
        std::unique_lock<std::mutex> held(lock);
        while (!finished.wait_for(held, std::chrono::milliseconds(250),
                                  [&] { return running == 0; })) {
            held.unlock();
            meanwhile();
            held.lock();
        }
    } else {
        work(0);
    }
    workers.join();
    if (failure) {
        std::rethrow_exception(failure);
    }
}

} // namespace PAL
