// A command of hkcache: one file declares its options on its subcommand and runs it, as
// CLI11's subcom_in_files example has it; the options that several commands share are declared
// here, once.
#ifndef HK_GUI_HKCACHE_COMMAND_H
#define HK_GUI_HKCACHE_COMMAND_H

#include "Diagnostics.h"
#include "HostFilter.h"

#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace CLI {
class App;
class Option;
} // namespace CLI

namespace hkcache {

struct Command {
    CLI::App* subcommand;
    // Runs it once the command line is parsed.
    std::function<ExitStatus(std::ostream& out, Diagnostics& diagnostics)> run;
};

// Adds a command to `app`. Each command's file has one, and HkCache.cpp's table lists them.
using DeclareCommand = Command (*)(CLI::App& app);

// The keys a command asks for.
struct Selection {
    std::vector<std::string> hosts; // HOST, HOST:PORT, [HOST]:PORT; none: every host
    std::string type;               // PuTTY's or OpenSSH's name; empty: every type
    unsigned port = 0;              // 0: every port
    std::string cache = "current";
};

// The filter of a selection's hosts, type and port; nullopt, with the error reported, for a host
// of none of the forms.
std::optional<KeyFilter> filterOf(const Selection& selection, Diagnostics& diagnostics);

// HOST..., --type, --port and --cache; `hostHelp` and `typeHelp` say what they do here.
CLI::Option* addSelection(CLI::App& command, Selection& selection, const std::string& hostHelp,
                          const std::string& typeHelp);
// --cache: current, default, all or user:NAME.
void addCacheOption(CLI::App& command, std::string& cache);
// What --cache takes, as the completion offers it: its names, and "user:" before a user's.
std::vector<std::string> cacheWords();
// An output format, one of `names`, under `flags` (CLI11's "--format,-f").
void addFormatOption(CLI::App& command, std::string& format, const std::vector<std::string>& names,
                     const std::string& help, const std::string& flags = "--format,-f");

} // namespace hkcache

#endif // HK_GUI_HKCACHE_COMMAND_H
