#include "PAL/CLIOptionParser.h"

#include "PAL/LogUtil.h"
#include "support/ExitTrap.h"
#include "support/ParserHarness.h"
#include "support/ScopedLogSettings.h"
#include "support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

using hktest::AppCommandLine;
using hktest::exitedWithMinusOne;
using hktest::ParseOutcome;
using Strings = std::vector<std::string>;

std::vector<const char*> argvOf(const Strings& elements) {
    std::vector<const char*> argv;
    for (const std::string& s : elements) {
        argv.push_back(s.c_str());
    }
    return argv;
}

// Default settings would write traces to log/providerTrace.log; tests outside runParse run
// with both logs off, as the program does.
class QuietLog {
public:
    QuietLog() {
        PAL::setLogFileName("");
        PAL::setTraceFileName("");
    }

private:
    hktest::ScopedLogSettings saved;
};

// ---- Records and registration -------------------------------------------------------------

void noop(void*, const PAL::CLIOption&, const char*) {}
void noParameter(void*, const PAL::CLIParameter&, const char*) {}

TEST(CLIOptionRecord, LetterAndWordUsageTextAndArgumentFlag) {
    const PAL::CLIOption list('l', "list", noop, "List", nullptr);
    EXPECT_EQ("[-l|--list]", list.usageText);
    EXPECT_FALSE(list.requiresArgument);
    EXPECT_EQ(PAL::CLIOption::LetterAndWord, list.kind);

    const PAL::CLIOption port('p', "port", noop, "The key port", "port");
    EXPECT_EQ("[-p|--port <port>]", port.usageText);
    EXPECT_TRUE(port.requiresArgument);

    // An empty, non-null argument name still asks for an argument.
    const PAL::CLIOption empty('e', "empty", noop, "Empty", "");
    EXPECT_EQ("[-e|--empty <>]", empty.usageText);
    EXPECT_TRUE(empty.requiresArgument);
}

TEST(CLIOptionRecord, LetterOnlyAndWordOnlyForms) {
    const PAL::CLIOption x('x', noop, "X", nullptr);
    EXPECT_EQ(PAL::CLIOption::LetterOnly, x.kind);
    EXPECT_EQ("[-x]", x.usageText);
    EXPECT_EQ("[-y <arg>]", PAL::CLIOption('y', noop, "Y", "arg").usageText);

    const PAL::CLIOption word("word", noop, "W", nullptr);
    EXPECT_EQ(PAL::CLIOption::WordOnly, word.kind);
    EXPECT_EQ("[--word]", word.usageText);
    EXPECT_EQ("[--word <arg>]", PAL::CLIOption("word", noop, "W", "arg").usageText);
}

TEST(CLIParameterRecord, UsageTextIsTheNameInAngleBrackets) {
    EXPECT_EQ("<hostname>", PAL::CLIParameter("hostname", noParameter, "Host").usageText);
}

struct JoinRow {
    Strings elements; // after the program path
    std::string commandLine;
};

TEST(CLIOptionParserConstruction, JoinsTheElementsAfterTheProgramPath) {
    const JoinRow rows[] = {
        {{}, ""},
        {{"-l"}, " -l"},
        {{"-t", "a b", "host1"}, " -t \"a b\" host1"},
        {{"a b"}, " \"a b\""},
        {{"a\tb", "c\nd"}, " \"a\tb\" \"c\nd\""}, // any white space calls for quotes
        {{"a\"b"}, " a\"b"},                      // a double quote alone does not
        {{""}, " "},
    };
    for (const JoinRow& row : rows) {
        Strings all{"C:\\bin\\hkprune.exe"};
        all.insert(all.end(), row.elements.begin(), row.elements.end());
        const auto argv = argvOf(all);
        const PAL::CLIOptionParser parser(static_cast<int>(argv.size()), argv.data(), nullptr);
        EXPECT_EQ(row.commandLine, parser.getCommandLine());
        EXPECT_EQ(all, parser.getArguments());
    }
}

// Collects what the callbacks of a small hand-made definition saw.
struct Seen {
    std::vector<const PAL::CLIOption*> options;
    std::vector<std::optional<std::string>> arguments;
    std::vector<const PAL::CLIParameter*> parameters;
};
void seeOption(void* owner, const PAL::CLIOption& option, const char* argument) {
    static_cast<Seen*>(owner)->options.push_back(&option);
    static_cast<Seen*>(owner)->arguments.push_back(
        argument != nullptr ? std::optional<std::string>(argument) : std::nullopt);
}
void seeParameter(void* owner, const PAL::CLIParameter& parameter, const char*) {
    static_cast<Seen*>(owner)->parameters.push_back(&parameter);
}

