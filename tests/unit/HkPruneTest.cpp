// The whole program in-process: argument vector in, standard output, exit status, the cache
// afterwards and hkprune.log out, on the in-memory registry.
#include "HkPrune.h"

#include "PAL/LogUtil.h"

#include "support/ExitTrap.h"
#include "support/InMemoryRegistry.h"
#include "support/LogRecords.h"
#include "support/ParserHarness.h"
#include "support/ScopedEnv.h"
#include "support/ScopedLogSettings.h"
#include "support/StdoutCapture.h"
#include "support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <new>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using hktest::exitedWithMinusOne;
using hktest::InMemoryRegistry;
using testing::ElementsAre;

constexpr std::uint32_t Users = 0x80000003u;
constexpr std::uint32_t CurrentUser = 0x80000001u;
const std::string DefaultPath = ".DEFAULT\\Software\\SimonTatham\\PuTTY\\SshHostKeys";
const std::string CurrentPath = "Software\\SimonTatham\\PuTTY\\SshHostKeys";

// The report for the program name hkprune, with an empty message.
const std::string Usage = hktest::AppUsage;

std::string usageWith(const std::string& message) {
    return "** ERROR: " + message + "\n" + Usage;
}

const std::string NotFound = "\nRESULT:\nNo Registry Values Found.\n";

std::string found(std::initializer_list<std::string> names) {
    std::string text = "\nRESULT:\nRegistry Values Found:\n";
    for (const std::string& name : names) {
        text += name + "\n";
    }
    return text;
}

std::string removed(const std::string& name) {
    return "\nRESULT:\nRegistry Values Removed:\n" + name + "\n";
}

struct Outcome {
    std::string out;
    int status;    // the exit status, or what the entry returned
    bool returned; // true when the entry returned instead of ending the process
};

// A file written in text mode (CRLF line ends on Windows) read back with "\n" line ends.
std::string textModeFile(const std::string& path) {
    const std::string raw = hktest::readFile(path);
    const std::string& newline = hktest::textModeNewline();
    std::string text;
    for (std::size_t pos = 0; pos < raw.size();) {
        if (raw.compare(pos, newline.size(), newline) == 0) {
            text += '\n';
            pos += newline.size();
        } else {
            text += raw[pos++];
        }
    }
    return text;
}

class HkPruneTest : public testing::Test {
protected:
    // hkprune with `args` after the program path, as main would run it.
    Outcome run(const std::vector<std::string>& args) {
        std::vector<const char*> argv{"hkprune"};
        for (const std::string& arg : args) {
            argv.push_back(arg.c_str());
        }
        hktest::StdoutCapture capture;
        hktest::ExitTrap trap;
        Outcome outcome{"", 0, true};
        try {
            outcome.status = hkpruneMain(static_cast<int>(argv.size()), argv.data());
        } catch (const hktest::ExitCalled& exit) {
            outcome.status = exit.status;
            outcome.returned = false;
        }
        outcome.out = capture.text();
        return outcome;
    }

    void seedDefault(std::initializer_list<std::string> names) {
        for (const std::string& name : names) {
            registry.setValue(Users, DefaultPath, name, "0x1,0x2");
        }
    }
    void seedCurrent(std::initializer_list<std::string> names) {
        for (const std::string& name : names) {
            registry.setValue(CurrentUser, CurrentPath, name, "0x1,0x2");
        }
    }
    std::vector<std::string> defaultCache() const {
        return registry.valueNames(Users, DefaultPath);
    }
    std::vector<std::string> currentCache() const {
        return registry.valueNames(CurrentUser, CurrentPath);
    }

    std::string logFile() const { return dir.file("hkprune.log"); }
    bool logExists() const { return std::filesystem::exists(logFile()); }
    // The log with its text-mode line ends (CRLF on Windows) read back as "\n".
    std::string log() const { return textModeFile(logFile()); }

