#include "PAL/Exception.h"
#include "PAL/LogUtil.h"

#include "support/LogRecords.h"
#include "support/ScopedLogSettings.h"
#include "support/StderrCapture.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace {

using hktest::logRecords;
using Names = std::vector<std::string>;
using Numbers = std::set<std::int32_t>;
using Records = std::vector<std::string>;

const Numbers Named{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};

// Severity and trace records both go to errors.log in a temp directory.
class LogUtilsTest : public testing::Test {
protected:
    void SetUp() override {
        PAL::setLogDirectory(tmp.path().string());
        PAL::setLogFileName("errors.log");
        PAL::setTraceFileName("errors.log");
    }

    Records records() const { return logRecords(tmp.file("errors.log")); }

    hktest::ScopedLogSettings saved;
    hktest::TempDir tmp;
};

// ---- Component names --------------------------------------------------------------------------

TEST_F(LogUtilsTest, ComponentNamesGiveTheirNumbers) {
    const char* const names[] = {"PAL",
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
                                 "CopyServices"};
    for (std::int32_t number = 0; number < 12; ++number) {
        EXPECT_EQ(number, PAL::LogUtils::getTraceComponent(names[number], true));
    }
    EXPECT_EQ(Records{}, records());
}

TEST_F(LogUtilsTest, UnknownComponentNamesGive12AndOneErrorRecordEach) {
    const char* const names[] = {
        "server",  // letter case counts
        "Server ", // no trimming
        " Server",
        "all",      // only the list operation knows it
        "BAD_COMP", // never matched as a name
        "",
    };
    Records expected;
    for (const char* name : names) {
        EXPECT_EQ(12, PAL::LogUtils::getTraceComponent(name, false)) << '"' << name << '"';
        expected.push_back(std::string("ERROR PAL Invalid trace component string: ") + name);
    }
    EXPECT_EQ(expected, records());
}

TEST_F(LogUtilsTest, UnknownComponentNameRaisesAfterItsErrorRecordWhenAsked) {
    try {
        PAL::LogUtils::getTraceComponent("Bogus", true);
        FAIL() << "no exception";
    } catch (const PAL::InvalidArgument& e) {
        EXPECT_STREQ("LogUtils::getTraceComponent():provider/include/PAL/LogUtil:131 : "
                     "Invalid trace component string: Bogus : (0)",
                     e.what());
        EXPECT_EQ(0, e.getCode());
    }
    EXPECT_EQ(Records{"ERROR PAL Invalid trace component string: Bogus"}, records());
}

struct ComponentListRow {
    Names names;
    Numbers result;
    Records errors;
};

TEST_F(LogUtilsTest, ComponentListsGiveSetsOfNumbers) {
    const ComponentListRow rows[] = {
        {{}, {}, {}},
        {{"Server", "CopyServices", "Server"}, {8, 11}, {}},
        {{"Server", "all"}, Named, {}},
        {{"all", "Bogus"}, Named, {}}, // names after "all" are not looked at
        {{"Bogus"}, {12}, {"ERROR PAL Invalid trace component string: Bogus"}},
        {{"SLP", "x", "y"},
         {10, 12},
         {"ERROR PAL Invalid trace component string: x",
          "ERROR PAL Invalid trace component string: y"}},
    };
    for (const ComponentListRow& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.names));
        std::remove(tmp.file("errors.log").c_str());
        EXPECT_EQ(row.result, PAL::LogUtils::getTraceComponents(row.names, false));
        EXPECT_EQ(row.errors, records());
    }
}

TEST_F(LogUtilsTest, ComponentListRaisesOnlyForANameItExamines) {
    EXPECT_EQ(Named, PAL::LogUtils::getTraceComponents({"all", "Bogus"}, true));
    EXPECT_THROW(PAL::LogUtils::getTraceComponents({"Server", "Bogus", "SLP"}, true),
                 PAL::InvalidArgument);
    EXPECT_EQ(Records{"ERROR PAL Invalid trace component string: Bogus"}, records());
}

// ---- Mask names -------------------------------------------------------------------------------

struct MaskRow {
    Names names;
    std::uint32_t mask;
    Records errors;
};

TEST_F(LogUtilsTest, MaskListsBuildMasks) {
    const MaskRow rows[] = {
        {{}, 0x0, {}},
        {{"entryexit"}, 0x1, {}},
        {{"debug"}, 0x2, {}},
        {{"fine"}, 0x4, {}},
        {{"perf"}, 0x8, {}},
        {{"all"}, 0xFFFFFFFFu, {}},
        {{"off"}, 0x0, {}},
        {{"fine", "debug"}, 0x6, {}},
        {{"normal", "entryexit"}, 0x1, {}}, // normal is the entry/exit bit
        {{"all", "off"}, 0x0, {}},          // both replace what came before
        {{"off", "perf"}, 0x8, {}},
        {{"perf", "all", "fine"}, 0xFFFFFFFFu, {}},
        {{"fine", "Debug"}, 0x4, {"ERROR PAL Invalid mask string: Debug"}},
        {{"x", "perf", ""},
         0x8,
         {"ERROR PAL Invalid mask string: x", "ERROR PAL Invalid mask string: "}},
    };
    for (const MaskRow& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.names));
        std::remove(tmp.file("errors.log").c_str());
        EXPECT_EQ(row.mask, PAL::LogUtils::getTraceMask(row.names, false));
        EXPECT_EQ(row.errors, records());
    }
}