class SmallDefinition : public testing::Test {
protected:
    // Parses `elements` with `options` registered in order and the parameter "name".
    ParseOutcome parse(const Strings& elements, const std::vector<const PAL::CLIOption*>& options) {
        Strings all{"prog"};
        all.insert(all.end(), elements.begin(), elements.end());
        const auto argv = argvOf(all);
        PAL::CLIOptionParser parser(static_cast<int>(argv.size()), argv.data(), &seen);
        for (const PAL::CLIOption* option : options) {
            parser.addOption(*option);
        }
        parser.addParameter(PAL::CLIParameter("name", seeParameter, "Name"));
        ParseOutcome outcome = hktest::runParse(parser);
        parameterCopy = seen.parameters.empty() ? nullptr : &parser.getParameters().front();
        sameParameter = seen.parameters.empty() || seen.parameters.front() == parameterCopy;
        return outcome;
    }

    Seen seen;
    const PAL::CLIParameter* parameterCopy = nullptr;
    bool sameParameter = false;
};

TEST_F(SmallDefinition, CallbacksReceiveTheCallersOptionAndTheParsersParameterCopy) {
    const PAL::CLIOption flag('f', "flag", seeOption, "Flag", nullptr);
    const PAL::CLIOption value('v', "value", seeOption, "Value", "v");
    const ParseOutcome outcome = parse({"-f", "--value", "x", "n"}, {&flag, &value});
    EXPECT_FALSE(outcome.exitStatus);
    ASSERT_EQ(2u, seen.options.size());
    EXPECT_EQ(&flag, seen.options[0]);
    EXPECT_FALSE(seen.arguments[0]);
    EXPECT_EQ(&value, seen.options[1]);
    EXPECT_EQ("x", seen.arguments[1].value_or("(null)"));
    ASSERT_EQ(1u, seen.parameters.size());
    EXPECT_TRUE(sameParameter);
}

TEST_F(SmallDefinition, TheLaterOfTwoRegistrationsOfALetterWins) {
    const PAL::CLIOption first('x', "first", seeOption, "First", nullptr);
    const PAL::CLIOption second('x', "second", seeOption, "Second", nullptr);
    parse({"-x", "--first"}, {&first, &second});
    EXPECT_THAT(seen.options, testing::ElementsAre(&second, &first));
}

TEST_F(SmallDefinition, AOneCharacterWordSharesTheKeysOfLetters) {
    const PAL::CLIOption letter('x', "ex", seeOption, "Letter x", nullptr);
    const PAL::CLIOption word('y', "x", seeOption, "Word x", nullptr);
    parse({"-x", "--x", "--ex"}, {&letter, &word});
    EXPECT_THAT(seen.options, testing::ElementsAre(&word, &word, &letter));
}

TEST_F(SmallDefinition, LookupIsExactAndCaseSensitive) {
    const PAL::CLIOption list('l', "list", seeOption, "List", nullptr);
    const struct {
        const char* element;
        const char* record;
    } rows[] = {
        {"-L", "Unexpected option <L> "},
        {"--lis", "Unexpected option <lis> "}, // no abbreviations
        {"--LIST", "Unexpected option <LIST> "},
        {"--list=1", "Unexpected option <list=1> "},
    };
    for (const auto& row : rows) {
        const ParseOutcome outcome = parse({row.element}, {&list});
        EXPECT_EQ(-1, outcome.exitStatus.value_or(0)) << row.element;
        EXPECT_THAT(outcome.errorRecords, testing::ElementsAre(row.record));
    }
    EXPECT_TRUE(seen.options.empty());
}

TEST_F(SmallDefinition, OnlyTheNamesOfTheKindAreRegistered) {
    const PAL::CLIOption letterOnly('a', seeOption, "A", nullptr);
    const PAL::CLIOption wordOnly("bee", seeOption, "B", nullptr);
    PAL::CLIOption noKind('c', "cee", seeOption, "C", nullptr);
    noKind.kind = static_cast<PAL::CLIOption::OptionKind>(7);

    // "--a" finds the letter: letters and words share one map.
    EXPECT_FALSE(parse({"-a", "--bee", "--a"}, {&letterOnly, &wordOnly, &noKind}).exitStatus);
    EXPECT_THAT(seen.options, testing::ElementsAre(&letterOnly, &wordOnly, &letterOnly));
    const struct {
        const char* element;
        const char* record;
    } rows[] = {
        {"-b", "Unexpected option <b> "},
        {"-c", "Unexpected option <c> "},
        {"--cee", "Unexpected option <cee> "},
    };
    for (const auto& row : rows) {
        const ParseOutcome outcome = parse({row.element}, {&letterOnly, &wordOnly, &noKind});
        EXPECT_THAT(outcome.errorRecords, testing::ElementsAre(row.record)) << row.element;
    }
}

