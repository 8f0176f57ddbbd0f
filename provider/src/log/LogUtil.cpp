#include "PAL/LogUtil.h"

#include "PAL/Escape.h"
#include "PAL/Exception.h"
#include "PAL/LogFileApi.h"
#include "platform/Platform.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>

namespace PAL {
namespace {

// Longest directory, path and backup path the module writes to. Longer ones are refused
// (reported like any other open or move failure), never cut short: a shortened path would
// write somewhere the caller did not ask for.
constexpr std::size_t MaxPathLength = 255;

const char* const SeverityTexts[] = {"FATAL", "ERROR", "WARN", "INFO", "TRACE"};
constexpr std::uint32_t TraceSeverityIndex = 4;

const char* const ComponentTexts[] = {"PAL",
                                      "Assert",
                                      "BlockServices",
                                      "DeviceConfiguration",
                                      "FCTargetPort",
                                      "FCInitiatorPort",
                                      "MultipleComputerSystem",
                                      "PhysicalPackage",
                                      "Server",
                                      "MaskingMapping",
                                      "SLP",
                                      "CopyServices",
                                      "BAD_COMP"};
constexpr std::int32_t NamedComponents = 12; // 0..11; 12 is BAD_COMP

struct MaskWord {
    const char* name;
    bool replaces;
    std::uint32_t bits;
};
const MaskWord MaskWords[] = {
    {"entryexit", false, TRACE_ENTRY_EXIT},
    {"debug", false, TRACE_DEBUG},
    {"fine", false, TRACE_FINE},
    {"perf", false, TRACE_PERF},
    {"normal", false, TRACE_ENTRY_EXIT}, // the same bit as entryexit
    {"all", true, TRACE_ALL},
    {"off", true, 0},
};

// Where the word parsers report their errors from. These texts are part of the messages users
// and scripts see, so they stay the same whatever this file's own path and line numbers become.
const char* const TraceComponentThrowSite =
    "LogUtils::getTraceComponent():provider/include/PAL/LogUtil:131";
const char* const TraceMaskThrowSite = "LogUtils::getTraceMask():provider/include/PAL/LogUtil:237";

struct Settings {
    std::string directory;
    std::string logFileName = "provider.log";
    std::string traceFileName = "providerTrace.log";
    std::uint32_t level = LOG_INFO;
    std::uint32_t traceMask = TRACE_FINE;
    std::uint32_t logMaxKiB = 10240;
    std::uint32_t traceMaxKiB = 10240;
    std::set<std::int32_t> components;
};

Settings& settings() {
    static Settings s;
    return s;
}

void reportToStderr(const std::string& line) {
    std::cerr << line << '\n';
    std::cerr.flush();
}

LogFileApi* replacementFiles = nullptr;

// A log file held open for one record, closed once.
class LogFile {
public:
    explicit LogFile(LogFileApi& files) : api(files) {}
    ~LogFile() { close(); }
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    bool open(const std::string& path) {
        close();
        handle = api.open(path, &bytes);
        return handle != LogFileApi::NotOpen;
    }
    void close() {
        if (handle != LogFileApi::NotOpen) {
            api.close(handle);
            handle = LogFileApi::NotOpen;
        }
    }
    // Size in bytes of the held file when it was opened.
    std::uint64_t size() const { return bytes; }
    bool isAt(const std::string& path) const { return api.isAt(handle, path); }
    void append(const std::string& text) { api.append(handle, text); }

private:
    LogFileApi& api;
    LogFileApi::Handle handle = LogFileApi::NotOpen;
    std::uint64_t bytes = 0;
};

// The rename replaces an older backup at once: removing it first would let two writers
// rotating together lose the older history.
void rotate(LogFileApi& files, const std::string& path) {
    const std::string backup = path + ".bak";
    if (backup.size() > MaxPathLength || !files.replace(path, backup)) {
        reportToStderr("Unable to move log file from " + path + " to " + backup);
    }
}

// Holds the log at `path`, moved to its backup first when it has grown past the limit. False,
// reported on standard error, when there is no file to write the record to.
bool openLog(LogFile& file, LogFileApi& files, const std::string& path, std::uint32_t maxSizeKiB) {
    // The directory is part of the path, so one length check covers both limits.
    if (path.size() <= MaxPathLength && file.open(path)) {
        if (file.size() / 1024 <= maxSizeKiB) {
            return true;
        }
        // Another writer may have rotated the file since it was opened: the file now at the
        // path is then a new one, and moving it would replace the history just moved.
        const bool held = file.isAt(path);
        file.close();
        if (held) {
            rotate(files, path);
        }
        if (file.open(path)) {
            return true;
        }
    }
    reportToStderr("Unable to open log file " + path);
    return false;
}

// The number as passed, before clamping: 13 is not "BAD_COMP" here.
bool componentPasses(std::int32_t component) {
    const auto& enabled = settings().components;
    return enabled.empty() || enabled.count(component) != 0;
}

} // namespace

const char* severityText(std::uint32_t severity) {
    return SeverityTexts[severity > LOG_INFO ? LOG_INFO : severity];
}

const char* componentText(std::int32_t component) {
    return ComponentTexts[(component < 0 || component > TC_BAD_COMP) ? TC_BAD_COMP : component];
}

bool isLogActive(std::uint32_t severity) {
    return settings().level >= severity && !settings().logFileName.empty();
}

bool isTraceActive(std::int32_t component, std::uint32_t maskBits) {
    return (settings().traceMask & maskBits) != 0 && componentPasses(component) &&
           !settings().traceFileName.empty();
}

// The writers apply the same filters as the queries above, so that a caller that skips
// composing a message when a query says no never loses a record.
void logMessage(std::int32_t component, std::uint32_t severity, const std::string& message) {
    if (!isLogActive(severity)) {
        return;
    }
    const Settings& s = settings();
    writeLogRecord(s.logFileName.c_str(), s.logMaxKiB, componentText(component),
                   severityText(severity), message);
}

void traceMessage(std::int32_t component, std::uint32_t maskBits, const std::string& message) {
    if (!isTraceActive(component, maskBits)) {
        return;
    }
    const Settings& s = settings();
    writeLogRecord(s.traceFileName.c_str(), s.traceMaxKiB, componentText(component),
                   SeverityTexts[TraceSeverityIndex], message);
}

void writeLogRecord(const char* fileName, std::uint32_t maxSizeKiB, const char* component,
                    const char* severity, const std::string& message) {
    if (fileName == nullptr || *fileName == '\0') {
        return;
    }
    LogFileApi& files = logFileApi();
    LogFile file(files);
    if (!openLog(file, files, getLogDirectory() + fileName, maxSizeKiB)) {
        return;
    }

    std::tm when{};
    platform::localTime(std::time(nullptr), when);
    char stamp[80];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d %#lx  ", when.tm_year + 1900,
                  when.tm_mon + 1, when.tm_mday, when.tm_hour, when.tm_min, when.tm_sec,
                  platform::currentThreadId());
    // Built as a string and written at once: the texts come from callers and may be of any
    // length.
    std::string line = stamp;
    appendEscaped(line, severity ? severity : "NO_SEV");
    line += ' ';
    appendEscaped(line, component ? component : "NO_COMP");
    line += ' ';
    appendEscaped(line, message);
    line += '\n';
    file.append(line);
}

