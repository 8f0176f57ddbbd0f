#include "support/ParserHarness.h"

#include "PAL/LogUtil.h"
#include "support/ExitTrap.h"
#include "support/ScopedLogSettings.h"
#include "support/StdoutCapture.h"
#include "support/TempDir.h"

#include <sstream>

namespace hktest {

const char* const AppUsage =
    "usage: hkprune -scldv [-s|--defaultkey] [-c|--currentkey] [-l|--list]\n"
    "               [-d|--delete] [-v|--verbose] [-p|--port <port>]\n"
    "               [-t|--ktyp <type>] <hostname>\n"
    "    [-s|--defaultkey]   - Use the default user key values\n"
    "    [-c|--currentkey]   - Use the current user key values\n"
    "    [-l|--list]         - List the existing values\n"
    "    [-d|--delete]       - Delete a value\n"
    "    [-p|--port <port>]  - The key port\n"
    "    [-t|--ktyp <type>]  - The key type\n"
    "    [-v|--verbose]      - Turn on verbose logging (repeat for more detailed logging)\n"
    "    <hostname>          - The key host name\n";

void recordOption(void* owner, const PAL::CLIOption& option, const char* argument) {
    auto* self = static_cast<AppCommandLine*>(owner);
    std::string call(1, option.letter);
    if (argument != nullptr) {
        call += ':';
        call += argument;
    }
    self->calls.push_back(call);
    self->owners.push_back(owner);
    self->records.push_back(&option);
}

void recordParameter(void* owner, const PAL::CLIParameter& parameter, const char* text) {
    auto* self = static_cast<AppCommandLine*>(owner);
    self->calls.push_back(parameter.usageText + ":" + text);
    self->owners.push_back(owner);
}

namespace {
std::vector<std::string> joinProgram(const std::string& program,
                                     const std::vector<std::string>& elements) {
    std::vector<std::string> all{program};
    all.insert(all.end(), elements.begin(), elements.end());
    return all;
}
std::vector<const char*> pointers(const std::vector<std::string>& strings) {
    std::vector<const char*> result;
    for (const std::string& s : strings) {
        result.push_back(s.c_str());
    }
    return result;
}
} // namespace

AppCommandLine::AppCommandLine(const std::vector<std::string>& elements, const std::string& program)
    : storage(joinProgram(program, elements)), argv(pointers(storage)),
      defaultKey('s', "defaultkey", recordOption, "Use the default user key values", nullptr),
      currentKey('c', "currentkey", recordOption, "Use the current user key values", nullptr),
      list('l', "list", recordOption, "List the existing values", nullptr),
      del('d', "delete", recordOption, "Delete a value", nullptr),
      port('p', "port", recordOption, "The key port", "port"),
      keyType('t', "ktyp", recordOption, "The key type", "type"),
      verbose('v', "verbose", recordOption,
              "Turn on verbose logging (repeat for more detailed logging)", nullptr),
      hostName("hostname", recordParameter, "The key host name"),
      theParser(static_cast<int>(argv.size()), argv.data(), nullptr) {
    theParser.setOwner(this);
    for (const PAL::CLIOption* option :
         {&defaultKey, &currentKey, &list, &del, &port, &keyType, &verbose}) {
        theParser.addOption(*option);
    }
    theParser.addParameter(hostName);
}

ParseOutcome runParse(PAL::CLIOptionParser& parser) {
    return runTrapped([&parser] { parser.parseOptions(); });
}

ParseOutcome runTrapped(const std::function<void()>& action) {
    ParseOutcome outcome;
    TempDir logs;
    {
        ScopedLogSettings settings;
        PAL::setLogDirectory(logs.path().string());
        PAL::setLogFileName("parse.log");
        PAL::setTraceFileName("");
        PAL::setLogLevel(PAL::LOG_INFO);
        StdoutCapture out;
        ExitTrap trap;
        try {
            action();
        } catch (const ExitCalled& e) {
            outcome.exitStatus = e.status;
        }
        outcome.output = out.text();
    }
    outcome.errorRecords = recordMessages(readFile(logs.file("parse.log")), "ERROR");
    return outcome;
}

std::vector<std::string> recordMessages(const std::string& logText, const std::string& severity) {
    std::vector<std::string> messages;
    const std::string marker = "  " + severity + " PAL ";
    std::istringstream lines(logText);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back(); // text-mode files on Windows
        }
        const std::size_t at = line.find(marker);
        if (at != std::string::npos) {
            messages.push_back(line.substr(at + marker.size()));
        }
    }
    return messages;
}

bool isLocationPrefix(const std::string& prefix, const std::string& place) {
    if (prefix.compare(0, place.size(), place) != 0 || prefix.size() < place.size() + 2 ||
        prefix.back() != ' ') {
        return false;
    }
    for (std::size_t i = place.size(); i + 1 < prefix.size(); ++i) {
        if (prefix[i] < '0' || prefix[i] > '9') {
            return false;
        }
    }
    return true;
}

} // namespace hktest
