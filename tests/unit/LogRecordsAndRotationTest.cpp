#include "PAL/LogFileApi.h"
#include "PAL/LogUtil.h"

#include "support/LogRecords.h"
#include "support/ScopedEnv.h"
#include "support/ScopedLogSettings.h"
#include "support/StderrCapture.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <iterator>
#include <limits>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;
using hktest::logRecords;
using hktest::readFile;
using hktest::writeFile;
using Records = std::vector<std::string>;

constexpr std::uint32_t AllBits = 0xFFFFFFFFu;
constexpr std::uint32_t TenMiB = 10485760; // the default limit, 10240 KiB, in bytes

std::string localStamp(std::time_t when) {
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", std::localtime(&when));
    return text;
}

// A file of `size` bytes (sparse where the file system allows).
void makeFileOfSize(const std::string& path, std::uintmax_t size) {
    writeFile(path, "");
    fs::resize_file(path, size);
}

bool isEmptyDirectory(const fs::path& dir) {
    return fs::is_directory(dir) && fs::directory_iterator(dir) == fs::directory_iterator();
}

// Both logs in a fresh temp directory, every other setting at its initial value; the settings
// come back when the test ends.
class LogTest : public testing::Test {
protected:
    void SetUp() override {
        PAL::setLogDirectory(tmp.path().string());
        PAL::setLogFileName("main.log");
        PAL::setTraceFileName("trace.log");
    }

    std::string dir() const { return tmp.path().string() + "/"; }
    std::string mainPath() const { return dir() + "main.log"; }
    std::string tracePath() const { return dir() + "trace.log"; }

    hktest::ScopedLogSettings saved;
    hktest::TempDir tmp;
};

// ---- Initial settings -------------------------------------------------------------------------

// Every test puts the settings back, so each one starts from the process's initial values.
TEST(LogSettings, StartWithTheirInitialValues) {
    EXPECT_EQ("", PAL::detail::storedLogDirectory());
    EXPECT_EQ("provider.log", PAL::getLogFileName());
    EXPECT_EQ("providerTrace.log", PAL::getTraceFileName());
    EXPECT_EQ(3u, PAL::getLogLevel());
    EXPECT_EQ(0x4u, PAL::getTraceMaskBits());
    EXPECT_EQ(10240u, PAL::getLogMaxSize());
    EXPECT_EQ(10240u, PAL::getTraceMaxSize());
    EXPECT_TRUE(PAL::getEnabledTraceComponents().empty());
}

// ---- The record line --------------------------------------------------------------------------

TEST_F(LogTest, RecordLineHasLocalTimeThreadSeverityComponentAndMessage) {
    const std::string before = localStamp(std::time(nullptr));
    PAL::logMessage(0, 1, "hello world");
    const std::string after = localStamp(std::time(nullptr));

    const std::string text = readFile(mainPath());
    std::smatch match;
    ASSERT_TRUE(std::regex_match(text, match,
                                 std::regex(std::string(hktest::RecordHeadPattern) +
                                            "ERROR PAL hello world" + hktest::textModeNewline())))
        << text;
    // Same zero-padded layout, so text order is time order.
    EXPECT_LE(before, match[1].str());
    EXPECT_GE(after, match[1].str());
}

TEST_F(LogTest, ThreadIdIsTheWritingThreads) {
    PAL::logMessage(0, 3, "main");
    std::thread([] { PAL::logMessage(0, 3, "other"); }).join();

    const std::string text = readFile(mainPath());
    const std::regex head(hktest::RecordHeadPattern);
    std::vector<std::string> ids;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), head);
         it != std::sregex_iterator(); ++it) {
        ids.push_back((*it)[2]);
    }
    ASSERT_EQ(2u, ids.size()) << text;
    EXPECT_NE(ids[0], ids[1]);
}

