// The whole program in-process from fuzzed arguments (the input cut at NUL bytes, one argument
// vector element each) on an in-memory registry seeded with a few values. Built twice: plain,
// which skips inputs that may turn logging on, and with HK_FUZZ_VERBOSE, where -v or -vv comes
// first so that every record is written to hkprune.log with a small rotation size. Log files
// are kept in memory (MemoryLog.h, put in force for the target's life), fresh for every input; the
// first byte of a verbose input also chooses whether every open of them fails.
//
// Checked for every input, besides the sanitizers: the status is 0 (returned) or -1 (through
// the exit seam); a run that fails changes nothing; a run that changes the registry removed
// exactly the one value it reports, and some element asked for a delete.
#include "FuzzSupport.h"
#include "HkPrune.h"
#include "MemoryLog.h"

#include "PAL/LogFileApi.h"
#include "PAL/LogUtil.h"
#include "PAL/Process.h"
#include "support/InMemoryRegistry.h"

#include <cstdint>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

namespace {

using hkfuzz::fail;

struct ExitCalled {
    int status;
};

void throwExit(int status) {
    throw ExitCalled{status};
}

constexpr std::uint32_t Users = 0x80000003u;
constexpr std::uint32_t CurrentUser = 0x80000001u;
const char* const DefaultPath = ".DEFAULT\\Software\\SimonTatham\\PuTTY\\SshHostKeys";
const char* const CurrentPath = "Software\\SimonTatham\\PuTTY\\SshHostKeys";

struct SeedValue {
    std::uint32_t root;
    const char* name;
};
// Names a user meets, and some that only a hostile writer makes.
const SeedValue Seeds[] = {
    {Users, "rsa2@22:host1"},
    {Users, "ssh-ed25519@2222:127.0.0.1"},
    {Users, "rsa2@22:[::1]"},
    {CurrentUser, "rsa2@22:host1"},
    {CurrentUser, "rsa2@022:host1"},
    {CurrentUser, "ecdsa-sha2-nistp256@22:HOST2"},
    {CurrentUser, "ssh-ed25519@2222:a b"},
    {CurrentUser, "rsa2@22:x\"y"},
    {CurrentUser, "rsa2@22:-d"},
    {CurrentUser, "@:h"},
    {CurrentUser, "dss@23:h@x:y"},
};

struct Contents {
    std::vector<std::string> users;
    std::vector<std::string> current;
    bool operator==(const Contents& o) const { return users == o.users && current == o.current; }
    bool operator!=(const Contents& o) const { return !(*this == o); }
};

Contents contentsOf(const hktest::InMemoryRegistry& registry) {
    return {registry.valueNames(Users, DefaultPath), registry.valueNames(CurrentUser, CurrentPath)};
}

bool sameIgnoringCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto fold = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
        if (fold(a[i]) != fold(b[i])) {
            return false;
        }
    }
    return true;
}

// `after` is `before` less one element; that element, or empty when that is not so.
bool lostOne(const std::vector<std::string>& before, const std::vector<std::string>& after,
             std::string& lost) {
    if (after.size() + 1 != before.size()) {
        return false;
    }
    std::size_t i = 0;
    while (i < after.size() && after[i] == before[i]) {
        ++i;
    }
    for (std::size_t j = i; j < after.size(); ++j) {
        if (after[j] != before[j + 1]) {
            return false;
        }
    }
    lost = before[i];
    return true;
}

// Defaults of the settings that -vv changes and hkpruneMain does not reset.
struct LogDefaults {
    std::uint32_t level;
    std::uint32_t mask;
};
LogDefaults logDefaults;

void resetLogSettings() {
    PAL::setLogLevel(logDefaults.level);
    PAL::setTraceMaskBits(logDefaults.mask);
    PAL::clearTraceComponents();
    // 1 KiB: a run with -vv writes several, so rotation happens on most inputs.
    PAL::setLogMaxSize(1);
    PAL::setTraceMaxSize(1);
}

// Only the log and its backup may be made.
[[maybe_unused]] void checkLogFiles() {
    for (const std::string& name : hkfuzz::memorylog::names()) {
        if (name != "./hkprune.log" && name != "./hkprune.log.bak") {
            fail("unexpected log file", name);
        }
    }
}

hkfuzz::StringBuffer output;
hkfuzz::NullBuffer errors;

