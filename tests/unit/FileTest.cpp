#include "PAL/File.h"

#include "PAL/LogUtil.h"
#include "support/ParserHarness.h"
#include "support/ScopedLogSettings.h"
#include "support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

// Both logs into a temporary directory (trace with the entry/exit bit), or both off.
class LogCapture {
public:
    explicit LogCapture(bool on) {
        PAL::setLogDirectory(dir.path().string());
        PAL::setLogFileName(on ? "main.log" : "");
        PAL::setTraceFileName(on ? "trace.log" : "");
        PAL::setLogLevel(PAL::LOG_INFO);
        PAL::setTraceMaskBits(PAL::TRACE_ENTRY_EXIT);
        PAL::clearTraceComponents();
    }
    Strings errors() const {
        return hktest::recordMessages(hktest::readFile(dir.file("main.log")), "ERROR");
    }
    Strings traces() const {
        return hktest::recordMessages(hktest::readFile(dir.file("trace.log")), "TRACE");
    }
    bool wroteAnything() const { return !fs::is_empty(dir.path()); }

private:
    hktest::TempDir dir;
    hktest::ScopedLogSettings saved;
};

// The current directory joined with `relative` in the platform's own form.
std::string inCurrentDirectory(const fs::path& relative) {
    return (fs::current_path() / relative).string();
}

TEST(FilePath, AnEmptyNameStaysEmptyAndLogsNothing) {
    LogCapture log(true);
    const PAL::File file("");
    EXPECT_EQ("", file.getPath());
    EXPECT_EQ("", file.getFileName());
    EXPECT_FALSE(log.wroteAnything());
}

TEST(FilePath, ARelativeNameIsJoinedToTheCurrentDirectory) {
    hktest::TempDir dir;
    hktest::ScopedCwd cwd(dir.path());
    const PAL::File file("tool.exe");
    EXPECT_EQ(inCurrentDirectory("tool.exe"), file.getPath());
    EXPECT_EQ("tool.exe", file.getFileName());
}

TEST(FilePath, DotAndDotDotAreResolvedWithoutTheFileExisting) {
    hktest::TempDir dir;
    hktest::ScopedCwd cwd(dir.path());
    EXPECT_EQ(inCurrentDirectory(fs::path("a") / "c.txt"), PAL::File("a/./b/../c.txt").getPath());
    EXPECT_EQ(inCurrentDirectory("c.txt"), PAL::File("./a/../c.txt").getPath());
    EXPECT_FALSE(fs::exists(dir.path() / "a"));
}

TEST(FilePath, OneTrailingBackslashIsDropped) {
    hktest::TempDir dir;
    hktest::ScopedCwd cwd(dir.path());
    EXPECT_EQ(PAL::File("temp").getPath(), PAL::File("temp\\").getPath());
    EXPECT_EQ("temp", PAL::File("temp\\").getFileName());
    // A second backslash, and a slash, stay: the path then ends in a separator.
    EXPECT_EQ("", PAL::File("temp\\\\").getFileName());
    EXPECT_EQ("", PAL::File("temp/").getFileName());
}

// The Windows run-time refuses results of 260 characters (MAX_PATH counts the terminating
// NUL); 259 fit everywhere, 261 nowhere.
TEST(FilePath, APathLongerThan260CharactersIsKeptAsGivenAndLogged) {
    hktest::TempDir dir;
    hktest::ScopedCwd cwd(dir.path());
    LogCapture log(true);
    const std::size_t base = inCurrentDirectory("x").size() - 1; // with its separator
    const std::string fits(259 - base, 'f');
    EXPECT_EQ(inCurrentDirectory(fits), PAL::File(fits).getPath());
    EXPECT_TRUE(log.errors().empty());

    const std::string tooLong(261 - base, 'g');
    const PAL::File file(tooLong + "\\");
    EXPECT_EQ(tooLong, file.getPath());
    EXPECT_EQ(tooLong, file.getFileName());
    EXPECT_THAT(log.errors(), testing::ElementsAre("File(): could not find absolute path for "
                                                   "filespec <" +
                                                   tooLong + "> "));
}

struct NameRow {
    const char* given;
    const char* fileName;
};