// A record is one line whatever its message holds: control bytes are written escaped, so that
// a line break in an argument cannot forge records, and so are the C1 and bidi controls and
// bytes that are not UTF-8, so that a terminal showing it is not driven. Other text is unchanged.
TEST_F(LogTest, ControlBytesOfAMessageAreWrittenEscaped) {
    const std::pair<std::string, std::string> rows[] = {
        {"C:\\temp \"x\" caf\xC3\xA9 \xC2\xA0\xE2\x80\xAF\xE2\x81\xA5\xF0\x9F\x94\x91~",
         "C:\\temp \"x\" caf\xC3\xA9 \xC2\xA0\xE2\x80\xAF\xE2\x81\xA5\xF0\x9F\x94\x91~"},
        // CSI, OSC, the first and last C1, right-to-left override, pop directional isolate
        {"\xC2\x9B[J\xC2\x9D;x\xC2\x80\xC2\x9F\xE2\x80\xAEtxt.exe\xE2\x81\xA9",
         "\\xc2\\x9b[J\\xc2\\x9d;x\\xc2\\x80\\xc2\\x9f\\xe2\\x80\\xaetxt.exe\\xe2\\x81\\xa9"},
        // cut short, overlong, a surrogate, past U+10FFFF, a lone continuation byte
        {"\xE9\xA0~\xC0\xAF\xED\xA0\x80\xF4\x90\x80\x80\x9B\xE2\x80",
         "\\xe9\\xa0~\\xc0\\xaf\\xed\\xa0\\x80\\xf4\\x90\\x80\\x80\\x9b\\xe2\\x80"},
        {"rsa2\n2024-01-31T09:05:07 0x1  TRACE PAL forged",
         "rsa2\\n2024-01-31T09:05:07 0x1  TRACE PAL forged"},
        {"a\r\n\tb\v", "a\\r\\n\\tb\\x0b"},
        {std::string("nul\0\x1b[0m\x7f", 9), "nul\\x00\\x1b[0m\\x7f"},
    };
    PAL::setTraceMaskBits(AllBits);
    for (const auto& [message, written] : rows) {
        SCOPED_TRACE(written);
        fs::remove(tracePath());
        PAL::traceMessage(0, 0x1, message);
        EXPECT_EQ(Records{"TRACE PAL " + written}, logRecords(tracePath()));
    }
}

TEST_F(LogTest, CallerTextsOfAnyLengthAreWrittenWhole) {
    const std::string component(300, 'c');
    const std::string severity(200, 's');
    PAL::writeLogRecord("main.log", 10240, component.c_str(), severity.c_str(), "m");
    EXPECT_EQ(Records{severity + " " + component + " m"}, logRecords(mainPath()));
}

TEST_F(LogTest, AbsentTextsArePlaceholdersAndAbsentFileNameDropsTheRecord) {
    hktest::StderrCapture err;
    PAL::writeLogRecord("main.log", 10240, nullptr, nullptr, "m");
    PAL::writeLogRecord(nullptr, 10240, "PAL", "INFO", "dropped");
    PAL::writeLogRecord("", 10240, "PAL", "INFO", "dropped");
    EXPECT_EQ(Records{"NO_SEV NO_COMP m"}, logRecords(mainPath()));
    EXPECT_EQ(1, std::distance(fs::directory_iterator(tmp.path()), fs::directory_iterator()));
    EXPECT_EQ("", err.text());
}

TEST_F(LogTest, RecordsAreAppendedToOneFileWhenBothNamesAreEqual) {
    writeFile(mainPath(), "");
    PAL::setTraceFileName("main.log");
    PAL::logMessage(0, 2, "one");
    PAL::traceMessage(0, 0x4, "two");
    PAL::logMessage(0, 0, "three");
    EXPECT_EQ((Records{"WARN PAL one", "TRACE PAL two", "FATAL PAL three"}),
              logRecords(mainPath()));
}

// ---- Logging switched off ---------------------------------------------------------------------

TEST_F(LogTest, NothingIsCreatedOrReportedWhenBothNamesAreEmpty) {
    hktest::StderrCapture err;
    // A missing directory: any attempt to write would show on standard error.
    PAL::setLogDirectory((tmp.path() / "missing").string());
    PAL::setLogFileName("");
    PAL::setTraceFileName("");
    PAL::setLogLevel(AllBits);
    PAL::setTraceMaskBits(AllBits);
    for (std::uint32_t severity = 0; severity <= 5; ++severity) {
        EXPECT_FALSE(PAL::isLogActive(severity));
        PAL::logMessage(0, severity, "dropped");
    }
    for (std::int32_t component = -1; component <= 13; ++component) {
        EXPECT_FALSE(PAL::isTraceActive(component, AllBits));
        PAL::traceMessage(component, AllBits, "dropped");
    }
    EXPECT_TRUE(isEmptyDirectory(tmp.path()));
    EXPECT_EQ("", err.text());
}

