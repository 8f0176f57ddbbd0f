#include "Command.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <iterator>

namespace hkcache {
namespace {

const char* const CacheNames[] = {"current", "default", "all"};
const std::string UserPrefix = "user:";

bool validCache(const std::string& which) {
    return std::find(std::begin(CacheNames), std::end(CacheNames), which) != std::end(CacheNames) ||
           (which.rfind(UserPrefix, 0) == 0 && which.size() > UserPrefix.size());
}

} // namespace

std::vector<std::string> cacheWords() {
    std::vector<std::string> words(std::begin(CacheNames), std::end(CacheNames));
    words.push_back(UserPrefix);
    return words;
}

CLI::Option* addSelection(CLI::App& command, Selection& selection, const std::string& hostHelp,
                          const std::string& typeHelp) {
    CLI::Option* hosts = command.add_option("HOST", selection.hosts, hostHelp);
    command.add_option("--type,-t", selection.type, typeHelp)->type_name("TYPE");
    command.add_option("--port,-p", selection.port, "Only keys for this port")
        ->type_name("PORT")
        ->check(CLI::Range(1, 65535));
    addCacheOption(command, selection.cache);
    return hosts;
}

void addCacheOption(CLI::App& command, std::string& cache) {
    const CLI::Validator valid(
        [](std::string& value) {
            return validCache(value) ? std::string()
                                     : "must be current, default, all or user:NAME, not " + value;
        },
        "", "cache");
    command.add_option("--cache,-c", cache, "current (default), default, all or user:NAME")
        ->type_name("CACHE")
        ->check(valid);
}

void addFormatOption(CLI::App& command, std::string& format, const std::vector<std::string>& names,
                     const std::string& help, const std::string& flags) {
    command.add_option(flags, format, help)->type_name("FORMAT")->check(CLI::IsMember(names));
}

std::optional<KeyFilter> filterOf(const Selection& selection, Diagnostics& diagnostics) {
    return makeKeyFilter(selection.hosts, selection.type, selection.port, diagnostics);
}

} // namespace hkcache