    InMemoryRegistry registry;
    hktest::ScopedRegistryApi api{registry};
    hktest::ScopedLogSettings logSettings;
    hktest::TempDir dir;
    hktest::ScopedCwd cwd{dir.path()};
};

// One record line of the log: time, thread id, severity, component, message.
std::string record(const std::string& severity, const std::string& messageRegex) {
    return "\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d 0x[0-9a-f]+  " + severity + " PAL " +
           messageRegex;
}

bool logHas(const std::string& log, const std::string& lineRegex) {
    return std::regex_search(log, std::regex("(^|\n)" + lineRegex + "\n"));
}

// ---- Program entry and run ----

TEST_F(HkPruneTest, NoArgumentsOnAnOpenableCacheReportsNoAction) {
    seedDefault({"rsa2@22:host1"});
    const Outcome r = run({});
    EXPECT_EQ(usageWith("No action specified"), r.out);
    EXPECT_EQ(-1, r.status);
    EXPECT_FALSE(r.returned);
    EXPECT_FALSE(logExists());
}

TEST_F(HkPruneTest, NoArgumentsAndNoCacheReportsTheFailedOpen) {
    const Outcome r = run({});
    EXPECT_EQ(NotFound, r.out);
    EXPECT_EQ(-1, r.status);
    EXPECT_EQ(0u, registry.openHandles());
    EXPECT_FALSE(logExists());
}

TEST_F(HkPruneTest, FailedOpenIsLoggedWithTheExceptionText) {
    const Outcome r = run({"-v", "-l"});
    EXPECT_EQ(NotFound, r.out);
    EXPECT_EQ(-1, r.status);
    const std::string text = log();
    EXPECT_TRUE(logHas(text, record("ERROR", "Throw exception .*")));
    EXPECT_TRUE(
        logHas(text, record("ERROR", "Error opening key: RegistryKey::getKey\\(\\):\\S+:\\d+ "
                                     ": error opening key<0x80000003 \\(Users\\) : "
                                     "\\.DEFAULT\\\\Software\\\\SimonTatham\\\\PuTTY\\\\"
                                     "SshHostKeys>  : \\(2\\)")))
        << text;
}

TEST_F(HkPruneTest, RefusedOpenCarriesTheRegistryStatus) {
    seedCurrent({"rsa2@22:host1"});
    registry.failOn(InMemoryRegistry::Op::Open, PAL::RegistryApi::AccessDenied);
    const Outcome r = run({"-c", "-l", "-v"});
    EXPECT_EQ(NotFound, r.out);
    EXPECT_EQ(-1, r.status);
    EXPECT_TRUE(logHas(log(), record("ERROR", "Error opening key: .*<0x80000001 \\(Current User\\) "
                                              ": Software\\\\SimonTatham\\\\PuTTY\\\\SshHostKeys>  "
                                              ": \\(5\\)")))
        << log();
}

TEST_F(HkPruneTest, FailedOpenWinsOverMissingAction) {
    registry.failOn(InMemoryRegistry::Op::Open, PAL::RegistryApi::NotFound);
    seedDefault({"rsa2@22:host1"});
    EXPECT_EQ(NotFound, run({"-t", "rsa2"}).out);
}

TEST_F(HkPruneTest, SuccessfulActionReturnsZeroAndClosesTheKeyOnce) {
    seedDefault({"rsa2@22:host1"});
    const Outcome r = run({"-l"});
    EXPECT_EQ(found({"rsa2@22:host1"}), r.out);
    EXPECT_EQ(0, r.status);
    EXPECT_TRUE(r.returned);
    EXPECT_EQ(1u, registry.calls(InMemoryRegistry::Op::Close));
    EXPECT_EQ(0u, registry.openHandles());
    EXPECT_FALSE(logExists());
}

struct OutOfMemoryRow {
    const char* where;
    std::vector<std::string> args;
    InMemoryRegistry::Op op;
    unsigned nth; // the call of op that finds no memory
    std::string out;
};