// ---- Filters and texts ------------------------------------------------------------------------

struct SeverityRow {
    std::uint32_t level;
    std::uint32_t severity;
    const char* written; // severity text of the record, or nullptr when it is dropped
};

TEST_F(LogTest, SeverityLevelFiltersAndClampsTheText) {
    const SeverityRow rows[] = {
        {3, 2, "WARN"}, // at or below the level
        {3, 3, "INFO"},
        {3, 4, nullptr}, // above the level
        {1, 2, nullptr},
        {1, 1, "ERROR"},
        {0, 0, "FATAL"}, // FATAL passes every level
        {7, 5, "INFO"},  // past the table: INFO
        {AllBits, AllBits, "INFO"},
        {2, AllBits, nullptr}, // unsigned: the largest severity, not -1
    };
    for (const SeverityRow& row : rows) {
        SCOPED_TRACE(testing::Message() << "level " << row.level << " severity " << row.severity);
        fs::remove(mainPath());
        PAL::setLogLevel(row.level);
        EXPECT_EQ(row.written != nullptr, PAL::isLogActive(row.severity));
        PAL::logMessage(0, row.severity, "m");
        EXPECT_EQ(row.written ? Records{std::string(row.written) + " PAL m"} : Records{},
                  logRecords(mainPath()));
    }
}

TEST_F(LogTest, ComponentNumbersAreWrittenAsTheirTexts) {
    const std::pair<std::int32_t, const char*> rows[] = {
        {0, "PAL"},
        {1, "Assert"},
        {2, "BlockServices"},
        {3, "DeviceConfiguration"},
        {4, "FCTargetPort"},
        {5, "FCInitiatorPort"},
        {6, "MultipleComputerSystem"},
        {7, "PhysicalPackage"},
        {8, "Server"},
        {9, "MaskingMapping"},
        {10, "SLP"},
        {11, "CopyServices"},
        {12, "BAD_COMP"},
        {13, "BAD_COMP"}, // out of range on either side
        {-1, "BAD_COMP"},
        {std::numeric_limits<std::int32_t>::max(), "BAD_COMP"},
        {std::numeric_limits<std::int32_t>::min(), "BAD_COMP"},
    };
    Records expected;
    for (const auto& [component, text] : rows) {
        PAL::logMessage(component, 1, "m");
        expected.push_back(std::string("ERROR ") + text + " m");
    }
    EXPECT_EQ(expected, logRecords(mainPath()));
}

struct TraceRow {
    std::uint32_t mask;
    std::set<std::int32_t> enabled;
    std::int32_t component;
    std::uint32_t bits;
    const char* written; // component text of the record, or nullptr when it is dropped
};

