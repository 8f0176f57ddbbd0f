#include "PAL/CLIOptionParser.h"

#include "PAL/File.h"
#include "PAL/LogUtil.h"
#include "PAL/Process.h"

#include <algorithm>
#include <iostream>
#include <string>

namespace PAL {
namespace {

std::string bracketed(const std::string& names, const char* argumentName) {
    std::string text = "[" + names;
    if (argumentName != nullptr) {
        text += " <";
        text += argumentName;
        text += ">";
    }
    text += "]";
    return text;
}

// The longest command line Windows passes to a program. A longer one is refused on every
// platform, before anything is traced: tracing it costs two copies of it per character.
constexpr std::size_t MaxCommandLine = 32767;

// The C locale's white space; bytes of 0x80 and above never are.
bool isWhitespace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// A double quote opens a quoted argument only where an argument starts: at the start of an
// element, or after option letters in the same element (a word option takes no attached
// argument). Its partner is the next double quote, so only an element holding a single one can
// leave the quote open; the next elements would then be read as the argument, and whatever
// follows their closing quote as options: a list could become a delete.
bool opensUnclosedQuote(const std::string& element) {
    if (std::count(element.begin(), element.end(), '"') != 1) {
        return false;
    }
    const std::size_t quote = element.find('"');
    const bool letterGroup = element.size() > 1 && element[0] == '-' && element[1] != '-';
    return quote == 0 || (letterGroup && quote > 1);
}

enum CharClass { Hyphen, Quote, Whitespace, End, Other, CharClassCount };

CharClass classify(char c) {
    if (c == '-') {
        return Hyphen;
    }
    if (c == '"') {
        return Quote;
    }
    if (c == '\0') {
        return End;
    }
    return isWhitespace(c) ? Whitespace : Other;
}

// What one step does besides moving: the work on the buffers, a lookup, or a fatal error.
enum class Op {
    None,
    FatalDashBlank, // "Unexpected \"- \""
    FatalDash,      // "Unexpected \"-\""
    NameSet,
    NameAppend,
    LetterStep, // chooses the next state and the test character itself
    WordStep,   // chooses the next state itself
    MissingArgument,
    ArgClear,
    ArgAppend,
    FinishArgument,
    TextClear,
    TextAppend,
    HandOverText,
};

// After the action: keep the read position; move back one character so that the next step
// reads it again; or move back and let the character now at the read position, not the one
// read, decide whether the run stops.
enum Move { Keep, Back, BackTestThere };

struct Cell {
    Op op;
    CLIOptionParser::ParserState next;
    Move move;
};

using P = CLIOptionParser;
constexpr int StateCount = P::Parameters + 1;

// Rows by state, columns hyphen, double quote, whitespace, end, other.
constexpr Cell Transitions[StateCount][CharClassCount] = {
    // Start
    {{Op::None, P::OptionStart1, Keep},
     {Op::None, P::StartParameter, Back},
     {Op::None, P::Start, Keep},
     {Op::None, P::Start, Keep},
     {Op::None, P::StartParameter, Back}},
    // OptionStart1
    {{Op::None, P::OptionStart2, Keep},
     {Op::None, P::LetterOption, Back},
     {Op::FatalDashBlank, P::OptionStart1, Keep},
     {Op::FatalDashBlank, P::OptionStart1, Keep},
     {Op::None, P::LetterOption, Back}},
    // OptionStart2
    {{Op::FatalDash, P::OptionStart2, Keep},
     {Op::NameSet, P::GatherWordOption, Keep},
     {Op::FatalDashBlank, P::OptionStart2, Keep},
     {Op::FatalDashBlank, P::OptionStart2, Keep},
     {Op::NameSet, P::GatherWordOption, Keep}},
    // LetterOption: only a double quote or an other character can be read here.
    {{Op::None, P::LetterOption, Keep},
     {Op::LetterStep, P::LetterOption, Keep},
     {Op::None, P::LetterOption, Keep},
     {Op::None, P::LetterOption, Keep},
     {Op::LetterStep, P::LetterOption, Keep}},
    // GatherWordOption: moving back from the end lands on the word's last character, so a
    // word that ends the command line is still processed.
    {{Op::None, P::WordOption, BackTestThere},
     {Op::NameAppend, P::GatherWordOption, Keep},
     {Op::None, P::WordOption, BackTestThere},
     {Op::None, P::WordOption, BackTestThere},
     {Op::NameAppend, P::GatherWordOption, Keep}},
    // WordOption: the character read ended the word and is dropped.
    {{Op::WordStep, P::WordOption, Keep},
     {Op::WordStep, P::WordOption, Keep},
     {Op::WordStep, P::WordOption, Keep},
     {Op::WordStep, P::WordOption, Keep},
     {Op::WordStep, P::WordOption, Keep}},
    // StartArgument: an option that requires an argument but meets the end is bad input like
    // one that meets a hyphen, and is reported the same way.
    {{Op::MissingArgument, P::StartArgument, Keep},
     {Op::ArgClear, P::InQuotedArgument, Keep},
     {Op::ArgClear, P::StartArgument, Keep},
     {Op::MissingArgument, P::StartArgument, Keep},
     {Op::ArgClear, P::GatherArgument, Back}},
    // GatherArgument: a hyphen inside an argument is part of it. PuTTY's own key types
    // (ssh-ed25519, ecdsa-sha2-nistp256) hold hyphens, and ending the argument there would
    // read the rest as option letters: "-t ssh-dss" would turn into a delete (-d) of another
    // cache (-s).
    {{Op::ArgAppend, P::GatherArgument, Keep},
     {Op::ArgAppend, P::GatherArgument, Keep},
     {Op::FinishArgument, P::Start, Back},
     {Op::FinishArgument, P::Start, Keep},
     {Op::ArgAppend, P::GatherArgument, Keep}},
    // InQuotedArgument: a quote never closed leaves the option without an argument, which is
    // reported as in StartArgument.
    {{Op::ArgAppend, P::InQuotedArgument, Keep},
     {Op::None, P::GatherArgument, Keep},
     {Op::ArgAppend, P::InQuotedArgument, Keep},
     {Op::MissingArgument, P::InQuotedArgument, Keep},
     {Op::ArgAppend, P::InQuotedArgument, Keep}},
    // StartParameter
    {{Op::TextClear, P::Parameters, Back},
     {Op::TextClear, P::Parameters, Back},
     {Op::None, P::StartParameter, Keep},
     {Op::None, P::StartParameter, Keep},
     {Op::TextClear, P::Parameters, Back}},
    // Parameters
    {{Op::TextAppend, P::Parameters, Keep},
     {Op::TextAppend, P::Parameters, Keep},
     {Op::HandOverText, P::StartParameter, Back},
     {Op::HandOverText, P::StartParameter, Keep},
     {Op::TextAppend, P::Parameters, Keep}},
};

// The parser's trace records are steps of progress; composing them costs a copy of the whole
// command line per character, so they are composed only when they will be written.
bool tracing() {
    return isTraceActive(TC_PAL, TRACE_FINE);
}

void endLine(std::ostream& out) {
    out << '\n';
    out.flush();
}

} // namespace

CLIOption::CLIOption(char optionLetter, const std::string& optionWord, OptionCallback function,
                     const std::string& text, const char* argumentName)
    : description(text), letter(optionLetter), word(optionWord), kind(LetterAndWord),
      usageText(bracketed(std::string("-") + optionLetter + "|--" + optionWord, argumentName)),
      callback(function), requiresArgument(argumentName != nullptr) {}

CLIOption::CLIOption(char optionLetter, OptionCallback function, const std::string& text,
                     const char* argumentName)
    : description(text), letter(optionLetter), kind(LetterOnly),
      usageText(bracketed(std::string("-") + optionLetter, argumentName)), callback(function),
      requiresArgument(argumentName != nullptr) {}

CLIOption::CLIOption(const std::string& optionWord, OptionCallback function,
                     const std::string& text, const char* argumentName)
    : description(text), letter('\0'), word(optionWord), kind(WordOnly),
      usageText(bracketed("--" + optionWord, argumentName)), callback(function),
      requiresArgument(argumentName != nullptr) {}

CLIParameter::CLIParameter(const std::string& name, ParameterCallback function,
                           const std::string& text)
    : description(text), usageText("<" + name + ">"), callback(function) {}

CLIOptionParser::CLIOptionParser(int argc, const char* const* argv, void* ownerPointer)
    : owner(ownerPointer) {
    for (int i = 0; argv != nullptr && i < argc; ++i) {
        arguments.emplace_back(argv[i] != nullptr ? argv[i] : "");
    }
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::string& element = arguments[i];
        // Unquoted, any white space the machine splits at would make one element several, and
        // a list could become a delete. Quoted, a double quote inside would end it early: such
        // an element cannot be joined, and the parse refuses it.
        const bool quoted = std::any_of(element.begin(), element.end(), isWhitespace);
        if (unjoinable.empty()) {
            if (quoted && element.find('"') != std::string::npos) {
                unjoinable = element;
                unjoinableReason = "holds white space and a double quote";
            } else if (opensUnclosedQuote(element)) {
                unjoinable = element;
                unjoinableReason = "opens a double quote it does not close";
            }
        }
        commandLine += ' ';
        if (quoted) {
            commandLine += '"';
        }
        commandLine += element;
        if (quoted) {
            commandLine += '"';
        }
    }
}