// Whatever had been printed, the report is completed as a failed open or delete completes it.
TEST_F(HkPruneTest, RunningOutOfMemoryEndsLikeAnyOtherFailure) {
    const OutOfMemoryRow rows[] = {
        {"opening the cache", {"-v", "-l"}, InMemoryRegistry::Op::Open, 1, NotFound},
        {"listing", {"-v", "-l"}, InMemoryRegistry::Op::EnumValue, 2, NotFound},
        {"deleting",
         {"-v", "-d", "-t", "rsa2", "-p", "22", "host1"},
         InMemoryRegistry::Op::DeleteValue,
         1,
         NotFound},
    };
    for (const OutOfMemoryRow& row : rows) {
        SCOPED_TRACE(row.where);
        seedDefault({"rsa2@22:host1", "rsa2@22:host2"});
        std::filesystem::remove(logFile());
        registry.beforeCall(
            row.op, [] { throw std::bad_alloc(); }, row.nth);
        const Outcome r = run(row.args);
        EXPECT_EQ(row.out, r.out);
        EXPECT_EQ(-1, r.status);
        EXPECT_FALSE(r.returned);
        EXPECT_TRUE(logHas(log(), record("ERROR", "Error code <8> out of memory"))) << log();
        EXPECT_EQ(2u, defaultCache().size());
    }
}

bool exitedWithZero(int status) {
    return testing::ExitedWithCode(0)(status);
}

// An abort, as an exception that nothing catches ends the process.
bool aborted(int status) {
    return !exitedWithZero(status) && !exitedWithMinusOne(status);
}

struct ExitPathRow {
    const char* how;
    std::vector<std::string> args;
    std::function<void(InMemoryRegistry&)> arrange;
    bool (*ended)(int status);
    std::string out; // standard output and standard error as one terminal shows them
};

using HkPruneDeathTest = HkPruneTest;

// Real processes, standard output and standard error appended to one file as a terminal shows
// them: whichever way the process ends, every line printed arrives, in the order written.
TEST_F(HkPruneDeathTest, EveryLineArrivesWhicheverWayTheProcessEnds) {
    std::vector<std::string> names;
    std::string many = "\nRESULT:\nRegistry Values Found:\n";
    for (int i = 0; i < 3000; ++i) { // more than one block of output
        names.push_back("ssh-ed25519@22:host" + std::to_string(i) + ".example.org");
        many += names.back() + "\n";
    }
    const auto throwing = [](InMemoryRegistry::Op op, unsigned nth, auto exception) {
        return [=](InMemoryRegistry& r) {
            r.beforeCall(
                op, [=] { throw exception; }, nth);
        };
    };
    const std::vector<std::string> deleteFirst{"-d", "-t", "ssh-ed25519",
                                               "-p", "22", "host0.example.org"};
    const ExitPathRow rows[] = {
        {"return from the entry", {"-l"}, nullptr, exitedWithZero, many},
        {"exit after the report", {"-l", "nohost"}, nullptr, exitedWithMinusOne, NotFound},
        {"exit in the parser", {"-q"}, nullptr, exitedWithMinusOne, Usage},
        {"out of memory", deleteFirst,
         throwing(InMemoryRegistry::Op::DeleteValue, 1, std::bad_alloc()), exitedWithMinusOne,
         NotFound},
        {"an exception nothing catches", deleteFirst,
         throwing(InMemoryRegistry::Op::DeleteValue, 1, std::runtime_error("unexpected")), aborted,
         "\nRESULT:\n"},
        // A log that cannot be opened (a directory in its place) reports on standard error.
        {"standard error in between",
         {"-v", "-d", "-t", "rsa2", "-p", "22", "nohost"},
         [](InMemoryRegistry&) { std::filesystem::create_directory("hkprune.log"); },
         exitedWithMinusOne,
         "\nRESULT:\nUnable to open log file ./hkprune.log\nNo Registry Values Found.\n"},
    };
    // The parent's file: a Windows death test runs this body again in a new process, with a
    // temporary directory of its own but the parent's environment.
    const char* const Inherited = "HK_EXIT_PATH_OUT";
    const char* const given = std::getenv(Inherited);
    const std::string path = given ? given : dir.file("out");
    const hktest::ScopedEnv pass(Inherited, path);
    for (const ExitPathRow& row : rows) {
        SCOPED_TRACE(row.how);
        hktest::writeFile(path, "");
        InMemoryRegistry fresh; // a row's injections stay its own
        hktest::ScopedRegistryApi use(fresh);
        for (const std::string& name : names) {
            fresh.setValue(Users, DefaultPath, name, "0x1,0x2");
        }
        if (row.arrange) {
            row.arrange(fresh);
        }
        std::vector<const char*> argv{"hkprune"};
        for (const std::string& arg : row.args) {
            argv.push_back(arg.c_str());
        }
        EXPECT_EXIT(
            {
                std::freopen(path.c_str(), "a", stdout);
                std::freopen(path.c_str(), "a", stderr);
                try {
                    std::exit(hkpruneMain(static_cast<int>(argv.size()), argv.data()));
                } catch (const std::runtime_error&) {
                    std::abort(); // what escaping main would come to
                }
            },
            row.ended, "");
        std::string out = textModeFile(path);
        // -v logs while parsing: those records cannot be written either, before any report.
        const std::string unwritten = "Unable to open log file ./hkprune.log\n";
        while (out.compare(0, unwritten.size(), unwritten) == 0) {
            out.erase(0, unwritten.size());
        }
        EXPECT_EQ(row.out, out);
    }
}