LogFileApi& logFileApi() {
    return replacementFiles ? *replacementFiles : platformLogFileApi();
}

LogFileApi* setLogFileApi(LogFileApi* api) {
    LogFileApi* previous = replacementFiles;
    replacementFiles = api;
    return previous;
}

void setLogDirectory(const std::string& directory) {
    std::string& stored = settings().directory;
    stored = directory;
    if (!stored.empty() && stored.back() != '/') {
        stored += '/';
    }
}

std::string getLogDirectory() {
    std::string& stored = settings().directory;
    if (stored.empty()) {
        if (const char* home = std::getenv("PEGASUS_HOME")) {
            stored += home;
            stored += '/';
        }
        stored += "log/";
    }
    return stored;
}

void setLogFileName(const std::string& fileName) {
    settings().logFileName = fileName;
}
std::string getLogFileName() {
    return settings().logFileName;
}
void setTraceFileName(const std::string& fileName) {
    settings().traceFileName = fileName;
}
std::string getTraceFileName() {
    return settings().traceFileName;
}
void setLogLevel(std::uint32_t level) {
    settings().level = level;
}
std::uint32_t getLogLevel() {
    return settings().level;
}
void setTraceMaskBits(std::uint32_t mask) {
    settings().traceMask = mask;
}
std::uint32_t getTraceMaskBits() {
    return settings().traceMask;
}
void addTraceMaskBits(std::uint32_t bits) {
    settings().traceMask |= bits;
}
void removeTraceMaskBits(std::uint32_t bits) {
    settings().traceMask &= ~bits;
}
void setLogMaxSize(std::uint32_t kib) {
    settings().logMaxKiB = kib;
}
std::uint32_t getLogMaxSize() {
    return settings().logMaxKiB;
}
void setTraceMaxSize(std::uint32_t kib) {
    settings().traceMaxKiB = kib;
}
std::uint32_t getTraceMaxSize() {
    return settings().traceMaxKiB;
}
void enableTraceComponent(std::int32_t component) {
    settings().components.insert(component);
}
void disableTraceComponent(std::int32_t component) {
    settings().components.erase(component);
}
void clearTraceComponents() {
    settings().components.clear();
}
std::set<std::int32_t> getEnabledTraceComponents() {
    return settings().components;
}

