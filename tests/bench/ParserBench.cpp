// Parsing cost per character of the command line with logging off, as the program runs
// without -v. Flat ns/char from 1 K to 32 K characters (the longest Windows command line)
// shows the cost is linear in the line's length.
#include "PAL/CLIOptionParser.h"

#include "PAL/LogUtil.h"

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

namespace {

void count(void* owner, const PAL::CLIOption&, const char*) {
    ++*static_cast<long*>(owner);
}
void countParameter(void* owner, const PAL::CLIParameter&, const char*) {
    ++*static_cast<long*>(owner);
}

// The elements after the program path for a command line of about `length` characters.
using Shape = std::vector<std::string> (*)(std::size_t length);

std::vector<std::string> longArgument(std::size_t length) {
    return {"-l", "-t", std::string(length - 7, 'k')};
}
std::vector<std::string> groupedLetters(std::size_t length) {
    return {"-" + std::string(length - 2, 'l')};
}
std::vector<std::string> quotedArgument(std::size_t length) {
    std::string value(length - 8, 'q');
    for (std::size_t i = 0; i < value.size(); i += 8) {
        value[i] = ' ';
    }
    return {"-t", value};
}
std::vector<std::string> manyOptions(std::size_t length) {
    std::vector<std::string> elements;
    for (std::size_t used = 0; used + 22 + 5 <= length; used += 22) { // " --list -p 22 --ktyp x"
        elements.insert(elements.end(), {"--list", "-p", "22", "--ktyp", "x"});
    }
    elements.push_back("host");
    return elements;
}

void parse(benchmark::State& state, Shape shape) {
    PAL::setLogFileName("");
    PAL::setTraceFileName("");
    std::vector<std::string> all{"hkprune"};
    const std::vector<std::string> elements = shape(static_cast<std::size_t>(state.range(0)));
    all.insert(all.end(), elements.begin(), elements.end());
    std::vector<const char*> argv;
    for (const std::string& s : all) {
        argv.push_back(s.c_str());
    }
    long calls = 0;
    PAL::CLIOptionParser parser(static_cast<int>(argv.size()), argv.data(), &calls);
    const PAL::CLIOption list('l', "list", count, "List", nullptr);
    const PAL::CLIOption port('p', "port", count, "Port", "port");
    const PAL::CLIOption type('t', "ktyp", count, "Type", "type");
    parser.addOption(list);
    parser.addOption(port);
    parser.addOption(type);
    parser.addParameter(PAL::CLIParameter("hostname", countParameter, "Host"));

    for (auto _ : state) {
        parser.parseOptions();
    }
    benchmark::DoNotOptimize(calls);
    const double characters = static_cast<double>(parser.getCommandLine().size());
    state.counters["chars"] = characters;
    state.counters["ns/char"] = benchmark::Counter(
        characters, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

#define SIZES Arg(1024)->Arg(8192)->Arg(32767)
BENCHMARK_CAPTURE(parse, longArgument, longArgument)->SIZES;
BENCHMARK_CAPTURE(parse, groupedLetters, groupedLetters)->SIZES;
BENCHMARK_CAPTURE(parse, quotedArgument, quotedArgument)->SIZES;
BENCHMARK_CAPTURE(parse, manyOptions, manyOptions)->SIZES;

} // namespace