// ---- Options and callbacks ----

TEST_F(HkPruneTest, ListThenDeleteReportsOnceAndDeletes) {
    seedDefault({"rsa2@22:host1", "rsa2@22:host2"});
    const Outcome r = run({"-l", "-d", "-t", "rsa2", "-p", "22", "host1"});
    EXPECT_EQ(usageWith("More than one action specified") + removed("rsa2@22:host1"), r.out);
    EXPECT_EQ(0, r.status);
    EXPECT_THAT(defaultCache(), ElementsAre("rsa2@22:host2"));
}

TEST_F(HkPruneTest, DeleteThenListLists) {
    seedDefault({"rsa2@22:host1", "rsa2@22:host2"});
    const Outcome r = run({"-d", "-l", "-t", "rsa2", "-p", "22", "host1"});
    EXPECT_EQ(usageWith("More than one action specified") + found({"rsa2@22:host1"}), r.out);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(2u, defaultCache().size());
}

TEST_F(HkPruneTest, EveryFurtherActionOptionIsReported) {
    seedDefault({"rsa2@22:host1"});
    const Outcome r = run({"-lll"});
    EXPECT_EQ(usageWith("More than one action specified") +
                  usageWith("More than one action specified") + found({"rsa2@22:host1"}),
              r.out);
}

TEST_F(HkPruneTest, CacheChoiceLastOneWins) {
    seedDefault({"rsa2@22:default-host"});
    seedCurrent({"rsa2@22:current-host"});
    EXPECT_EQ(found({"rsa2@22:default-host"}), run({"-l"}).out);
    EXPECT_EQ(found({"rsa2@22:current-host"}), run({"-c", "-l"}).out);
    EXPECT_EQ(found({"rsa2@22:current-host"}), run({"-s", "-c", "-l"}).out);
    EXPECT_EQ(found({"rsa2@22:default-host"}), run({"-c", "-s", "-l"}).out);
    EXPECT_EQ(found({"rsa2@22:current-host"}), run({"--defaultkey", "--currentkey", "--list"}).out);
}