TEST_F(LogUtilsTest, UnknownMaskNameRaisesAfterItsErrorRecordWhenAsked) {
    try {
        PAL::LogUtils::getTraceMask({"fine", "bogus", "perf"}, true);
        FAIL() << "no exception";
    } catch (const PAL::InvalidArgument& e) {
        // The record and the exception word it differently.
        EXPECT_STREQ("LogUtils::getTraceMask():provider/include/PAL/LogUtil:237 : "
                     "Invalid log mask string: bogus : (0)",
                     e.what());
    }
    EXPECT_EQ(Records{"ERROR PAL Invalid mask string: bogus"}, records());
}

TEST_F(LogUtilsTest, ErrorRecordsAreDroppedWhenLoggingIsOff) {
    hktest::StderrCapture err;
    PAL::setLogFileName("");
    PAL::setTraceFileName("");
    EXPECT_EQ(12, PAL::LogUtils::getTraceComponent("Bogus", false));
    EXPECT_EQ(0x4u, PAL::LogUtils::getTraceMask({"bogus", "fine"}, false));
    EXPECT_THROW(PAL::LogUtils::getTraceMask({"bogus"}, true), PAL::InvalidArgument);
    EXPECT_FALSE(std::filesystem::exists(tmp.file("errors.log")));
    EXPECT_EQ("", err.text());
}

// ---- The verbose option -----------------------------------------------------------------------

// Settings as program entry leaves them: current directory, both logs off.
class VerboseTest : public testing::Test {
protected:
    void SetUp() override {
        PAL::setLogDirectory(".");
        PAL::setLogFileName("");
        PAL::setTraceFileName("");
    }

    hktest::ScopedLogSettings saved;
    hktest::TempDir tmp;
    hktest::ScopedCwd cwd{tmp.path()};
};

struct LadderRow {
    int uses;
    const char* fileName; // both logs
    std::uint32_t mask;
    Numbers components;
};

TEST_F(VerboseTest, EachUseRaisesTheDetailUpToTheSecond) {
    const LadderRow rows[] = {
        {0, "", 0x4, {}},
        {1, "hkprune.log", 0x4, {}},
        {2, "hkprune.log", 0xFFFFFFFFu, Named},
        {3, "hkprune.log", 0xFFFFFFFFu, Named},
    };
    for (const LadderRow& row : rows) {
        SCOPED_TRACE(testing::Message() << row.uses << " uses");
        hktest::ScopedLogSettings rowSettings;
        for (int i = 0; i < row.uses; ++i) {
            PAL::onVerbose();
        }
        EXPECT_EQ(row.fileName, PAL::getLogFileName());
        EXPECT_EQ(row.fileName, PAL::getTraceFileName());
        EXPECT_EQ(3u, PAL::getLogLevel());
        EXPECT_EQ(row.mask, PAL::getTraceMaskBits());
        EXPECT_EQ(row.components, PAL::getEnabledTraceComponents());
        EXPECT_EQ("./", PAL::getLogDirectory());
    }
}

TEST_F(VerboseTest, LaterUsesPutTheLevelBackToInfo) {
    for (std::uint32_t level : {0u, 7u}) {
        hktest::ScopedLogSettings rowSettings;
        PAL::onVerbose();
        PAL::setLogLevel(level);
        PAL::onVerbose();
        EXPECT_EQ(3u, PAL::getLogLevel()) << "from " << level;
    }
}

TEST_F(VerboseTest, FirstUseWithAMainLogAlreadyNamedRaisesTheDetail) {
    PAL::setLogFileName("provider.log");
    PAL::onVerbose();
    EXPECT_EQ("provider.log", PAL::getLogFileName());
    EXPECT_EQ("", PAL::getTraceFileName()); // only the main name is looked at
    EXPECT_EQ(0xFFFFFFFFu, PAL::getTraceMaskBits());
    EXPECT_EQ(Named, PAL::getEnabledTraceComponents());
}

TEST_F(VerboseTest, RecordsGoToHkpruneLogInTheCurrentDirectory) {
    PAL::logMessage(0, 1, "before");
    PAL::onVerbose();
    PAL::logMessage(0, 1, "error");
    PAL::traceMessage(0, 0x4, "progress");
    PAL::traceMessage(0, 0x1, "entry, not yet");
    PAL::traceMessage(12, 0x4, "bad component, still passes");
    PAL::onVerbose();
    PAL::traceMessage(0, 0x1, "entry");
    PAL::traceMessage(12, 0x4, "bad component, no longer");
    EXPECT_EQ((Records{"ERROR PAL error", "TRACE PAL progress",
                       "TRACE BAD_COMP bad component, still passes", "TRACE PAL entry"}),
              logRecords(tmp.file("hkprune.log")));
}

} // namespace