TEST_F(LogTest, TraceMaskAndEnabledComponentsFilterTraceRecords) {
    const std::set<std::int32_t> named{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
    const TraceRow rows[] = {
        {0x4, {}, 0, 0x1, nullptr}, // entry/exit under the initial mask
        {0x4, {}, 0, 0x4, "PAL"},
        {AllBits, {}, 0, 0x1, "PAL"},
        {0x6, {}, 0, 0x9, nullptr}, // no bit in common
        {0x6, {}, 0, 0xA, "PAL"},   // one bit in common is enough
        {0x0, {}, 0, AllBits, nullptr},
        {0x4, {}, 13, 0x4, "BAD_COMP"}, // empty set: every component passes
        {0x4, named, 13, 0x4, nullptr}, // looked up as passed, not as 12
        {0x4, named, 12, 0x4, nullptr},
        {0x4, named, 8, 0x4, "Server"},
        {0x4, {12}, 13, 0x4, nullptr},    // 13 is not 12 before clamping
        {0x4, {-1}, -1, 0x4, "BAD_COMP"}, // an enabled out-of-range number passes
        {0x4, {3}, 2, 0x4, nullptr},
        {0x1, {3}, 3, 0x4, nullptr}, // the mask is checked as well
    };
    for (const TraceRow& row : rows) {
        SCOPED_TRACE(testing::Message() << "mask " << row.mask << " component " << row.component
                                        << " bits " << row.bits);
        fs::remove(tracePath());
        PAL::setTraceMaskBits(row.mask);
        PAL::clearTraceComponents();
        for (std::int32_t c : row.enabled) {
            PAL::enableTraceComponent(c);
        }
        EXPECT_EQ(row.written != nullptr, PAL::isTraceActive(row.component, row.bits));
        PAL::traceMessage(row.component, row.bits, "m");
        EXPECT_EQ(row.written ? Records{std::string("TRACE ") + row.written + " m"} : Records{},
                  logRecords(tracePath()));
    }
}

TEST_F(LogTest, SeverityRecordsIgnoreTheTraceFilters) {
    PAL::setTraceMaskBits(0);
    PAL::enableTraceComponent(5);
    PAL::logMessage(13, 1, "m");
    EXPECT_EQ(Records{"ERROR BAD_COMP m"}, logRecords(mainPath()));
    EXPECT_FALSE(fs::exists(tracePath()));
}

// ---- Log directory ----------------------------------------------------------------------------

TEST(LogDirectory, SetterAddsASlashUnlessTheTextEndsInOne) {
    hktest::ScopedLogSettings saved;
    const std::pair<const char*, const char*> rows[] = {
        {".", "./"},
        {"logs/", "logs/"}, // stored unchanged
        {"/", "/"},
        {"a/b", "a/b/"},
        {"C:\\logs\\", "C:\\logs\\/"}, // only "/" counts as a separator
        {"logs//", "logs//"},
    };
    for (const auto& [given, stored] : rows) {
        PAL::setLogDirectory(given);
        EXPECT_EQ(stored, PAL::detail::storedLogDirectory()) << given;
        EXPECT_EQ(stored, PAL::getLogDirectory()) << given;
    }
}

TEST(LogDirectory, DotDirectoryWritesIntoTheCurrentDirectory) {
    hktest::ScopedLogSettings saved;
    hktest::TempDir tmp;
    hktest::ScopedCwd cwd(tmp.path());
    PAL::setLogDirectory(".");
    PAL::setLogFileName("hkprune.log");
    PAL::logMessage(0, 1, "here");
    EXPECT_EQ(Records{"ERROR PAL here"}, logRecords(tmp.file("hkprune.log")));
}

TEST(LogDirectory, UndecidedDirectoryIsLogBelowPegasusHome) {
    hktest::ScopedLogSettings saved;
    hktest::TempDir tmp;
    fs::create_directory(tmp.path() / "log");
    hktest::ScopedEnv home("PEGASUS_HOME", tmp.path().string());
    PAL::setLogDirectory("");
    PAL::logMessage(0, 1, "home");
    EXPECT_EQ(tmp.path().string() + "/log/", PAL::getLogDirectory());
    EXPECT_EQ(Records{"ERROR PAL home"}, logRecords(tmp.file("log/provider.log")));
}

TEST(LogDirectory, UndecidedDirectoryWithoutPegasusHomeIsLogBelowTheCurrentDirectory) {
    hktest::ScopedLogSettings saved;
    hktest::TempDir tmp;
    fs::create_directory(tmp.path() / "log");
    hktest::ScopedCwd cwd(tmp.path());
    hktest::ScopedEnv home("PEGASUS_HOME", std::nullopt);
    PAL::setLogDirectory("");
    PAL::setTraceMaskBits(AllBits);
    PAL::traceMessage(0, 0x1, "relative");
    EXPECT_EQ("log/", PAL::getLogDirectory());
    EXPECT_EQ(Records{"TRACE PAL relative"}, logRecords(tmp.file("log/providerTrace.log")));
}

TEST(LogDirectory, EmptyPegasusHomeMeansLogAtTheRoot) {
    hktest::ScopedLogSettings saved;
    hktest::ScopedEnv home("PEGASUS_HOME", std::string());
    if (std::getenv("PEGASUS_HOME") == nullptr) {
        GTEST_SKIP() << "this platform's C runtime cannot hold an empty environment variable";
    }
    PAL::setLogDirectory("");
    EXPECT_EQ("/log/", PAL::getLogDirectory());
}

TEST(LogDirectory, IsWorkedOutOnceUntilSetEmptyAgain) {
    hktest::ScopedLogSettings saved;
    hktest::ScopedEnv first("PEGASUS_HOME", std::string("first"));
    PAL::setLogDirectory("");
    EXPECT_EQ("first/log/", PAL::getLogDirectory());
    {
        hktest::ScopedEnv second("PEGASUS_HOME", std::string("second"));
        EXPECT_EQ("first/log/", PAL::getLogDirectory());
        PAL::setLogDirectory("");
        EXPECT_EQ("second/log/", PAL::getLogDirectory());
    }
}

// ---- Rotation ---------------------------------------------------------------------------------

TEST_F(LogTest, RotatesOnlyPastTheLimitAndReplacesAnOlderBackup) {
    const std::pair<std::uintmax_t, bool> rows[] = {
        {TenMiB, false},        // exactly 10240 KiB keeps growing
        {TenMiB + 1023, false}, // still 10240 KiB, rounded down
        {TenMiB + 1024, true},  // 10241 KiB
        {TenMiB + 5000, true},
    };
    for (const auto& [size, rotates] : rows) {
        SCOPED_TRACE(testing::Message() << size << " bytes");
        hktest::StderrCapture err;
        makeFileOfSize(mainPath(), size);
        writeFile(mainPath() + ".bak", "older backup\n");

        PAL::logMessage(0, 1, "next");

        if (rotates) {
            EXPECT_EQ(size, fs::file_size(mainPath() + ".bak"));
            EXPECT_EQ(Records{"ERROR PAL next"}, logRecords(mainPath()));
        } else {
            EXPECT_EQ("older backup\n", readFile(mainPath() + ".bak"));
            const std::string text = readFile(mainPath());
            EXPECT_EQ(size, text.find_first_not_of('\0'));
            EXPECT_EQ(Records{"ERROR PAL next"}, hktest::parseLogRecords(text.substr(size)));
        }
        EXPECT_EQ("", err.text());
    }
}

TEST_F(LogTest, RotationWithoutAnOlderBackupIsSilent) {
    hktest::StderrCapture err;
    PAL::setLogMaxSize(0);
    writeFile(mainPath(), std::string(1024, 'x'));
    PAL::logMessage(0, 1, "next");
    EXPECT_EQ(std::string(1024, 'x'), readFile(mainPath() + ".bak"));
    EXPECT_EQ(Records{"ERROR PAL next"}, logRecords(mainPath()));
    EXPECT_EQ("", err.text());
}

// The platform's files, with `meanwhile` run once, right after the first open.
class AfterFirstOpen : public PAL::LogFileApi {
public:
    explicit AfterFirstOpen(std::function<void()> action)
        : meanwhile(std::move(action)), previous(PAL::setLogFileApi(this)) {}
    ~AfterFirstOpen() override { PAL::setLogFileApi(previous); }

    Handle open(const std::string& path, std::uint64_t* size) override {
        const Handle file = real.open(path, size);
        if (meanwhile) {
            std::exchange(meanwhile, nullptr)();
        }
        return file;
    }
    bool isAt(Handle file, const std::string& path) override { return real.isAt(file, path); }
    void append(Handle file, const std::string& text) override { real.append(file, text); }
    void close(Handle file) override { real.close(file); }
    bool replace(const std::string& from, const std::string& to) override {
        return real.replace(from, to);
    }

private:
    PAL::LogFileApi& real = PAL::platformLogFileApi();
    std::function<void()> meanwhile;
    PAL::LogFileApi* previous;
};

// Another writer rotated the full log between this one's open and its rotation: the file at the
// path is a new one, and moving it would replace the history just moved.
TEST_F(LogTest, ALogAnotherWriterRotatedMeanwhileIsNotRotatedAgain) {
    hktest::StderrCapture err;
    PAL::setLogMaxSize(0);
    writeFile(mainPath(), std::string(1024, 'x'));
    AfterFirstOpen otherWriter([this] {
        fs::rename(mainPath(), mainPath() + ".bak");
        writeFile(mainPath(), "");
    });
    PAL::logMessage(0, 1, "next");
    EXPECT_EQ(std::string(1024, 'x'), readFile(mainPath() + ".bak"));
    EXPECT_EQ(Records{"ERROR PAL next"}, logRecords(mainPath()));
    EXPECT_EQ("", err.text());
}

struct LimitRow {
    bool trace; // a trace record, else a severity record
    std::uint32_t logMax;
    std::uint32_t traceMax;
    bool rotates;
};

TEST_F(LogTest, EachLogHasItsOwnLimit) {
    PAL::setTraceMaskBits(AllBits);
    const LimitRow rows[] = {
        {false, 0, 10240, true}, // 1 KiB > 0
        {false, 1, 0, false},    // 1 KiB is not above 1; the trace limit does not apply
        {true, 10240, 0, true},
        {true, 0, 1, false},
    };
    for (const LimitRow& row : rows) {
        SCOPED_TRACE(testing::Message() << (row.trace ? "trace" : "severity") << " record, limits "
                                        << row.logMax << "/" << row.traceMax);
        const std::string path = row.trace ? tracePath() : mainPath();
        fs::remove(path + ".bak");
        writeFile(path, std::string(1024, 'x'));
        PAL::setLogMaxSize(row.logMax);
        PAL::setTraceMaxSize(row.traceMax);
        if (row.trace) {
            PAL::traceMessage(0, 0x4, "m");
        } else {
            PAL::logMessage(0, 1, "m");
        }
        EXPECT_EQ(row.rotates, fs::exists(path + ".bak"));
    }
}

TEST_F(LogTest, RefusedMoveIsReportedAndTheRecordAppendedToTheOldFile) {
    hktest::StderrCapture err;
    // A backup that is a directory with something in it can be neither removed nor replaced.
    fs::create_directory(mainPath() + ".bak");
    writeFile(mainPath() + ".bak/keep", "");
    PAL::setLogMaxSize(0);
    writeFile(mainPath(), std::string(1024, 'x'));

    PAL::logMessage(0, 1, "still here");

    EXPECT_EQ("Unable to move log file from " + mainPath() + " to " + mainPath() + ".bak\n",
              err.text());
    const std::string text = readFile(mainPath());
    EXPECT_EQ(std::string(1024, 'x'), text.substr(0, 1024));
    EXPECT_EQ(Records{"ERROR PAL still here"}, hktest::parseLogRecords(text.substr(1024)));
}

// ---- Failures to write ------------------------------------------------------------------------

TEST_F(LogTest, UnopenableFileGivesOneStderrLineAndNoException) {
    hktest::StderrCapture err;
    const std::string missing = (tmp.path() / "missing").string() + "/";
    PAL::setLogDirectory(missing);
    PAL::setTraceMaskBits(AllBits);
    EXPECT_NO_THROW(PAL::logMessage(0, 0, "lost"));
    EXPECT_NO_THROW(PAL::traceMessage(0, 0x1, "lost"));
    EXPECT_EQ("Unable to open log file " + missing + "main.log\n" + "Unable to open log file " +
                  missing + "trace.log\n",
              err.text());
    EXPECT_TRUE(isEmptyDirectory(tmp.path()));
}

struct PlantedRow {
    const char* what;
    // Puts it at `path`; `victim` is someone else's file it may point to.
    std::function<void(const std::string& path, const std::string& victim)> plant;
};

// What another user may put at the log's path in a directory they can write. Each is refused
// like a file that cannot be opened: no file outside the log is written or created, the path
// keeps what was put there, and the older backup stays although the limit is passed.
TEST_F(LogTest, WhatOthersPutAtThePathIsRefusedAndLeftAlone) {
    const std::string victim = dir() + "victim";
    const std::string someonesFile(1024, 'v');
    const auto victimFile = [&someonesFile](const std::string& v) { writeFile(v, someonesFile); };
#ifndef _WIN32
    int reader = -1;
#endif
    std::vector<PlantedRow> rows = {
        {"hard link",
         [&](const std::string& p, const std::string& v) {
             victimFile(v);
             fs::create_hard_link(v, p);
         }},
        {"directory", [](const std::string& p, const std::string&) { fs::create_directory(p); }},
#ifndef _WIN32
        // Not on Windows: its run-time here makes no links, Wine shows a Unix link as its
        // target, and a FIFO cannot be made.
        {"symbolic link to a file",
         [&](const std::string& p, const std::string& v) {
             victimFile(v);
             fs::create_symlink(v, p);
         }},
        {"dangling symbolic link",
         [](const std::string& p, const std::string& v) { fs::create_symlink(v, p); }},
        // Without a reader the open would wait for one for ever.
        {"FIFO", [](const std::string& p, const std::string&) { ::mkfifo(p.c_str(), 0600); }},
        {"FIFO with a reader",
         [&reader](const std::string& p, const std::string&) {
             ::mkfifo(p.c_str(), 0600);
             reader = ::open(p.c_str(), O_RDONLY | O_NONBLOCK);
         }},
#endif
    };
#ifndef _WIN32
    // Only root can give a file away.
    if (::geteuid() == 0) {
        rows.push_back(
            {"another user's file of mode 0666", [&](const std::string& p, const std::string&) {
                 victimFile(p);
                 ASSERT_EQ(0, ::chmod(p.c_str(), 0666));
                 ASSERT_EQ(0, ::chown(p.c_str(), 65534, 65534));
             }});
    }
#endif
    PAL::setLogMaxSize(0);
    for (const PlantedRow& row : rows) {
        SCOPED_TRACE(row.what);
        fs::remove(victim);
        fs::remove_all(mainPath());
        writeFile(mainPath() + ".bak", "older backup\n");
        row.plant(mainPath(), victim);
        const fs::file_type planted = fs::symlink_status(mainPath()).type();
        const bool victimExisted = fs::exists(victim);
        hktest::StderrCapture err;

        PAL::logMessage(0, 1, "m");

        EXPECT_EQ("Unable to open log file " + mainPath() + "\n", err.text());
        EXPECT_EQ(planted, fs::symlink_status(mainPath()).type());
        EXPECT_EQ(victimExisted ? someonesFile : "", readFile(victim));
        EXPECT_EQ(victimExisted, fs::exists(victim));
        EXPECT_EQ("older backup\n", readFile(mainPath() + ".bak"));
#ifndef _WIN32
        if (reader >= 0) {
            char c = 0;
            EXPECT_GE(0, ::read(reader, &c, 1)); // nothing was written into the pipe
            ::close(reader);
            reader = -1;
        }
#endif
    }
}

// A directory text of 150 characters that exists; file names then set the path's length.
std::string directoryOf150(const hktest::TempDir& tmp) {
    const std::string base = tmp.path().string() + "/";
    const std::string dir = base + std::string(150 - 1 - base.size(), 'd');
    fs::create_directory(dir);
    return dir + "/";
}

TEST_F(LogTest, PathsOfMoreThan255CharactersAreRefused) {
    const std::string dir = directoryOf150(tmp);
    PAL::setLogDirectory(dir);
    for (std::size_t length : {255u, 256u, 300u}) {
        SCOPED_TRACE(testing::Message() << "path of " << length);
        hktest::StderrCapture err;
        const std::string name(length - dir.size(), 'n');
        PAL::setLogFileName(name);
        PAL::logMessage(0, 1, "m");
        if (length <= 255) {
            EXPECT_EQ(Records{"ERROR PAL m"}, logRecords(dir + name));
            EXPECT_EQ("", err.text());
        } else {
            EXPECT_FALSE(fs::exists(dir + name));
            EXPECT_EQ("Unable to open log file " + dir + name + "\n", err.text());
        }
    }
}

TEST_F(LogTest, BackupPathsOfMoreThan255CharactersAreNotUsed) {
    const std::string dir = directoryOf150(tmp);
    PAL::setLogDirectory(dir);
    PAL::setLogMaxSize(0);
    for (std::size_t length : {251u, 252u}) {
        SCOPED_TRACE(testing::Message() << "path of " << length);
        hktest::StderrCapture err;
        const std::string path = dir + std::string(length - dir.size(), 'n');
        PAL::setLogFileName(path.substr(dir.size()));
        writeFile(path, std::string(1024, 'x'));
        PAL::logMessage(0, 1, "m");
        if (length + 4 <= 255) {
            EXPECT_TRUE(fs::exists(path + ".bak"));
            EXPECT_EQ(Records{"ERROR PAL m"}, logRecords(path));
            EXPECT_EQ("", err.text());
        } else {
            EXPECT_FALSE(fs::exists(path + ".bak"));
            const std::string text = readFile(path);
            EXPECT_EQ(std::string(1024, 'x'), text.substr(0, 1024));
            EXPECT_EQ(Records{"ERROR PAL m"}, hktest::parseLogRecords(text.substr(1024)));
            EXPECT_EQ("Unable to move log file from " + path + " to " + path + ".bak\n",
                      err.text());
        }
    }
}

} // namespace