TEST_F(HkPruneTest, LaterKeyTypeOverridesEarlier) {
    seedDefault({"a@22:h", "b@22:h"});
    const Outcome r = run({"-d", "-t", "a", "-t", "b", "-p", "22", "h"});
    EXPECT_EQ(removed("b@22:h"), r.out);
    EXPECT_THAT(defaultCache(), ElementsAre("a@22:h"));
}

TEST_F(HkPruneTest, WordAndGroupedFormsReachTheSameCallbacks) {
    const std::vector<std::vector<std::string>> forms = {
        {"-c", "-d", "-t", "rsa2", "-p", "22", "host1"},
        {"--currentkey", "--delete", "--ktyp", "rsa2", "--port", "22", "host1"},
        {"-cd", "-trsa2", "-p22", "host1"},
    };
    for (const auto& args : forms) {
        SCOPED_TRACE(testing::PrintToString(args));
        seedCurrent({"rsa2@22:host1", "rsa2@22:host2"});
        const Outcome r = run(args);
        EXPECT_EQ(removed("rsa2@22:host1"), r.out);
        EXPECT_EQ(0, r.status);
        EXPECT_THAT(currentCache(), ElementsAre("rsa2@22:host2"));
    }
}

TEST_F(HkPruneTest, TypeIsNotAnOptionOfThisProgram) {
    seedDefault({"rsa@22:host1"});
    const Outcome r = run({"-d", "--type", "rsa", "-p", "22", "host1"});
    EXPECT_EQ(Usage, r.out);
    EXPECT_EQ(-1, r.status);
    EXPECT_THAT(defaultCache(), ElementsAre("rsa@22:host1"));
}

// ---- List ----

class ListTest : public HkPruneTest {
protected:
    void SetUp() override { seedDefault({"rsa@22:host1", "dsa@22:host1", "rsa@2222:host2"}); }
};

TEST_F(ListTest, NothingRequestedListsAllInEnumerationOrder) {
    const Outcome r = run({"-l"});
    EXPECT_EQ(found({"rsa@22:host1", "dsa@22:host1", "rsa@2222:host2"}), r.out);
    EXPECT_EQ(0, r.status);
    EXPECT_TRUE(r.returned);
}

TEST_F(ListTest, KeyTypeFilter) {
    EXPECT_EQ(found({"rsa@22:host1", "rsa@2222:host2"}), run({"-l", "-t", "rsa"}).out);
}

TEST_F(ListTest, HostAndPortFilter) {
    EXPECT_EQ(found({"rsa@22:host1", "dsa@22:host1"}), run({"-l", "-p", "22", "host1"}).out);
}

TEST_F(ListTest, NoMatchIsAFailure) {
    const Outcome r = run({"-l", "-p", "2222", "host1"});
    EXPECT_EQ(NotFound, r.out);
    EXPECT_EQ(-1, r.status);
    EXPECT_FALSE(r.returned);
    EXPECT_EQ(3u, defaultCache().size());
}

TEST_F(ListTest, FiltersAreCaseSensitiveAndPortsAreText) {
    EXPECT_EQ(NotFound, run({"-l", "-t", "RSA"}).out);
    EXPECT_EQ(NotFound, run({"-l", "HOST1"}).out);
    EXPECT_EQ(NotFound, run({"-l", "-p", "022"}).out);
}

TEST_F(HkPruneTest, OtherValuesUnderTheKeyAreNeverListed) {
    seedDefault({"host1", "rsa@22:host1", "rsa@22:", "rsa@22"});
    EXPECT_EQ(found({"rsa@22:host1"}), run({"-l"}).out);
}

TEST_F(HkPruneTest, CacheWithoutWellFormedNamesIsNotFound) {
    seedDefault({"host1"});
    const Outcome r = run({"-l"});
    EXPECT_EQ(NotFound, r.out);
    EXPECT_EQ(-1, r.status);
}

