// Work items run on a few threads at once: each connection to a server mostly waits.
#ifndef HK_GUI_HKCACHE_PARALLELRUNS_H
#define HK_GUI_HKCACHE_PARALLELRUNS_H

#include <cstddef>
#include <functional>

namespace hkcache {

// Calls `run(i)` for each i below `count` on at most `jobs` threads (at least one); returns when
// every call has. Each call writes only its own item, so the caller reads them in their order.
void runInParallel(std::size_t count, unsigned jobs, const std::function<void(std::size_t)>& run);

} // namespace hkcache

#endif // HK_GUI_HKCACHE_PARALLELRUNS_H
