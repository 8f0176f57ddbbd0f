#include "PAL/CLIOptionParser.h"

#include "PAL/LogUtil.h"
#include "support/ParserHarness.h"
#include "support/ScopedLogSettings.h"
#include "support/StdoutCapture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

void noop(void*, const PAL::CLIOption&, const char*) {}
void noParameter(void*, const PAL::CLIParameter&, const char*) {}

std::string usageOf(PAL::CLIOptionParser& parser, const std::string& message = "") {
    hktest::ScopedLogSettings settings;
    PAL::setLogFileName("");
    hktest::StdoutCapture out;
    parser.printUsage(message);
    return out.text();
}

// A parser for the program path `program` with its own registrations.
class Definition {
public:
    explicit Definition(const std::string& program) : path(program) {}
    Definition& option(const PAL::CLIOption& o) {
        options.push_back(o);
        return *this;
    }
    Definition& parameter(const std::string& name, const std::string& description) {
        parameters.emplace_back(name, noParameter, description);
        return *this;
    }
    std::string usage(const std::string& message = "") {
        const char* argv[] = {path.c_str()};
        PAL::CLIOptionParser parser(1, argv, nullptr);
        for (const PAL::CLIOption& o : options) {
            parser.addOption(o);
        }
        for (const PAL::CLIParameter& p : parameters) {
            parser.addParameter(p);
        }
        return usageOf(parser, message);
    }

private:
    std::string path;
    std::vector<PAL::CLIOption> options;
    std::vector<PAL::CLIParameter> parameters;
};

TEST(UsageReport, TheApplicationsReportByteForByte) {
    hktest::AppCommandLine app({});
    EXPECT_EQ(hktest::AppUsage, usageOf(app.parser()));
}

TEST(UsageReport, AMessageComesFirstOnItsOwnLine) {
    hktest::AppCommandLine app({});
    EXPECT_EQ(std::string("** ERROR: No action specified\n") + hktest::AppUsage,
              usageOf(app.parser(), "No action specified"));
}

TEST(UsageReport, TheHeadShowsTheProgramsFileNameWithoutItsDirectory) {
    hktest::AppCommandLine app({}, "some/dir/hkprune.exe");
    const std::string usage = usageOf(app.parser());
    EXPECT_EQ(0u, usage.rfind("usage: hkprune.exe -scldv [-s|--defaultkey]", 0)) << usage;
    hktest::AppCommandLine windows({}, "C:\\bin\\hkprune.exe");
    EXPECT_EQ(0u, usageOf(windows.parser()).rfind("usage: hkprune.exe -scldv ", 0));
}

TEST(UsageReport, NoOptionsAndNoParametersLeaveTheHeadAlone) {
    EXPECT_EQ("usage: prog\n", Definition("prog").usage());
}

TEST(UsageReport, AnEmptyProgramPathLeavesTheHeadWithoutAName) {
    EXPECT_EQ("usage: \n", Definition("").usage());
}

TEST(UsageReport, NoOptionWithoutArgumentWritesNoLetterGroup) {
    const std::string usage = Definition("prog")
                                  .option(PAL::CLIOption('p', "port", noop, "The port", "port"))
                                  .parameter("host", "The host")
                                  .usage();
    EXPECT_EQ("usage: prog [-p|--port <port>] <host>\n"
              "    [-p|--port <port>]  - The port\n"
              "    <host>              - The host\n",
              usage);
}

TEST(UsageReport, NoParametersWritesOnlyOptions) {
    const std::string usage =
        Definition("prog").option(PAL::CLIOption('a', "all", noop, "All", nullptr)).usage();
    EXPECT_EQ("usage: prog -a [-a|--all]\n"
              "    [-a|--all]  - All\n",
              usage);
}