CLIOptionParser::~CLIOptionParser() = default;

void CLIOptionParser::addOption(const CLIOption& option) {
    options.push_back(option);
    switch (option.kind) {
    case CLIOption::LetterOnly:
        optionMap[std::string(1, option.letter)] = &option;
        break;
    case CLIOption::WordOnly:
        optionMap[option.word] = &option;
        break;
    case CLIOption::LetterAndWord:
        optionMap[std::string(1, option.letter)] = &option;
        optionMap[option.word] = &option;
        break;
    default:
        break;
    }
}

void CLIOptionParser::addParameter(const CLIParameter& parameter) {
    parameters.push_back(parameter);
}

const char* CLIOptionParser::stateName(std::int32_t state) {
    static const char* const names[StateCount] = {
        "Start",      "OptionStart1",  "OptionStart2",   "LetterOption",     "GatherWordOption",
        "WordOption", "StartArgument", "GatherArgument", "InQuotedArgument", "StartParameter",
        "Parameters"};
    if (state < 0 || state >= StateCount) {
        return "** Unknown State **";
    }
    return names[state];
}

void CLIOptionParser::fatal(const std::string& record) {
    logMessage(TC_PAL, LOG_ERROR, record);
    printUsage("");
    exitProcess(-1);
}

const CLIOption& CLIOptionParser::findOption(const std::string& name) {
    const auto found = optionMap.find(name);
    if (found == optionMap.end()) {
        fatal("Unexpected option <" + name + "> ");
    }
    return *found->second;
}