// ---- The state machine with the application's definition ----------------------------------

struct ParseRow {
    Strings elements;
    Strings calls;
    const char* fatalRecord; // null: the parse completes
};

void expectParse(const ParseRow& row) {
    std::string label;
    for (const std::string& e : row.elements) {
        label += "[" + e + "]";
    }
    SCOPED_TRACE(label.empty() ? "(none)" : label);
    AppCommandLine app(row.elements);
    const ParseOutcome outcome = hktest::runParse(app.parser());
    EXPECT_EQ(row.calls, app.calls);
    for (const void* owner : app.owners) {
        EXPECT_EQ(&app, owner);
    }
    if (row.fatalRecord == nullptr) {
        EXPECT_FALSE(outcome.exitStatus);
        EXPECT_EQ("", outcome.output);
        EXPECT_TRUE(outcome.errorRecords.empty());
    } else {
        EXPECT_EQ(-1, outcome.exitStatus.value_or(0));
        // The usage report with an empty message: no "** ERROR: " line.
        EXPECT_EQ(hktest::AppUsage, outcome.output);
        EXPECT_THAT(outcome.errorRecords, testing::ElementsAre(row.fatalRecord));
    }
}

TEST(ParserStateMachine, EdgeCases) {
    const Strings same{"d", "t:rsa2", "p:22", "<hostname>:host1"};
    const ParseRow rows[] = {
        {{}, {}, nullptr},                                          // Start reads the end at once
        {{"-lv"}, {"l", "v"}, nullptr},                             // grouped letters
        {{"-l-v"}, {"l", "v"}, nullptr},                            // a hyphen ends the group
        {{"-l-"}, {"l"}, "Unexpected \"- \""},                      // and may begin nothing
        {{"-l--verbose"}, {"l", "v"}, nullptr},                     // or a word
        {{"-vl", "--verbose"}, {"v", "l", "v"}, nullptr},           //
        {{"-d", "-t", "rsa2", "-p", "22", "host1"}, same, nullptr}, // separate arguments
        {{"-d", "-trsa2", "-p22", "host1"}, same, nullptr},         // attached arguments
        {{"--delete", "--ktyp", "rsa2", "--port", "22", "host1"}, same, nullptr}, // words
        {{"--ktyp=rsa2"}, {}, "Unexpected option <ktyp=rsa2> "},
        {{"-t", "-p", "22"}, {}, "CLIOption <t> requires an argument"},
        {{"--ktyp", "-p"}, {}, "CLIOption <ktyp> requires an argument"},
        {{"-t", "a b"}, {"t:a b"}, nullptr},         // joined in quotes, read as a quoted argument
        {{"-t", "ssh-rsa"}, {"t:ssh-rsa"}, nullptr}, // hyphens belong to the argument
        {{"-c", "-l", "-t", "ssh-dss", "-p", "22", "h"},
         {"c", "l", "t:ssh-dss", "p:22", "<hostname>:h"},
         nullptr},
        {{"-tssh-rsa-l"}, {"t:ssh-rsa-l"}, nullptr}, // an attached argument too
        {{"host1", "-l"}, {"<hostname>:host1"}, "Unexpected parameter <-l> "},
        {{"h1", "h2"}, {"<hostname>:h1"}, "Unexpected parameter <h2> "},
        {{"-"}, {}, "Unexpected \"- \""},
        {{"--"}, {}, "Unexpected \"- \""},
        {{"-l", "-"}, {"l"}, "Unexpected \"- \""},
        {{"-l", "--", "h"}, {"l"}, "Unexpected \"- \""},
        {{"---l"}, {}, "Unexpected \"-\""},
        {{"-q"}, {}, "Unexpected option <q> "},
        {{"--list--delete"}, {"l", "d"}, "Unexpected option <e> "},
        // The end of the line where an argument is due is reported like a hyphen there.
        {{"-t"}, {}, "CLIOption <t> requires an argument"},
        {{"-l", "--ktyp"}, {"l"}, "CLIOption <ktyp> requires an argument"},
        // White space inside one element never splits it: a list stays a list.
        {{"-c", "-l", "-t", "rsa2\t-d", "-p", "22", "host1"},
         {"c", "l", "t:rsa2\t-d", "p:22", "<hostname>:host1"},
         nullptr},
        {{"-c", "-l", "-t", "rsa2\n-d", "-p", "22", "host1"},
         {"c", "l", "t:rsa2\n-d", "p:22", "<hostname>:host1"},
         nullptr},
        // Quoted, the double quote would end it early: refused before any callback.
        {{"-v", "-c", "-l", "-p", "22\" -d -t\"rsa2", "host1"},
         {},
         "Argument <22\" -d -t\"rsa2> holds white space and a double quote"},
        // A quote one element opens would close at the next one's: refused the same way.
        {{"-c", "-l", "-t", "\"", "-p", "22 -d -t x", "-trsa2", "-p22", "host1"},
         {},
         "Argument <\"> opens a double quote it does not close"},
        {{"-t\"rsa2", "x"}, {}, "Argument <-t\"rsa2> opens a double quote it does not close"},
    };
    for (const ParseRow& row : rows) {
        expectParse(row);
    }
}

