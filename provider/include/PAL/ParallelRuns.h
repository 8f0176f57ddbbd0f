// Work items run on a few threads at once: connections to servers, which mostly wait, and the
// parts of a large known_hosts, which mostly compute.
#ifndef PAL_PARALLELRUNS_H
#define PAL_PARALLELRUNS_H

#include <cstddef>
#include <functional>
#include <thread>

namespace PAL {

// Calls `run(i)` for each i below `count` on at most `jobs` threads (at least one), the first
// of each thread's calls with an i of its own, the rest in the order of i; returns when every
// call has. Each call writes only its own item, so the caller reads them in their order. With
// `meanwhile`, the calling thread does none of the work: it calls `meanwhile` about four times a
// second until the work is done (and it is the thread that takes a stop signal). A thread that
// cannot be started stops the work: the threads that were are joined, and std::bad_alloc is
// thrown.
void runInParallel(std::size_t count, unsigned jobs, const std::function<void(std::size_t)>& run,
                   const std::function<void()>& meanwhile = {});

// Starts a worker thread; tests put in one that fails.
using ThreadStarter = std::thread (*)(std::function<void()> work);
// Puts `starter` in force (null: the standard one, which holds stop signals back from the
// workers); returns the one it replaces.
ThreadStarter setThreadStarter(ThreadStarter starter);

} // namespace PAL

#endif // PAL_PARALLELRUNS_H
