// Process-wide log and trace settings, the record writers, and the parsers that turn component
// and mask words into settings. Nothing here throws except the word parsers, and only on request.
#ifndef PAL_LOGUTIL_H
#define PAL_LOGUTIL_H

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace PAL {

// Severity numbers; lower is more severe.
enum LogSeverity : std::uint32_t { LOG_FATAL = 0, LOG_ERROR = 1, LOG_WARN = 2, LOG_INFO = 3 };

// Component numbers written in every record; 12 stands for anything unknown.
enum TraceComponent : std::int32_t {
    TC_PAL = 0,
    TC_ASSERT = 1,
    TC_BLOCK_SERVICES = 2,
    TC_DEVICE_CONFIGURATION = 3,
    TC_FC_TARGET_PORT = 4,
    TC_FC_INITIATOR_PORT = 5,
    TC_MULTIPLE_COMPUTER_SYSTEM = 6,
    TC_PHYSICAL_PACKAGE = 7,
    TC_SERVER = 8,
    TC_MASKING_MAPPING = 9,
    TC_SLP = 10,
    TC_COPY_SERVICES = 11,
    TC_BAD_COMP = 12
};

// Trace-mask bits.
enum TraceMaskBits : std::uint32_t {
    TRACE_ENTRY_EXIT = 0x1,
    TRACE_DEBUG = 0x2,
    TRACE_FINE = 0x4,
    TRACE_PERF = 0x8,
    TRACE_ALL = 0xFFFFFFFFu
};

// Text of a severity number ("INFO" above 3) and of a component number ("BAD_COMP" outside 0..12).
const char* severityText(std::uint32_t severity);
const char* componentText(std::int32_t component);

// Writes a severity record to the main log when `severity` <= the level.
void logMessage(std::int32_t component, std::uint32_t severity, const std::string& message);
// Writes a trace record when `maskBits` meets the mask and the component is enabled.
void traceMessage(std::int32_t component, std::uint32_t maskBits, const std::string& message);
// Appends one record line to `fileName` in the log directory (through the files in force,
// LogFileApi.h), rotating it past `maxSizeKiB`. Control bytes in the texts are written escaped
// (\n, \r, \t, \xNN), so a record is one line. Null texts are written as "NO_COMP" /
// "NO_SEV"; a null or empty file name drops the record.
void writeLogRecord(const char* fileName, std::uint32_t maxSizeKiB, const char* componentText,
                    const char* severityText, const std::string& message);

// True when logMessage would write a record of this severity. Lets hot paths skip composing
// a message nobody will see; it answers exactly what logMessage's filters decide.
bool isLogActive(std::uint32_t severity);
// True when traceMessage would write a record with these bits for this component.
bool isTraceActive(std::int32_t component, std::uint32_t maskBits);

// Settings. Setters store the value unchanged (file names are copied).
void setLogDirectory(const std::string& directory);
std::string getLogDirectory();
void setLogFileName(const std::string& fileName);
std::string getLogFileName();
void setTraceFileName(const std::string& fileName);
std::string getTraceFileName();
void setLogLevel(std::uint32_t level);
std::uint32_t getLogLevel();
void setTraceMaskBits(std::uint32_t mask);
std::uint32_t getTraceMaskBits();
void addTraceMaskBits(std::uint32_t bits);
void removeTraceMaskBits(std::uint32_t bits);
void setLogMaxSize(std::uint32_t kib);
std::uint32_t getLogMaxSize();
void setTraceMaxSize(std::uint32_t kib);
std::uint32_t getTraceMaxSize();
void enableTraceComponent(std::int32_t component);
void disableTraceComponent(std::int32_t component);
void clearTraceComponents();
std::set<std::int32_t> getEnabledTraceComponents();

// Handler of the verbose option: the first use names "hkprune.log" for both logs, every later
// use enables all components and all mask bits.
void onVerbose();

namespace LogUtils {
// Component number of `name` (0..11), or 12 after an error record; throws InvalidArgument
// instead of returning 12 when `raise` is set.
std::int32_t getTraceComponent(const std::string& name, bool raise);
// Component numbers of `names`; the word "all" adds 0..11 and ends the scan.
std::set<std::int32_t> getTraceComponents(const std::vector<std::string>& names, bool raise);
// Mask built from `names` ("entryexit", "debug", "fine", "perf", "normal", "all", "off").
std::uint32_t getTraceMask(const std::vector<std::string>& names, bool raise);
} // namespace LogUtils

namespace detail {
std::string locationPrefix(const char* file, const char* function, int line);
// The directory as stored, without working out an undecided (empty) one.
std::string storedLogDirectory();
} // namespace detail

} // namespace PAL

// "path:function:line " for trace records that mark a place in the code; `function` is the
// qualified name as it should appear (PAL::File::remove), since __func__ is unqualified.
#define PAL_LOCATION(function) ::PAL::detail::locationPrefix(__FILE__, function, __LINE__)

#endif // PAL_LOGUTIL_H