// The longest command line Windows passes (32,767 characters) is the longest any platform
// reads: a longer one is refused before any callback, -v included.
TEST(ParserStateMachine, ACommandLineLongerThanWindowsPassesIsRefused) {
    const std::pair<std::size_t, const char*> rows[] = {
        {32767, nullptr},
        {32768, "Command line too long <32768> "},
    };
    for (const auto& [length, record] : rows) {
        SCOPED_TRACE(length);
        const std::string host(length - std::string(" -v -l ").size(), 'h');
        AppCommandLine app({"-v", "-l", host});
        const ParseOutcome outcome = hktest::runParse(app.parser());
        if (record == nullptr) {
            EXPECT_FALSE(outcome.exitStatus);
            EXPECT_EQ((Strings{"v", "l", "<hostname>:" + host}), app.calls);
        } else {
            EXPECT_EQ(-1, outcome.exitStatus.value_or(0));
            EXPECT_EQ(hktest::AppUsage, outcome.output);
            EXPECT_THAT(outcome.errorRecords, testing::ElementsAre(record));
            EXPECT_TRUE(app.calls.empty());
        }
    }
}

TEST(ParserStateMachine, ConsequencesOfTheTransitionTable) {
    const ParseRow rows[] = {
        {{"-tl"}, {"t:l"}, nullptr},                      // the rest of the group is the argument
        {{"-lt", "rsa2"}, {"l", "t:rsa2"}, nullptr},      // letters before the one with an argument
        {{"-lvdsc"}, {"l", "v", "d", "s", "c"}, nullptr}, //
        {{"-t", "rsa2", "-l"}, {"t:rsa2", "l"}, nullptr}, // an unquoted argument ends at a blank
        {{"-t", "\"ab\"cd"}, {"t:abcd"}, nullptr},        // text after the closing quote continues
        {{"-t", "a-b c"}, {"t:a-b c"}, nullptr},          // hyphens are kept inside quotes
        {{"-t", "a\"b"}, {"t:a\"b"}, nullptr},            // a quote inside is ordinary
        {{"-t", "\xA0x"}, {"t:\xA0x"}, nullptr},          // 0xA0 is not white space
        {{"-t", "a\tb"}, {"t:a\tb"}, nullptr},            // a tab is, and is quoted
        {{"-t", "a\v\f\rb"}, {"t:a\v\f\rb"}, nullptr},
        {{"--list-d"}, {"l", "<hostname>:d"}, nullptr}, // the word step eats the hyphen
        {{"--port", "22", "--list"}, {"p:22", "l"}, nullptr},
        {{"h\"o-st"}, {"<hostname>:h\"o-st"}, nullptr},   // quotes and hyphens in parameters
        {{"\"host\""}, {"<hostname>:\"host\""}, nullptr}, //
        {{"host1", "--list"}, {"<hostname>:host1"}, "Unexpected parameter <--list> "},
        {{"-l\"x\""}, {"l"}, "Unexpected option <\"> "}, // a quote in a group is a letter
        {{"-\""}, {}, "Unexpected option <\"> "},
        {{"--\"x"}, {}, "Unexpected option <\"x> "},
    };
    for (const ParseRow& row : rows) {
        expectParse(row);
    }
}

