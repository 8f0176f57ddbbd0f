// The log files of the whole-program targets, kept in memory in place of the platform's: the
// log module runs as it does on files (size checks, rotation, failed opens) without several
// system calls per record, which cost more than the rest of a verbose run. The platform's own
// log file is tested on real files, links and FIFOs by the unit tests.
#ifndef HK_TESTS_FUZZ_MEMORYLOG_H
#define HK_TESTS_FUZZ_MEMORYLOG_H

#include <string>
#include <vector>

namespace hkfuzz {
namespace memorylog {

// Forgets every file. From then on every open fails when `failOpens` is set.
void reset(bool failOpens);

// The paths that name a file now.
std::vector<std::string> names();

} // namespace memorylog
} // namespace hkfuzz

#endif // HK_TESTS_FUZZ_MEMORYLOG_H
