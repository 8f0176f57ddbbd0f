// The application's command-line definition (options s, c, l, d, p, t, v and the parameter
// hostname) on a PAL::CLIOptionParser, with callbacks that record every call, and a runner
// that parses in-process and collects the calls, the exit status, standard output and the
// ERROR record of a fatal error.
#ifndef HK_TESTS_PARSERHARNESS_H
#define HK_TESTS_PARSERHARNESS_H

#include "PAL/CLIOptionParser.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace hktest {

// The usage report of the application's definition for the program name hkprune.
extern const char* const AppUsage;

class AppCommandLine {
public:
    // `elements` are the arguments after the program path.
    explicit AppCommandLine(const std::vector<std::string>& elements,
                            const std::string& program = "hkprune");
    AppCommandLine(const AppCommandLine&) = delete;
    AppCommandLine& operator=(const AppCommandLine&) = delete;

    PAL::CLIOptionParser& parser() { return theParser; }

    // One entry per callback call, in order: the option's letter ("l"), or "<hostname>", then
    // ":" and the argument when there is one ("t:rsa2", "<hostname>:host1").
    std::vector<std::string> calls;
    // The owner pointer of each call.
    std::vector<const void*> owners;
    // The record each option callback received.
    std::vector<const PAL::CLIOption*> records;

private:
    std::vector<std::string> storage;
    std::vector<const char*> argv;
    PAL::CLIOption defaultKey, currentKey, list, del, port, keyType, verbose;
    PAL::CLIParameter hostName;
    PAL::CLIOptionParser theParser;
};

// Records an option call in the AppCommandLine given as owner.
void recordOption(void* owner, const PAL::CLIOption& option, const char* argument);
void recordParameter(void* owner, const PAL::CLIParameter& parameter, const char* text);

struct ParseOutcome {
    std::optional<int> exitStatus; // set when the parse ended the process
    std::string output;            // standard output
    std::vector<std::string> errorRecords;
};

// Runs `action` with the exit trapped, standard output captured and the main log written to a
// temporary directory (tracing off).
ParseOutcome runTrapped(const std::function<void()>& action);
// runTrapped with one parseOptions.
ParseOutcome runParse(PAL::CLIOptionParser& parser);

// The message texts of the records of `severity` ("ERROR", "TRACE") in a log file's text.
std::vector<std::string> recordMessages(const std::string& logText, const std::string& severity);

// True when `prefix` is `place` (path and qualified function, each followed by ":"), a line
// number and one space.
bool isLocationPrefix(const std::string& prefix, const std::string& place);

} // namespace hktest

#endif // HK_TESTS_PARSERHARNESS_H
