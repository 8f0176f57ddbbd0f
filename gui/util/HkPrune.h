// The application: its command line, the choices recorded from it, and the list and delete
// actions on the chosen host-key cache.
#ifndef HKPRUNE_HKPRUNE_H
#define HKPRUNE_HKPRUNE_H

#include "FingerprintName.h"

#include "PAL/CLIOptionParser.h"
#include "PAL/RegistryKey.h"
#include "PAL/RegistryKeyDescriptor.h"

#include <cstdint>
#include <string>

class HkPrune {
public:
    enum Action : std::int32_t { None = 0, List = 1, Delete = 2 };

    // Registers the seven options and the host-name parameter; the command line is not read yet.
    HkPrune(int argc, const char* const* argv);
    ~HkPrune();
    // The parser keeps pointers to the option members: the object stays where it was built.
    HkPrune(const HkPrune&) = delete;
    HkPrune& operator=(const HkPrune&) = delete;

    // Parses, opens the cache, runs the action. Returns only after a successful action; every
    // failure ends the process with status -1.
    void run();

    // Prints every matching value name; ends the process with -1 when there is none.
    void listValues(PAL::RegistryKey& key, const FingerprintName& requested);
    // Deletes exactly the value named by all three parts; ends the process with -1 when a part
    // is missing or the registry refuses.
    void deleteValue(PAL::RegistryKey& key, const FingerprintName& requested);

private:
    static void onDefaultKey(void* owner, const PAL::CLIOption& option, const char* argument);
    static void onCurrentKey(void* owner, const PAL::CLIOption& option, const char* argument);
    static void onAction(void* owner, const PAL::CLIOption& option, const char* argument);
    static void onKeyType(void* owner, const PAL::CLIOption& option, const char* argument);
    static void onPort(void* owner, const PAL::CLIOption& option, const char* argument);
    static void onVerbose(void* owner, const PAL::CLIOption& option, const char* argument);
    static void onHostName(void* owner, const PAL::CLIParameter& parameter, const char* text);

    PAL::CLIOptionParser parser;
    PAL::RegistryKeyDescriptor cache;
    Action action;
    PAL::CLIOption defaultKeyOption;
    PAL::CLIOption currentKeyOption;
    PAL::CLIOption listOption;
    PAL::CLIOption deleteOption;
    PAL::CLIOption keyTypeOption;
    PAL::CLIOption verboseOption;
    PAL::CLIOption portOption;
    PAL::CLIParameter hostNameParameter;
    std::string hostName;
    std::string keyType;
    std::string port;
};

// The program entry: logging off until -v, one HkPrune, run. Returns 0 after a successful
// action whose report was written, -1 when standard output failed; every other failure, running
// out of memory included, ends the process with status -1 before that.
int hkpruneMain(int argc, const char* const* argv);

#endif // HKPRUNE_HKPRUNE_H
