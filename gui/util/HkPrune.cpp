#include "HkPrune.h"

#include "CacheLocations.h"

#include "PAL/Exception.h"
#include "PAL/LogUtil.h"
#include "PAL/Process.h"

#include <iostream>
#include <sstream>
#include <vector>

namespace {

// Each line is flushed at once: a failure ends the process without unwinding.
void printLine(const std::string& line) {
    std::cout << line << '\n';
    std::cout.flush();
}

void printResultHead() {
    printLine("");
    printLine("RESULT:");
}

HkPrune& self(void* owner) {
    return *static_cast<HkPrune*>(owner);
}

} // namespace

HkPrune::HkPrune(int argc, const char* const* argv)
    : parser(argc, argv, nullptr), cache(defaultUserCache()), action(None),
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
    self(owner).cache = defaultUserCache();
}

void HkPrune::onCurrentKey(void* owner, const PAL::CLIOption&, const char*) {
    self(owner).cache = currentUserCache();
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
        printLine("No Registry Values Found.");
        PAL::logMessage(PAL::TC_PAL, PAL::LOG_ERROR, "Error opening key: " + error.getMessage());
        PAL::exitProcess(-1);
    }
}

void HkPrune::listValues(PAL::RegistryKey& key, const FingerprintName& requested) {
    std::vector<std::string> found;
    for (const std::string& name : key.getValueNames()) {
        if (requested.matches(name)) {
            found.push_back(name);
        }
    }

    printResultHead();
    if (found.empty()) {
        printLine("No Registry Values Found.");
        PAL::exitProcess(-1);
    }
    printLine("Registry Values Found:");
    for (const std::string& name : found) {
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
    const PAL::RegistryApi::Status status = key.deleteValue(valueName);
    if (status != PAL::RegistryApi::Success) {
        std::ostringstream message;
        message << "Error code <" << status << "> deleting value <" << valueName << ">\n";
        PAL::logMessage(PAL::TC_PAL, PAL::LOG_ERROR, message.str());
        printLine("No Registry Values Found.");
        PAL::exitProcess(-1);
    }

    std::ostringstream message;
    message << PAL_LOCATION("HkPrune::deleteValue")
            << "Successfully deleted fingerprint value name <" << valueName << ">";
    PAL::traceMessage(PAL::TC_PAL, PAL::TRACE_FINE, message.str());
    printLine("Registry Values Removed:");
    printLine(valueName);
}

int hkpruneMain(int argc, const char* const* argv) {
    // Nothing is logged unless -v names a file.
    PAL::setLogDirectory(".");
    PAL::setLogFileName("");
    PAL::setTraceFileName("");
    {
        HkPrune app(argc, argv);
        app.run();
    }
    return 0;
}