void onVerbose() {
    // A non-empty main log name is the only sign that logging is already on.
    if (getLogFileName().empty()) {
        setLogFileName("hkprune.log");
        setTraceFileName("hkprune.log");
        return;
    }
    setLogLevel(LOG_INFO);
    const std::vector<std::string> all{"all"};
    for (std::int32_t component : LogUtils::getTraceComponents(all, false)) {
        enableTraceComponent(component);
    }
    setTraceMaskBits(LogUtils::getTraceMask(all, false));
}

namespace LogUtils {

std::int32_t getTraceComponent(const std::string& name, bool raise) {
    for (std::int32_t c = 0; c < NamedComponents; ++c) {
        if (name == ComponentTexts[c]) {
            return c;
        }
    }
    const std::string message = "Invalid trace component string: " + name;
    logMessage(TC_PAL, LOG_ERROR, message);
    if (raise) {
        throw InvalidArgument(message, 0, TraceComponentThrowSite);
    }
    return TC_BAD_COMP;
}

std::set<std::int32_t> getTraceComponents(const std::vector<std::string>& names, bool raise) {
    std::set<std::int32_t> result;
    for (const std::string& name : names) {
        if (name == "all") {
            for (std::int32_t c = 0; c < NamedComponents; ++c) {
                result.insert(c);
            }
            return result;
        }
        result.insert(getTraceComponent(name, raise));
    }
    return result;
}

std::uint32_t getTraceMask(const std::vector<std::string>& names, bool raise) {
    std::uint32_t mask = 0;
    for (const std::string& name : names) {
        const MaskWord* word = nullptr;
        for (const MaskWord& w : MaskWords) {
            if (name == w.name) {
                word = &w;
                break;
            }
        }
        if (word == nullptr) {
            logMessage(TC_PAL, LOG_ERROR, "Invalid mask string: " + name);
            if (raise) {
                throw InvalidArgument("Invalid log mask string: " + name, 0, TraceMaskThrowSite);
            }
            continue;
        }
        mask = word->replaces ? word->bits : (mask | word->bits);
    }
    return mask;
}

} // namespace LogUtils

namespace detail {

std::string locationPrefix(const char* file, const char* function, int line) {
    std::string prefix = file;
    prefix += ':';
    prefix += function;
    prefix += ':';
    prefix += std::to_string(line);
    prefix += ' ';
    return prefix;
}

std::string storedLogDirectory() {
    return settings().directory;
}

} // namespace detail
} // namespace PAL