TEST_F(HkPruneTest, EmptyCacheIsNotFound) {
    registry.addKey(Users, DefaultPath);
    const Outcome r = run({"-l"});
    EXPECT_EQ(NotFound, r.out);
    EXPECT_EQ(-1, r.status);
}

TEST_F(HkPruneTest, NamesArePrintedByteForByte) {
    seedDefault({"RSA2@22:Host1 ", "rsa2@22:h\xC3\xB4st", "rsa2@22:h\xE9st\xFF"});
    EXPECT_EQ(found({"RSA2@22:Host1 ", "rsa2@22:h\xC3\xB4st", "rsa2@22:h\xE9st\xFF"}),
              run({"-l"}).out);
}

TEST_F(HkPruneTest, UnqueryableKeyIsNotFound) {
    seedDefault({"rsa@22:host1"});
    registry.failOn(InMemoryRegistry::Op::QueryInfo, PAL::RegistryApi::InvalidHandle, 1, 100);
    const Outcome r = run({"-l"});
    EXPECT_EQ(NotFound, r.out);
    EXPECT_EQ(-1, r.status);
}

// ---- Delete ----

class DeleteTest : public HkPruneTest {
protected:
    void SetUp() override { seedDefault({"rsa@22:host1", "rsa@2222:host1", "dsa@22:host1"}); }
};

TEST_F(DeleteTest, RemovesExactlyTheNamedValue) {
    const Outcome r = run({"-d", "-t", "rsa", "-p", "22", "host1"});
    EXPECT_EQ(removed("rsa@22:host1"), r.out);
    EXPECT_EQ(0, r.status);
    EXPECT_TRUE(r.returned);
    EXPECT_THAT(defaultCache(), ElementsAre("rsa@2222:host1", "dsa@22:host1"));
    EXPECT_EQ(0u, registry.openHandles());
    EXPECT_FALSE(logExists());
}

struct MissingPartRow {
    std::vector<std::string> args;
    const char* message;
};

TEST_F(DeleteTest, MissingPartsAreReportedInOrderHostPortType) {
    const MissingPartRow rows[] = {
        {{"-d"}, "No key host name specified"},              // all three missing
        {{"-d", "-t", "rsa"}, "No key host name specified"}, // host first
        {{"-d", "-t", "rsa", "-p", "22"}, "No key host name specified"},
        {{"-d", "host1"}, "No key port specified"}, // then port
        {{"-d", "-t", "rsa", "host1"}, "No key port specified"},
        {{"-d", "-p", "22", "host1"}, "No key type specified"}, // then key type
    };
    for (const MissingPartRow& row : rows) {
        SCOPED_TRACE(row.message);
        const Outcome r = run(row.args);
        EXPECT_EQ(usageWith(row.message), r.out);
        EXPECT_EQ(-1, r.status);
    }
    EXPECT_EQ(0u, registry.calls(InMemoryRegistry::Op::DeleteValue));
    EXPECT_EQ(3u, defaultCache().size());
}

TEST_F(DeleteTest, MissingValueIsNotFoundAndLogged) {
    const Outcome r = run({"-v", "-d", "-t", "rsa", "-p", "22", "nohost"});
    EXPECT_EQ(NotFound, r.out);
    EXPECT_EQ(-1, r.status);
    EXPECT_EQ(3u, defaultCache().size());
    // The message ends in a newline of its own, written escaped like any control byte.
    EXPECT_TRUE(logHas(log(), record("ERROR", "Error code <2> deleting value <rsa@22:nohost>\\\\n")))
        << log();
}

TEST_F(DeleteTest, DeletingTwice) {
    EXPECT_EQ(removed("rsa@22:host1"), run({"-d", "-t", "rsa", "-p", "22", "host1"}).out);
    const Outcome second = run({"-d", "-t", "rsa", "-p", "22", "host1"});
    EXPECT_EQ(NotFound, second.out);
    EXPECT_EQ(-1, second.status);
    EXPECT_THAT(defaultCache(), ElementsAre("rsa@2222:host1", "dsa@22:host1"));
}