TEST(FileName, IsTheLastComponentWithItsExtension) {
    hktest::TempDir dir;
    hktest::ScopedCwd cwd(dir.path());
    const NameRow rows[] = {
        {"C:\\bin\\tool.exe", "tool.exe"},    // drive and backslashes
        {"dir/sub\\name.ext", "name.ext"},    // both separators
        {"archive.tar.gz", "archive.tar.gz"}, // several dots, each kept
        {"dir.d/noext", "noext"},             // a dot in the directory only
        {".profile", ".profile"},             // all extension
        {"dir/", ""},                         // ends in a separator
    };
    for (const NameRow& row : rows) {
        EXPECT_EQ(row.fileName, PAL::File(row.given).getFileName()) << row.given;
    }
}

// ---- create and remove with real files ------------------------------------------------------

TEST(FileCreate, MakesAnEmptyFileOnce) {
    hktest::TempDir dir;
    PAL::File file(dir.file("new.txt"));
    EXPECT_EQ(0, file.create(true));
    EXPECT_TRUE(fs::exists(dir.file("new.txt")));
    EXPECT_EQ(0u, fs::file_size(dir.file("new.txt")));
}

TEST(FileCreate, AnExistingFileIsLeftAlone) {
    hktest::TempDir dir;
    hktest::writeFile(dir.file("old.txt"), "keep me");
    PAL::File file(dir.file("old.txt"));
    EXPECT_EQ(-4, file.create(true));
    EXPECT_EQ(0, file.create(false));
    EXPECT_EQ("keep me", hktest::readFile(dir.file("old.txt")));
}

TEST(FileCreate, AMissingDirectoryIsMinusThree) {
    hktest::TempDir dir;
    EXPECT_EQ(-3, PAL::File(dir.file("missing/new.txt")).create(false));
}

TEST(FileRemove, DeletesOnceThenReportsMinusThree) {
    hktest::TempDir dir;
    hktest::writeFile(dir.file("gone.txt"), "x");
    PAL::File file(dir.file("gone.txt"));
    EXPECT_EQ(0, file.remove());
    EXPECT_FALSE(fs::exists(dir.file("gone.txt")));
    EXPECT_EQ(-3, file.remove());
}

TEST(FileTrace, EachCallLeavesAnEntryAndAnExitRecord) {
    hktest::TempDir dir;
    const std::string path = dir.file("traced.txt");
    LogCapture log(true);
    PAL::File file(path);
    EXPECT_EQ(0, file.create(true));
    EXPECT_EQ(-4, file.create(true));
    EXPECT_EQ(0, file.remove());
    EXPECT_EQ(-3, file.remove());

    const struct {
        const char* function;
        std::string text;
    } expected[] = {
        {"create", "ENTER " + path}, {"create", "EXIT:0"},        {"create", "ENTER " + path},
        {"create", "EXIT:-4"},       {"remove", "ENTER " + path}, {"remove", "EXIT:0"},
        {"remove", "ENTER " + path}, {"remove", "EXIT:-3"},
    };
    const Strings traces = log.traces();
    ASSERT_EQ(8u, traces.size());
    Strings prefixes;
    for (std::size_t i = 0; i < traces.size(); ++i) {
        const std::size_t space = traces[i].find(' ');
        prefixes.push_back(traces[i].substr(0, space + 1));
        EXPECT_TRUE(
            hktest::isLocationPrefix(prefixes[i], std::string("provider/src/File.cpp:PAL::File::") +
                                                      expected[i].function + ":"))
            << i << ": " << prefixes[i];
        EXPECT_EQ(expected[i].text, traces[i].substr(space + 1)) << i;
    }
    // Each return point has a line of its own.
    EXPECT_NE(prefixes[1], prefixes[3]);
    EXPECT_NE(prefixes[5], prefixes[7]);
}

TEST(FileTrace, NoRecordsWhenTheTraceIsOff) {
    hktest::TempDir dir;
    LogCapture log(false);
    PAL::File file(dir.file("quiet.txt"));
    EXPECT_EQ(0, file.create(true));
    EXPECT_EQ(0, file.remove());
    EXPECT_FALSE(log.wroteAnything());
}

} // namespace