TEST(ParserStateMachine, StateNames) {
    const std::pair<std::int32_t, const char*> rows[] = {
        {0, "Start"},
        {1, "OptionStart1"},
        {2, "OptionStart2"},
        {3, "LetterOption"},
        {4, "GatherWordOption"},
        {5, "WordOption"},
        {6, "StartArgument"},
        {7, "GatherArgument"},
        {8, "InQuotedArgument"},
        {9, "StartParameter"},
        {10, "Parameters"},
        {11, "** Unknown State **"}, // past the last state
        {-1, "** Unknown State **"},
    };
    for (const auto& [state, name] : rows) {
        EXPECT_STREQ(name, PAL::CLIOptionParser::stateName(state)) << state;
    }
}

TEST(ParserStateMachine, ParsingTwiceStartsOverAtTheFirstParameter) {
    AppCommandLine app({"-l", "host1"});
    EXPECT_FALSE(hktest::runParse(app.parser()).exitStatus);
    EXPECT_FALSE(hktest::runParse(app.parser()).exitStatus);
    EXPECT_EQ((Strings{"l", "<hostname>:host1", "l", "<hostname>:host1"}), app.calls);
}

TEST(ParserStateMachine, ReadPositionStopsAtBothEnds) {
    QuietLog quiet;
    AppCommandLine app({"-l"});
    PAL::CLIOptionParser& parser = app.parser();
    EXPECT_EQ(' ', parser.ungetChar()); // already at the beginning
    EXPECT_EQ(' ', parser.getNextChar());
    EXPECT_EQ('-', parser.getNextChar());
    EXPECT_EQ('l', parser.getNextChar());
    EXPECT_EQ('\0', parser.getNextChar());
    EXPECT_EQ('\0', parser.getNextChar()); // the end does not move
    EXPECT_EQ('l', parser.ungetChar());
}

TEST(ParserStateMachine, ProcessOptionForms) {
    QuietLog quiet;
    AppCommandLine app({});
    PAL::CLIOptionParser& parser = app.parser();
    parser.processOption(std::string("ktyp"), std::string("rsa2"));
    parser.processOption(std::string("port"), "22");
    parser.processOption('l', nullptr);
    parser.processParameter(std::string("host1"));
    EXPECT_EQ((Strings{"t:rsa2", "p:22", "l", "<hostname>:host1"}), app.calls);
}

TEST(ParserStateMachine, AnOptionThatRequiresAnArgumentIsNeverCalledWithout) {
    AppCommandLine app({});
    const ParseOutcome outcome =
        hktest::runTrapped([&app] { app.parser().processOption('t', nullptr); });
    EXPECT_EQ(-1, outcome.exitStatus.value_or(0));
    EXPECT_TRUE(app.calls.empty());
    EXPECT_THAT(outcome.errorRecords,
                testing::ElementsAre("CLIOption <[-t|--ktyp <type>]> requires an argument"));
    EXPECT_EQ(hktest::AppUsage, outcome.output);
}

TEST(ParserStateMachine, AParameterWithNoneLeftIsFatal) {
    const char* argv[] = {"prog"};
    PAL::CLIOptionParser parser(1, argv, nullptr);
    const ParseOutcome outcome = hktest::runTrapped([&parser] { parser.processParameter("x"); });
    EXPECT_EQ(-1, outcome.exitStatus.value_or(0));
    EXPECT_THAT(outcome.errorRecords, testing::ElementsAre("Unexpected parameter <x> "));
}

class OwnReport : public PAL::CLIOptionParser {
public:
    using PAL::CLIOptionParser::CLIOptionParser;
    void printUsage(const std::string& message) override { messages.push_back(message); }
    Strings messages;
};

TEST(ParserStateMachine, FatalErrorsReportThroughTheVirtualSlot) {
    const char* argv[] = {"prog", "-q"};
    OwnReport parser(2, argv, nullptr);
    const ParseOutcome outcome = hktest::runParse(parser);
    EXPECT_EQ(-1, outcome.exitStatus.value_or(0));
    EXPECT_EQ(Strings{""}, parser.messages);
    EXPECT_EQ("", outcome.output);
}

// ---- Trace records ------------------------------------------------------------------------

struct TraceRecord {
    std::string prefix; // "path:function:line "
    std::string text;
};

