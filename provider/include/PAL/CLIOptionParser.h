// Command-line definitions (options and positional parameters) and the parser that reads the
// joined command line one character at a time and calls their callbacks.
#ifndef PAL_CLIOPTIONPARSER_H
#define PAL_CLIOPTIONPARSER_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace PAL {

struct CLIOption;
struct CLIParameter;

// Plain functions: (owner, matched record, argument text or null). The text points into the
// parser's buffer and is valid only during the call.
using OptionCallback = void (*)(void* owner, const CLIOption& option, const char* argument);
// (owner, the parser's copy of the parameter, parameter text; never null).
using ParameterCallback = void (*)(void* owner, const CLIParameter& parameter, const char* text);

struct CLIOption {
    enum OptionKind : std::int32_t { LetterOnly = 0, WordOnly = 1, LetterAndWord = 2 };

    // Letter and word; requires an argument when `argumentName` is not null.
    // usageText: "[-l|--list]" or "[-p|--port <port>]".
    CLIOption(char letter, const std::string& word, OptionCallback callback,
              const std::string& description, const char* argumentName);
    // Letter only. usageText: "[-x]" or "[-x <arg>]".
    CLIOption(char letter, OptionCallback callback, const std::string& description,
              const char* argumentName);
    // Word only. usageText: "[--word]" or "[--word <arg>]".
    CLIOption(const std::string& word, OptionCallback callback, const std::string& description,
              const char* argumentName);

    std::string description;
    char letter;
    std::string word;
    OptionKind kind;
    std::string usageText;
    OptionCallback callback;
    bool requiresArgument;
};

struct CLIParameter {
    // usageText: "<" + name + ">".
    CLIParameter(const std::string& name, ParameterCallback callback,
                 const std::string& description);

    std::string description;
    std::string usageText;
    ParameterCallback callback;
};

class CLIOptionParser {
public:
    enum ParserState : std::int32_t {
        Start = 0,
        OptionStart1 = 1,
        OptionStart2 = 2,
        LetterOption = 3,
        GatherWordOption = 4,
        WordOption = 5,
        StartArgument = 6,
        GatherArgument = 7,
        InQuotedArgument = 8,
        StartParameter = 9,
        Parameters = 10
    };

    // Copies the argument vector (program path first) and joins the elements after the path
    // into the command-line text, each after one space, quoted when it holds white space. An
    // element that holds white space and a double quote, or opens a double quote it does not
    // close, cannot be joined: every parse refuses the command line.
    CLIOptionParser(int argc, const char* const* argv, void* owner);
    CLIOptionParser(const CLIOptionParser&) = delete;
    CLIOptionParser& operator=(const CLIOptionParser&) = delete;

    // Prints the "** ERROR: " line (unless `message` is empty) and the usage report. The first
    // virtual slot: a class that replaces the report receives the parser's own errors too.
    virtual void printUsage(const std::string& message);
    virtual ~CLIOptionParser();

    // Registers `option` by reference: it must outlive every parse. The last registration of a
    // name wins for lookup; the usage report shows every registration.
    void addOption(const CLIOption& option);
    // Registers a copy of `parameter`.
    void addParameter(const CLIParameter& parameter);

    // Reads the whole command line, calling the callbacks in order. Any error is fatal: a log
    // record, the usage report and exit status -1. May be called again; each run starts over.
    void parseOptions();

    void setOwner(void* newOwner) { owner = newOwner; }
    void* getOwner() const { return owner; }
    const std::string& getCommandLine() const { return commandLine; }
    const std::vector<std::string>& getArguments() const { return arguments; }
    const std::vector<CLIOption>& getOptions() const { return options; }
    const std::vector<CLIParameter>& getParameters() const { return parameters; }

    // "Start" ... "Parameters", or "** Unknown State **".
    static const char* stateName(std::int32_t state);

    // The option registered under `name`; fatal when there is none.
    const CLIOption& findOption(const std::string& name);
    // The character at the read position (NUL at the end, without moving), then advances.
    char getNextChar();
    // Moves back one character unless at the beginning; returns the character now there.
    char ungetChar();
    // Traces, checks the argument, calls the option's callback.
    void processOption(const CLIOption& option, const char* argument);
    void processOption(const std::string& name, const char* argument);
    void processOption(const std::string& name, const std::string& argument);
    void processOption(char letter, const char* argument);
    // Hands `text` to the current parameter and moves on; fatal when none is left.
    void processParameter(const char* text);
    void processParameter(const std::string& text);

protected:
    void parseOptionsImpl();

private:
    // Writes `record` as an ERROR, prints the usage report (through the virtual slot) and ends
    // the process with status -1.
    [[noreturn]] void fatal(const std::string& record);
    // The character at the read position without consuming it; NUL at the end.
    char peekChar() const;

    std::vector<CLIParameter> parameters;
    std::size_t currentParameter = 0;
    std::size_t readPosition = 0;
    std::vector<std::string> arguments;
    void* owner;
    std::string commandLine;
    // The first element that could not be joined (empty when every one was), and why.
    std::string unjoinable;
    const char* unjoinableReason = "";
    std::map<std::string, const CLIOption*> optionMap;
    std::vector<CLIOption> options;
};

} // namespace PAL

#endif // PAL_CLIOPTIONPARSER_H