TEST_F(DeleteTest, RefusedDeletionLeavesTheCache) {
    registry.failOn(InMemoryRegistry::Op::DeleteValue, PAL::RegistryApi::AccessDenied);
    const Outcome refused = run({"-v", "-d", "-t", "rsa", "-p", "22", "host1"});
    EXPECT_EQ(NotFound, refused.out);
    EXPECT_EQ(-1, refused.status);
    EXPECT_EQ(3u, defaultCache().size());
    EXPECT_TRUE(logHas(log(), record("ERROR", "Error code <5> deleting value <rsa@22:host1>\\\\n")))
        << log();
}

TEST_F(DeleteTest, SuccessIsTracedWithItsLocation) {
    run({"-v", "-d", "-t", "rsa", "-p", "22", "host1"});
    EXPECT_TRUE(logHas(log(), record("TRACE", "gui/util/HkPrune\\.cpp:HkPrune::deleteValue:\\d+ "
                                              "Successfully deleted fingerprint value name "
                                              "<rsa@22:host1>")))
        << log();
    EXPECT_EQ(0x4u, PAL::getTraceMaskBits());
    EXPECT_TRUE(PAL::getEnabledTraceComponents().empty());
}

TEST_F(DeleteTest, TwoVerboseOptionsWidenTheTrace) {
    run({"-v", "-v", "-d", "-t", "rsa", "-p", "22", "host1"});
    EXPECT_TRUE(logHas(log(), record("TRACE", "\\S+:HkPrune::deleteValue:\\d+ Successfully deleted "
                                              "fingerprint value name <rsa@22:host1>")));
    EXPECT_EQ(0xFFFFFFFFu, PAL::getTraceMaskBits());
    EXPECT_EQ(12u, PAL::getEnabledTraceComponents().size());
    EXPECT_EQ(3u, PAL::getLogLevel());
}

TEST_F(DeleteTest, HostNameWithColonIsPassedUnchanged) {
    seedDefault({"rsa@22:fe80::1"});
    EXPECT_EQ(removed("rsa@22:fe80::1"), run({"-d", "-t", "rsa", "-p", "22", "fe80::1"}).out);
    EXPECT_THAT(defaultCache(), ElementsAre("rsa@22:host1", "rsa@2222:host1", "dsa@22:host1"));
}

TEST_F(DeleteTest, HyphenatedKeyTypeIsOneArgumentQuotedOrNot) {
    seedDefault({"ssh-ed25519@22:host1", "ssh@22:host1", "ssh-dss@22:host1"});
    EXPECT_EQ(removed("ssh-ed25519@22:host1"),
              run({"-d", "-t", "ssh-ed25519", "-p", "22", "host1"}).out);
    EXPECT_EQ(removed("ssh-dss@22:host1"),
              run({"-d", "-t", "\"ssh-dss\"", "-p", "22", "host1"}).out);
    EXPECT_THAT(defaultCache(),
                ElementsAre("rsa@22:host1", "rsa@2222:host1", "dsa@22:host1", "ssh@22:host1"));
}

// Read as "-t ssh" and then "-dss", this list of one cache would be a delete in the other.
TEST_F(ListTest, HyphenatedKeyTypeNeverTurnsIntoOtherOptions) {
    seedDefault({"ssh@22:host1"});
    seedCurrent({"ssh-dss@22:host1"});
    const Outcome r = run({"-c", "-l", "-t", "ssh-dss", "-p", "22", "host1"});
    EXPECT_EQ(found({"ssh-dss@22:host1"}), r.out);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(4u, defaultCache().size());
}

// ---- Bad input ----

