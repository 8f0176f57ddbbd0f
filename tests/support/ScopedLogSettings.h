// Saves every process-wide log setting and puts it back on destruction, so a test may change
// them freely without leaking into the next one.
#ifndef HK_TESTS_SCOPEDLOGSETTINGS_H
#define HK_TESTS_SCOPEDLOGSETTINGS_H

#include <cstdint>
#include <set>
#include <string>

namespace hktest {

class ScopedLogSettings {
public:
    ScopedLogSettings();
    ~ScopedLogSettings();
    ScopedLogSettings(const ScopedLogSettings&) = delete;
    ScopedLogSettings& operator=(const ScopedLogSettings&) = delete;

private:
    std::string directory;
    std::string logFile;
    std::string traceFile;
    std::uint32_t level;
    std::uint32_t mask;
    std::uint32_t logMax;
    std::uint32_t traceMax;
    std::set<std::int32_t> components;
};

} // namespace hktest

#endif // HK_TESTS_SCOPEDLOGSETTINGS_H