// Built once and again only after a run that called delete: seeding costs more than a run.
std::unique_ptr<hktest::InMemoryRegistry> registry;
Contents seeded;

void seedRegistry() {
    registry = std::make_unique<hktest::InMemoryRegistry>();
    for (const SeedValue& seed : Seeds) {
        registry->setValue(seed.root, seed.root == Users ? DefaultPath : CurrentPath, seed.name,
                           "0x10001,0x1");
    }
    PAL::setRegistryApi(registry.get());
    seeded = contentsOf(*registry);
}

// With -v every character parsed writes three records of the whole command line, so a verbose
// run costs time squared in its length.
#ifdef HK_FUZZ_VERBOSE
// The log path gains nothing from long command lines: the plain target fuzzes those.
constexpr std::size_t MaxInput = 32;
#else
constexpr std::size_t MaxInput = 1024;
#endif

// An element that may turn logging on. The plain target leaves those runs to the verbose one,
// whose log costs most of a run; one that slips through is only slower.
[[maybe_unused]] bool mayBeVerbose(const std::string& arg) {
    return arg.find('-') != std::string::npos && arg.find_first_of("vV") != std::string::npos;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    PAL::setExitHandler(&throwExit);
    std::cout.rdbuf(&output);
    std::cerr.rdbuf(&errors);
    logDefaults = {PAL::getLogLevel(), PAL::getTraceMaskBits()};
    PAL::setLogFileApi(&hkfuzz::memorylog::files());
    seedRegistry();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > MaxInput) {
        return -1;
    }
    std::vector<std::string> args;
    bool failLogOpens = false;
#ifdef HK_FUZZ_VERBOSE
    if (size == 0) {
        return -1;
    }
    args.push_back((data[0] & 1) ? "-vv" : "-v");
    failLogOpens = (data[0] & 2) != 0;
    ++data;
    --size;
#endif
    if (size > 0) {
        for (std::string& piece : hkfuzz::split(data, size, '\0')) {
#ifndef HK_FUZZ_VERBOSE
            if (mayBeVerbose(piece)) {
                return -1;
            }
#endif
            args.push_back(std::move(piece));
        }
    }
    std::vector<const char*> argv{"hkprune"};
    for (const std::string& arg : args) {
        argv.push_back(arg.c_str());
    }

    const unsigned deletes = registry->calls(hktest::InMemoryRegistry::Op::DeleteValue);
    output.text.clear();

    int status = 0;
    bool returned = true;
    {
        resetLogSettings();
        hkfuzz::memorylog::reset(failLogOpens);
        try {
            status = hkpruneMain(static_cast<int>(argv.size()), argv.data());
        } catch (const ExitCalled& exit) {
            status = exit.status;
            returned = false;
        }
    }
#ifdef HK_FUZZ_VERBOSE
    checkLogFiles();
#endif

    if (returned ? status != 0 : status != -1) {
        fail("exit status " + std::to_string(status), hkfuzz::describe(args));
    }
    if (registry->calls(hktest::InMemoryRegistry::Op::DeleteValue) == deletes) {
        return 0;
    }
    const Contents before = seeded;
    const Contents after = contentsOf(*registry);
    seedRegistry();
    if (after == before) {
        return 0;
    }
    if (!returned) {
        fail("a failed run changed the registry", hkfuzz::describe(args));
    }
    std::string lost;
    const bool one =
        (after.users == before.users && lostOne(before.current, after.current, lost)) ||
        (after.current == before.current && lostOne(before.users, after.users, lost));
    if (!one) {
        fail("the registry lost more than one value", hkfuzz::describe(args));
    }
    const std::string report = "\nRESULT:\nRegistry Values Removed:\n";
    const std::string& out = output.text;
    const std::size_t at = out.rfind(report);
    if (at == std::string::npos || out.back() != '\n' ||
        !sameIgnoringCase(out.substr(at + report.size(), out.size() - at - report.size() - 1),
                          lost)) {
        fail("removed <" + lost + "> but reported otherwise", hkfuzz::describe(args) + "\n" + out);
    }
    // Only an element of its own can ask for a delete: -d, a letter group holding d, --delete.
    bool asked = false;
    for (const std::string& arg : args) {
        asked = asked || (arg.size() > 1 && arg[0] == '-' && arg.find('d') != std::string::npos);
    }
    if (!asked) {
        fail("deleted <" + lost + "> though no element asked for a delete", hkfuzz::describe(args));
    }
    return 0;
}