TEST(UsageReport, KindsChooseTheirGroups) {
    // A letter-only option has no word item; a word-only option has no letter.
    const std::string usage = Definition("prog")
                                  .option(PAL::CLIOption('x', noop, "Letter", nullptr))
                                  .option(PAL::CLIOption("word", noop, "Word", nullptr))
                                  .option(PAL::CLIOption('y', noop, "Letter arg", "n"))
                                  .usage();
    EXPECT_EQ("usage: prog -x [--word] [-y <n>]\n"
              "    [-x]      - Letter\n"
              "    [--word]  - Word\n"
              "    [-y <n>]  - Letter arg\n",
              usage);
}

TEST(UsageReport, DuplicateLettersBothAppear) {
    const std::string usage = Definition("prog")
                                  .option(PAL::CLIOption('x', "one", noop, "First", nullptr))
                                  .option(PAL::CLIOption('x', "two", noop, "Second", nullptr))
                                  .usage();
    EXPECT_EQ("usage: prog -xx [-x|--one] [-x|--two]\n"
              "    [-x|--one]  - First\n"
              "    [-x|--two]  - Second\n",
              usage);
}

TEST(UsageReport, ALongParameterStillGetsOneFillerSpace) {
    const std::string usage = Definition("prog")
                                  .option(PAL::CLIOption('a', "all", noop, "All", nullptr))
                                  .parameter("a-very-long-parameter", "Long")
                                  .usage();
    EXPECT_EQ("usage: prog -a [-a|--all] <a-very-long-parameter>\n"
              "    [-a|--all]  - All\n"
              "    <a-very-long-parameter>  - Long\n",
              usage);
}

TEST(UsageReport, ParametersAloneUseTheMinimalColumn) {
    EXPECT_EQ("usage: prog <host>\n"
              "    <host>  - The host\n",
              Definition("prog").parameter("host", "The host").usage());
}

TEST(UsageReport, AnItemThatEndsAtColumnEightyStaysOnTheLine) {
    // Head "usage: p" is 8 wide; 8 + 1 + 71 = 80 stays, one more wraps.
    const std::string word71(71 - 4, 'w'); // "[--" + word + "]"
    const std::string stays =
        Definition("p").option(PAL::CLIOption(word71, noop, "W", nullptr)).usage().substr(0, 81);
    EXPECT_EQ("usage: p [--" + word71 + "]\n", stays);
    const std::string word72(72 - 4, 'w');
    const std::string wraps =
        Definition("p").option(PAL::CLIOption(word72, noop, "W", nullptr)).usage();
    EXPECT_EQ(0u, wraps.rfind("usage: p\n         [--" + word72 + "]\n", 0)) << wraps;
}

// With a head of 79 characters or more, every letter and every item goes on its own line.
TEST(UsageReport, ALongHeadPutsEveryItemOnItsOwnLine) {
    for (const std::size_t headLength : {79u, 80u, 100u}) {
        const std::string program(headLength - 7, 'p'); // "usage: " is 7
        const std::string indent(headLength, ' ');
        const std::string usage = Definition(program)
                                      .option(PAL::CLIOption('a', "all", noop, "All", nullptr))
                                      .option(PAL::CLIOption('b', "bee", noop, "Bee", nullptr))
                                      .option(PAL::CLIOption('n', "num", noop, "Number", "n"))
                                      .parameter("host", "Host")
                                      .usage();
        EXPECT_EQ("usage: " + program + " -\n" + //
                      indent + "a\n" +           //
                      indent + "b\n" +           //
                      indent + " [-a|--all]\n" + //
                      indent + " [-b|--bee]\n" + //
                      indent + " [-n|--num <n>]\n" + indent + " <host>\n" +
                      "    [-a|--all]      - All\n"
                      "    [-b|--bee]      - Bee\n"
                      "    [-n|--num <n>]  - Number\n"
                      "    <host>          - Host\n",
                  usage)
            << "head of " << headLength;
    }
}

TEST(UsageReport, EveryLineIsFlushed) {
    hktest::AppCommandLine app({});
    hktest::StdoutCapture out;
    app.parser().printUsage("message");
    EXPECT_EQ(std::string("** ERROR: message\n") + hktest::AppUsage, out.text());
    EXPECT_EQ(std::vector<std::string>{}, out.unflushedLines());
}

} // namespace
