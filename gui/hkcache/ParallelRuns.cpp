#include "ParallelRuns.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace hkcache {

void runInParallel(std::size_t count, unsigned jobs, const std::function<void(std::size_t)>& run) {
    std::atomic<std::size_t> next{0};
    // A throw (out of memory) ends every thread's work and is rethrown once all have joined.
    std::mutex failed;
    std::exception_ptr failure;
    const auto work = [&] {
        try {
            for (std::size_t i; (i = next++) < count;) {
                run(i);
            }
        } catch (...) {
            next = count;
            const std::lock_guard<std::mutex> lock(failed);
            if (!failure) {
                failure = std::current_exception();
            }
        }
    };
    const std::size_t threads = std::min<std::size_t>(std::max(jobs, 1u), count);
    std::vector<std::thread> pool;
    // The calling thread is one of them; a thread that cannot be started leaves its share to
    // the others.
    for (std::size_t i = 1; i < threads; ++i) {
        try {
            pool.emplace_back(work);
        } catch (const std::system_error&) {
            break;
        }
    }
    work();
    for (std::thread& thread : pool) {
        thread.join();
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
}

} // namespace hkcache