char CLIOptionParser::peekChar() const {
    return readPosition < commandLine.size() ? commandLine[readPosition] : '\0';
}

char CLIOptionParser::getNextChar() {
    if (tracing()) {
        // Both prefixes come from lines with the same number of digits, so the caret stands
        // under the character about to be read.
        traceMessage(TC_PAL, TRACE_FINE,
                     PAL_LOCATION("PAL::CLIOptionParser::getNextChar") + "Current Location: \"" +
                         commandLine + "\"");
        traceMessage(TC_PAL, TRACE_FINE,
                     PAL_LOCATION("PAL::CLIOptionParser::getNextChar") + std::string(19, ' ') +
                         std::string(readPosition, ' ') + "^");
    }
    const char c = peekChar();
    if (readPosition < commandLine.size()) {
        ++readPosition;
    }
    return c;
}

char CLIOptionParser::ungetChar() {
    if (readPosition > 0) {
        --readPosition;
    }
    return peekChar();
}

void CLIOptionParser::processOption(const CLIOption& option, const char* argument) {
    if (tracing()) {
        traceMessage(TC_PAL, TRACE_FINE,
                     PAL_LOCATION("PAL::CLIOptionParser::processOption") + "Processing Option <" +
                         option.usageText + "> with arg <" +
                         (argument != nullptr ? argument : "null") + "> ");
    }
    if (option.requiresArgument && argument == nullptr) {
        fatal("CLIOption <" + option.usageText + "> requires an argument");
    }
    if (option.callback != nullptr) {
        option.callback(owner, option, argument);
    }
}

void CLIOptionParser::processOption(const std::string& name, const char* argument) {
    processOption(findOption(name), argument);
}

void CLIOptionParser::processOption(const std::string& name, const std::string& argument) {
    processOption(findOption(name), argument.c_str());
}

void CLIOptionParser::processOption(char letter, const char* argument) {
    processOption(findOption(std::string(1, letter)), argument);
}

void CLIOptionParser::processParameter(const char* text) {
    const char* value = text != nullptr ? text : "";
    if (currentParameter >= parameters.size()) {
        fatal("Unexpected parameter <" + std::string(value) + "> ");
    }
    const CLIParameter& parameter = parameters[currentParameter];
    if (parameter.callback != nullptr) {
        parameter.callback(owner, parameter, value);
    }
    ++currentParameter;
}

void CLIOptionParser::processParameter(const std::string& text) {
    processParameter(text.c_str());
}

void CLIOptionParser::parseOptions() {
    parseOptionsImpl();
}

