// The log files of the whole-program targets, kept in memory and put in force in place of the
// platform's (PAL::setLogFileApi): the log module runs as it does on files (size checks,
// rotation, failed opens) without several system calls per record, which cost more than the
// rest of a verbose run. The platform's own log files are tested on real files, links and FIFOs
// by the unit tests.
#ifndef HK_TESTS_FUZZ_MEMORYLOG_H
#define HK_TESTS_FUZZ_MEMORYLOG_H

#include "PAL/LogFileApi.h"

#include <string>
#include <vector>

namespace hkfuzz {
namespace memorylog {

// The files, to put in force with PAL::setLogFileApi.
PAL::LogFileApi& files();

// Forgets every file. From then on every open fails when `failOpens` is set.
void reset(bool failOpens);

// The paths that name a file now.
std::vector<std::string> names();

} // namespace memorylog
} // namespace hkfuzz

#endif // HK_TESTS_FUZZ_MEMORYLOG_H
