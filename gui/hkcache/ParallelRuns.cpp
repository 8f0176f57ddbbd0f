#include "ParallelRuns.h"

#include <algorithm>
#include <atomic>
#include <system_error>
#include <thread>
#include <vector>

namespace hkcache {

void runInParallel(std::size_t count, unsigned jobs, const std::function<void(std::size_t)>& run) {
    std::atomic<std::size_t> next{0};
    const auto work = [&] {
        for (std::size_t i; (i = next++) < count;) {
            run(i);
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
}

} // namespace hkcache