void CLIOptionParser::parseOptionsImpl() {
    if (commandLine.size() > MaxCommandLine) {
        fatal("Command line too long <" + std::to_string(commandLine.size()) + "> ");
    }
    if (!unjoinable.empty()) {
        fatal("Argument <" + unjoinable + "> " + unjoinableReason);
    }
    readPosition = 0;
    currentParameter = 0;
    ParserState state = Start;
    std::string name;
    std::string arg;
    std::string text;

    for (;;) {
        if (tracing()) {
            traceMessage(TC_PAL, TRACE_FINE,
                         PAL_LOCATION("PAL::CLIOptionParser::parseOptionsImpl") +
                             "Current State: " + stateName(state));
        }
        const char c = getNextChar();
        const Cell& cell = Transitions[state][classify(c)];
        ParserState next = cell.next;
        char test = c;

        switch (cell.op) {
        case Op::None:
            break;
        case Op::FatalDashBlank:
            fatal("Unexpected \"- \"");
        case Op::FatalDash:
            fatal("Unexpected \"-\"");
        case Op::NameSet:
            name.assign(1, c);
            break;
        case Op::NameAppend:
            name += c;
            break;
        case Op::LetterStep:
            name.assign(1, c);
            if (findOption(name).requiresArgument) {
                next = StartArgument;
                break;
            }
            processOption(c, nullptr);
            // A following letter of the same group is the next option.
            test = peekChar();
            next = (test == '-' || test == '\0' || isWhitespace(test)) ? Start : LetterOption;
            break;
        case Op::WordStep:
            if (findOption(name).requiresArgument) {
                next = StartArgument;
                break;
            }
            processOption(name, nullptr);
            next = Start;
            break;
        case Op::MissingArgument:
            fatal("CLIOption <" + name + "> requires an argument");
        case Op::ArgClear:
            arg.clear();
            break;
        case Op::ArgAppend:
            arg += c;
            break;
        case Op::FinishArgument:
            processOption(name, arg.c_str());
            break;
        case Op::TextClear:
            text.clear();
            break;
        case Op::TextAppend:
            text += c;
            break;
        case Op::HandOverText:
            processParameter(text);
            break;
        }

        if (cell.move != Keep) {
            ungetChar();
        }
        if (cell.move == BackTestThere) {
            test = peekChar();
        }
        state = next;
        if (test == '\0') {
            return;
        }
    }
}

void CLIOptionParser::printUsage(const std::string& message) {
    std::ostream& out = std::cout;
    constexpr std::size_t Columns = 80;

    if (!message.empty()) {
        out << "** ERROR: " << message;
        endLine(out);
    }

    const File program(arguments.empty() ? std::string() : arguments.front());
    const std::string head = "usage: " + program.getFileName();
    const std::size_t width = head.size();
    const std::string indent(width, ' ');
    std::size_t column = width;
    out << head;

    bool firstLetter = true;
    for (const CLIOption& option : options) {
        if (option.kind == CLIOption::WordOnly || option.requiresArgument) {
            continue;
        }
        if (firstLetter) {
            out << " -";
            column += 2;
            firstLetter = false;
        }
        if (column + 1 > Columns) {
            endLine(out);
            out << indent;
            column = width + 1;
        } else {
            column += 1;
        }
        out << option.letter;
    }

    const auto item = [&](const std::string& usage) {
        const std::size_t length = usage.size();
        if (column + length + 1 > Columns) {
            endLine(out);
            out << indent;
            column = width + length + 1;
        } else {
            column += length + 1;
        }
        out << ' ' << usage;
    };
    for (const CLIOption& option : options) {
        if (option.kind != CLIOption::LetterOnly && !option.requiresArgument) {
            item(option.usageText);
        }
    }
    for (const CLIOption& option : options) {
        if (option.requiresArgument) {
            item(option.usageText);
        }
    }
    for (const CLIParameter& parameter : parameters) {
        item(parameter.usageText);
    }
    endLine(out);

    std::size_t longest = 0;
    for (const CLIOption& option : options) {
        longest = std::max(longest, option.usageText.size());
    }
    const std::size_t descriptionColumn = longest + 1;
    const auto row = [&](const std::string& usage, const std::string& description) {
        const std::size_t filler =
            usage.size() < descriptionColumn ? descriptionColumn - usage.size() : 1;
        out << "    " << usage << std::string(filler, ' ') << " - " << description;
        endLine(out);
    };
    for (const CLIOption& option : options) {
        row(option.usageText, option.description);
    }
    for (const CLIParameter& parameter : parameters) {
        row(parameter.usageText, parameter.description);
    }
}

} // namespace PAL