std::vector<TraceRecord> parseTraces(const Strings& elements) {
    hktest::TempDir logs;
    std::vector<TraceRecord> records;
    {
        hktest::ScopedLogSettings settings;
        PAL::setLogDirectory(logs.path().string());
        PAL::setLogFileName("");
        PAL::setTraceFileName("trace.log");
        PAL::setTraceMaskBits(PAL::TRACE_FINE);
        PAL::clearTraceComponents();
        AppCommandLine app(elements);
        app.parser().parseOptions();
    }
    for (const std::string& message :
         hktest::recordMessages(hktest::readFile(logs.file("trace.log")), "TRACE")) {
        // The prefix ends at the first space after the line number.
        const std::size_t function = message.find(":PAL::CLIOptionParser::");
        const std::size_t end = message.find(' ', function);
        if (function == std::string::npos || end == std::string::npos) {
            ADD_FAILURE() << "no location prefix: " << message;
            continue;
        }
        records.push_back({message.substr(0, end + 1), message.substr(end + 1)});
    }
    return records;
}

TEST(ParserTrace, StatesLocationsAndOptionsOfAShortCommandLine) {
    const std::vector<TraceRecord> records = parseTraces({"-l", "h"});
    const std::string commandLine = " -l h";
    // State before each step and the offset it reads.
    const struct {
        const char* state;
        std::size_t offset;
    } steps[] = {
        {"Start", 0}, {"Start", 1},          {"OptionStart1", 2}, {"LetterOption", 2}, {"Start", 3},
        {"Start", 4}, {"StartParameter", 4}, {"Parameters", 4},   {"Parameters", 5}, // 5: the end
    };
    std::size_t at = 0;
    for (const auto& step : steps) {
        SCOPED_TRACE(std::string(step.state) + " reading offset " + std::to_string(step.offset));
        ASSERT_LT(at + 2, records.size());
        EXPECT_TRUE(hktest::isLocationPrefix(
            records[at].prefix,
            "provider/src/CLIOptionParser.cpp:PAL::CLIOptionParser::parseOptionsImpl:"))
            << records[at].prefix;
        EXPECT_EQ(std::string("Current State: ") + step.state, records[at].text);

        const TraceRecord& location = records[at + 1];
        const TraceRecord& caret = records[at + 2];
        EXPECT_TRUE(hktest::isLocationPrefix(
            location.prefix, "provider/src/CLIOptionParser.cpp:PAL::CLIOptionParser::getNextChar:"))
            << location.prefix;
        EXPECT_EQ("Current Location: \"" + commandLine + "\"", location.text);
        // Printed one above the other, the caret stands under the character to be read.
        EXPECT_EQ(location.prefix.size(), caret.prefix.size());
        EXPECT_EQ(std::string(19 + step.offset, ' ') + "^", caret.text);
        const std::string below = step.offset < commandLine.size()
                                      ? std::string(1, commandLine[step.offset])
                                      : std::string("\"");
        EXPECT_EQ(below, location.text.substr(caret.text.size() - 1, 1));
        at += 3;
        if (std::string(step.state) == "LetterOption") {
            ASSERT_LT(at, records.size());
            EXPECT_TRUE(hktest::isLocationPrefix(
                records[at].prefix,
                "provider/src/CLIOptionParser.cpp:PAL::CLIOptionParser::processOption:"))
                << records[at].prefix;
            EXPECT_EQ("Processing Option <[-l|--list]> with arg <null> ", records[at].text);
            ++at;
        }
    }
    EXPECT_EQ(records.size(), at);
}

TEST(ParserTrace, ProcessingAnOptionShowsItsArgument) {
    Strings texts;
    for (const TraceRecord& record : parseTraces({"--ktyp", "rsa2"})) {
        if (record.text.rfind("Processing", 0) == 0) {
            texts.push_back(record.text);
        }
    }
    EXPECT_EQ(Strings{"Processing Option <[-t|--ktyp <type>]> with arg <rsa2> "}, texts);
}

// ---- The real exit ------------------------------------------------------------------------

TEST(ParserDeathTest, AParseErrorEndsTheProcessWithMinusOne) {
    QuietLog quiet;
    AppCommandLine unknown({"-q"});
    EXPECT_EXIT(unknown.parser().parseOptions(), exitedWithMinusOne, "");
    AppCommandLine extra({"h1", "h2"});
    EXPECT_EXIT(extra.parser().parseOptions(), exitedWithMinusOne, "");
}

} // namespace
