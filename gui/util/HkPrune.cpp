#include "HkPrune.h"

#include "PAL/Exception.h"
#include "PAL/LogUtil.h"
#include "PAL/Process.h"
#include "PAL/PuttyCache.h"
#include "PAL/Status.h"

#include <cstddef>
#include <iostream>
#include <new>
#include <sstream>
#include <string>
#include <vector>

namespace {

// What of the result report is out: an out-of-memory failure completes it, wherever it struck.
struct ReportState {
    bool head = false;
    bool ended = false;
};
ReportState report;

// Lines are not flushed here: standard output goes out in blocks, and every way the process
// ends flushes it (PAL::exitProcess, hkpruneMain's return and its handlers).
void printLine(const char* text, std::size_t size) {
    std::cout.write(text, static_cast<std::streamsize>(size));
    std::cout.put('\n');
}

void printLine(const std::string& line) {
    printLine(line.data(), line.size());
}

// Literals go out without a string: the out-of-memory report prints them too.
template <std::size_t N>
void printLine(const char (&text)[N]) {
    printLine(text, N - 1);
}

void printResultHead() {
    printLine("");
    printLine("RESULT:");
    report.head = true;
}

void printNotFound() {
    printLine("No Registry Values Found.");
    report.ended = true;
}

// The log message of a run that ran out of memory, made before the run so that reporting it
// needs no memory.
const std::string& outOfMemoryMessage() {
    static const std::string message =
        "Error code <" + std::to_string(PAL::StatusCodes::NotEnoughMemory) + "> out of memory";
    return message;
}

// Ends a run that ran out of memory like any other failure: the not-found report, the record,
// status -1.
[[noreturn]] void endOutOfMemory() {
    if (!report.head) {
        printResultHead();
    }
    if (!report.ended) {
        printNotFound();
    }
    try {
        PAL::logMessage(PAL::TC_PAL, PAL::LOG_ERROR, outOfMemoryMessage());
    } catch (const std::bad_alloc&) {
        // The record is lost; the report and the status are not.
    }
    PAL::exitProcess(-1);
}

HkPrune& self(void* owner) {
    return *static_cast<HkPrune*>(owner);
}

} // namespace

HkPrune::HkPrune(int argc, const char* const* argv)
    : parser(argc, argv, nullptr), cache(PAL::defaultUserCache()), action(None),
      defaultKeyOption('s', "defaultkey", &HkPrune::onDefaultKey, "Use the default user key values",
                       nullptr),
      currentKeyOption('c', "currentkey", &HkPrune::onCurrentKey, "Use the current user key values",
                       nullptr),
      listOption('l', "list", &HkPrune::onAction, "List the existing values", nullptr),
      deleteOption('d', "delete", &HkPrune::onAction, "Delete a value", nullptr),
      keyTypeOption('t', "ktyp", &HkPrune::onKeyType, "The key type", "type"),
      verboseOption('v', "verbose", &HkPrune::onVerbose,
                    "Turn on verbose logging (repeat for more detailed logging)", nullptr),
      portOption('p', "port", &HkPrune::onPort, "The key port", "port"),
      hostNameParameter("hostname", &HkPrune::onHostName, "The key host name") {
    parser.setOwner(this);
    // This order, not the members', is the order of the usage text.
    parser.addOption(defaultKeyOption);
    parser.addOption(currentKeyOption);
    parser.addOption(listOption);
    parser.addOption(deleteOption);
    parser.addOption(portOption);
    parser.addOption(keyTypeOption);
    parser.addOption(verboseOption);
    parser.addParameter(hostNameParameter);
}

HkPrune::~HkPrune() = default;

void HkPrune::onDefaultKey(void* owner, const PAL::CLIOption&, const char*) {
    self(owner).cache = PAL::defaultUserCache();
}

void HkPrune::onCurrentKey(void* owner, const PAL::CLIOption&, const char*) {
    self(owner).cache = PAL::currentUserCache();
}

void HkPrune::onAction(void* owner, const PAL::CLIOption& option, const char*) {
    HkPrune& app = self(owner);
    if (app.action != None) {
        // Reported, not fatal: the later option decides.
        app.parser.printUsage("More than one action specified");
    }
    if (option.letter == 'd') {
        app.action = Delete;
    } else if (option.letter == 'l') {
        app.action = List;
    }
}

void HkPrune::onKeyType(void* owner, const PAL::CLIOption&, const char* argument) {
    self(owner).keyType = argument;
}