// Each class of parse error, on a command line that would otherwise delete rsa@22:host1.
TEST_F(DeleteTest, EveryParseErrorPrintsTheUsageAndDeletesNothing) {
    const std::vector<std::vector<std::string>> lines = {
        {"-d", "-t", "rsa", "-p", "22", "-", "host1"},               // Unexpected "- "
        {"-d", "-t", "rsa", "-p", "22", "--", "host1"},              // Unexpected "- "
        {"-d", "-t", "rsa", "-p", "22", "---d", "host1"},            // Unexpected "-"
        {"-d", "-t", "rsa", "-p", "22", "-x", "host1"},              // unknown letter
        {"-d", "-t", "rsa", "-p", "22", "--hostname", "host1"},      // unknown word
        {"-d", "--ktyp=rsa", "-p", "22", "host1"},                   // no "=" form
        {"-d", "-t", "-p", "22", "host1"},                           // argument missing
        {"-d", "-t", "rsa", "-p", "22", "host1", "extra"},           // second parameter
        {"-d", "-t", "rsa", "host1", "-p", "22"},                    // option after parameter
        {"-d", "-t", "rsa", "-p", "22", "-\xE9", "host1"},           // letter above 0x7F
        {"-d", "-t", "rsa", "-p", "22", "--d\xC3\xA9lete", "host1"}, // word above 0x7F
    };
    for (const auto& args : lines) {
        SCOPED_TRACE(testing::PrintToString(args));
        const Outcome r = run(args);
        EXPECT_EQ(Usage, r.out);
        EXPECT_EQ(-1, r.status);
        EXPECT_FALSE(r.returned);
    }
    EXPECT_EQ(0u, registry.calls(InMemoryRegistry::Op::Open));
    EXPECT_EQ(0u, registry.calls(InMemoryRegistry::Op::DeleteValue));
    EXPECT_EQ(3u, defaultCache().size());
}

TEST_F(HkPruneTest, ParseErrorIsLoggedAfterVerbose) {
    const Outcome r = run({"-v", "-q"});
    EXPECT_EQ(Usage, r.out);
    EXPECT_TRUE(logHas(log(), record("ERROR", "Unexpected option <q> "))) << log();
}

// The longest command line Windows passes, 32,767 characters joined, is the longest read.
TEST_F(HkPruneTest, LongestWindowsArgumentAsHostName) {
    const std::string host(32767 - std::string(" -d -t rsa2 -p 22 ").size(), 'h');
    seedDefault({"rsa2@22:" + host, "rsa2@22:" + host + "h", "rsa2@22:host1"});
    EXPECT_EQ(found({"rsa2@22:" + host}), run({"-l", host}).out);
    const Outcome r = run({"-d", "-t", "rsa2", "-p", "22", host});
    EXPECT_EQ(removed("rsa2@22:" + host), r.out);
    EXPECT_EQ(0, r.status);
    EXPECT_THAT(defaultCache(), ElementsAre("rsa2@22:" + host + "h", "rsa2@22:host1"));
}

TEST_F(HkPruneTest, BytesAboveAsciiInArgumentsAndNames) {
    const std::string latin1 = "h\xE9st";        // Latin-1 e acute
    const std::string utf8 = "h\xC3\xA9st";      // the same in UTF-8: a different name
    const std::string type = "\xFF\x80ssh-\xE9"; // a hyphen among them belongs to it too
    seedCurrent({"rsa2@22:" + latin1, "rsa2@22:" + utf8, type + "@22:" + latin1});
    EXPECT_EQ(found({"rsa2@22:" + latin1, type + "@22:" + latin1}), run({"-c", "-l", latin1}).out);
    EXPECT_EQ(found({type + "@22:" + latin1}), run({"-c", "-l", "-t", type}).out);
    EXPECT_EQ(removed("rsa2@22:" + utf8), run({"-c", "-d", "-t", "rsa2", "-p", "22", utf8}).out);
    EXPECT_THAT(currentCache(), ElementsAre("rsa2@22:" + latin1, type + "@22:" + latin1));
}

} // namespace
