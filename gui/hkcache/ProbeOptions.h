// --timeout and --jobs, as verify and fetch share them.
#ifndef HK_GUI_HKCACHE_PROBEOPTIONS_H
#define HK_GUI_HKCACHE_PROBEOPTIONS_H

#include <chrono>

namespace CLI {
class App;
} // namespace CLI

namespace hkcache {

struct ProbeOptions {
    double timeout = 10; // seconds, each connection
    unsigned jobs = 8;   // connections at once

    std::chrono::milliseconds timeoutMs() const {
        return std::chrono::milliseconds(static_cast<long long>(timeout * 1000));
    }
};

void addProbeOptions(CLI::App& command, ProbeOptions& options);

} // namespace hkcache

#endif // HK_GUI_HKCACHE_PROBEOPTIONS_H