void HkPrune::onPort(void* owner, const PAL::CLIOption&, const char* argument) {
    self(owner).port = argument;
}

void HkPrune::onVerbose(void*, const PAL::CLIOption&, const char*) {
    PAL::onVerbose();
}

void HkPrune::onHostName(void* owner, const PAL::CLIParameter&, const char* text) {
    self(owner).hostName = text;
}

void HkPrune::run() {
    parser.parseOptions();

    try {
        // Opened before the action is looked at: a cache that cannot be opened is reported
        // as such even when no action was given.
        PAL::RegistryKey key(cache);

        FingerprintName requested;
        requested.setPort(port);
        requested.setHostName(hostName);
        requested.setKeyType(keyType);

        switch (action) {
        case List:
            listValues(key, requested);
            break;
        case Delete:
            deleteValue(key, requested);
            break;
        case None:
            parser.printUsage("No action specified");
            PAL::exitProcess(-1);
        }
    } catch (const PAL::RegistryKeyError& error) {
        printResultHead();
        printNotFound();
        PAL::logMessage(PAL::TC_PAL, PAL::LOG_ERROR, "Error opening key: " + error.getMessage());
        PAL::exitProcess(-1);
    }
}

void HkPrune::listValues(PAL::RegistryKey& key, const FingerprintName& requested) {
    const auto matches = [&requested](const std::string& name) { return requested.matches(name); };
    if (key.isSnapshot()) {
        // One pass cannot be changed under: printed as it goes, with nothing held.
        bool found = false;
        key.forEachValueName([&](const std::string& name) {
            if (!matches(name)) {
                return;
            }
            if (!found) {
                printResultHead();
                printLine("Registry Values Found:");
                found = true;
            }
            printLine(name);
        });
        if (!found) {
            printResultHead();
            printNotFound();
            PAL::exitProcess(-1);
        }
        return;
    }
    // Held until a pass over the key is known to be whole: only the names that match.
    const std::vector<std::string> names = key.getValueNames(matches);
    printResultHead();
    if (names.empty()) {
        printNotFound();
        PAL::exitProcess(-1);
    }
    printLine("Registry Values Found:");
    for (const std::string& name : names) {
        printLine(name);
    }
}

void HkPrune::deleteValue(PAL::RegistryKey& key, const FingerprintName& requested) {
    if (requested.getHostName().empty()) {
        parser.printUsage("No key host name specified");
        PAL::exitProcess(-1);
    }
    if (requested.getPort().empty()) {
        parser.printUsage("No key port specified");
        PAL::exitProcess(-1);
    }
    if (requested.getKeyType().empty()) {
        parser.printUsage("No key type specified");
        PAL::exitProcess(-1);
    }

    printResultHead();
    const std::string valueName = requested.toString();
    // Composed before the value goes: after that nothing may fail for want of memory and turn
    // a deletion into a "not found".
    std::ostringstream success;
    success << PAL_LOCATION("HkPrune::deleteValue")
            << "Successfully deleted fingerprint value name <" << valueName << ">";
    const std::string traced = success.str();
    const PAL::RegistryApi::Status status = key.deleteValue(valueName);
    if (status != PAL::RegistryApi::Success) {
        std::ostringstream message;
        message << "Error code <" << status << "> deleting value <" << valueName << ">\n";
        PAL::logMessage(PAL::TC_PAL, PAL::LOG_ERROR, message.str());
        printNotFound();
        PAL::exitProcess(-1);
    }

    try {
        PAL::traceMessage(PAL::TC_PAL, PAL::TRACE_FINE, traced);
    } catch (const std::bad_alloc&) {
        // The record is lost; the report of the deletion is not.
    }
    printLine("Registry Values Removed:");
    printLine(valueName);
}

int hkpruneMain(int argc, const char* const* argv) {
    PAL::setUpStandardOutput("hkprune");
    report = ReportState();
    outOfMemoryMessage();
    // Nothing is logged unless -v names a file.
    PAL::setLogDirectory(".");
    PAL::setLogFileName("");
    PAL::setTraceFileName("");
    try {
        HkPrune app(argc, argv);
        app.run();
    } catch (const std::bad_alloc&) {
        endOutOfMemory();
    } catch (...) {
        // Not this program's to handle, but what was printed still goes out before it ends.
        PAL::finishStandardOutput(-1);
        throw;
    }
    return PAL::finishStandardOutput(0);
}
