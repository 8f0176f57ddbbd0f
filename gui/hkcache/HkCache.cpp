// The command line: hkcache's commands, from the table below, parsed by CLI11 and run.
#include "HkCache.h"

#include "Ansible.h"
#include "Command.h"
#include "CommandLine.h"
#include "Completion.h"
#include "Diagnostics.h"
#include "Fetch.h"
#include "Import.h"
#include "List.h"
#include "Removal.h"
#include "Restore.h"
#include "Verify.h"

#include "PAL/Escape.h"
#include "PAL/Process.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <iostream>
#include <new>
#include <string_view>

#ifndef HKCACHE_VERSION
#error "HKCACHE_VERSION is set by the build"
#endif

namespace hkcache {
namespace {

// A new command is a file with its DeclareCommand, and a row here (the order of --help).
const DeclareCommand Commands[] = {declareList,   declareRemove, declareRestore, declareImport,
                                   declareVerify, declareFetch,  declareAnsible};

// The command that was parsed; the first one when none was (a parse error ends the run first).
const Command& parsedCommand(const std::vector<Command>& commands) {
    for (const Command& command : commands) {
        if (command.subcommand->parsed()) {
            return command;
        }
    }
    return commands.front();
}

// Edits from `typed` to `name`, a swap of two neighbours counted as one (the optimal string
// alignment distance): "lsit" is one from "list".
std::size_t distance(std::string_view typed, std::string_view name) {
    std::vector<std::vector<std::size_t>> d(typed.size() + 1,
                                            std::vector<std::size_t>(name.size() + 1));
    for (std::size_t i = 0; i <= typed.size(); ++i) {
        for (std::size_t j = 0; j <= name.size(); ++j) {
            if (i == 0 || j == 0) {
                d[i][j] = i + j;
                continue;
            }
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1,
                                d[i - 1][j - 1] + (typed[i - 1] == name[j - 1] ? 0 : 1)});
            if (i > 1 && j > 1 && typed[i - 1] == name[j - 2] && typed[i - 2] == name[j - 1]) {
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
    }
    return d[typed.size()][name.size()];
}

// The line for a first argument that is neither an option nor a command, naming the nearest
// command (a slip of two edits, or the start of a name), else them all; empty for a command.
std::string unknownCommand(const std::vector<std::string>& args, const CLI::App& app) {
    const auto first = std::find_if(args.begin(), args.end(), [](const std::string& arg) {
        return arg.empty() || arg[0] != '-';
    });
    if (first == args.end()) {
        return {};
    }
    std::string names;
    std::string nearest;
    std::size_t best = 3;
    for (const CLI::App* command : app.get_subcommands({})) {
        const std::string& name = command->get_name();
        if (name == *first) {
            return {};
        }
        // A hidden command (for the Ansible modules) is run, never offered.
        if (command->get_group().empty()) {
            continue;
        }
        names.append(names.empty() ? "" : ", ").append(name);
        const std::size_t edits = name.rfind(*first, 0) == 0 && !first->empty()
                                      ? 1
                                      : std::min(distance(*first, name), name.size());
        if (edits < best) {
            best = edits;
            nearest = name;
        }
    }
    return "unknown command '" + PAL::escaped(*first) + "' (" +
           (nearest.empty() ? "commands: " + names : "did you mean '" + nearest + "'?") + ")";
}

} // namespace
} // namespace hkcache

int runHkCache(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    using hkcache::exitCode;
    using hkcache::ExitStatus;
    CLI::App app(
        "Shows, removes, imports, verifies and fetches the SSH host keys that PuTTY caches.",
        "hkcache");
    app.allow_windows_style_options(false);
    app.set_version_flag("--version", std::string("hkcache ") + HKCACHE_VERSION);
    app.require_subcommand(1);

    std::vector<hkcache::Command> commands;
    for (const hkcache::DeclareCommand declare : hkcache::Commands) {
        commands.push_back(declare(app));
    }

    // For the shell's completion, never a run: hidden, as git's --git-completion-helper is.
    if (!args.empty() && args.front() == "--complete") {
        hkcache::complete(app, {args.begin() + 1, args.end()}, out);
        return exitCode(ExitStatus::Listed);
    }
    const std::vector<std::string> given = hkcache::platformArguments(args);
    // CLI11 would say only that a command is required.
    if (const std::string unknown = hkcache::unknownCommand(given, app); !unknown.empty()) {
        err << "hkcache: " << unknown << '\n';
        return exitCode(ExitStatus::Failure);
    }
    std::vector<std::string> reversed(given.rbegin(), given.rend());
    try {
        app.parse(std::move(reversed));
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e, out, err) == 0 ? exitCode(ExitStatus::Listed)
                                          : exitCode(ExitStatus::Failure);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e, out, err) == 0 ? exitCode(ExitStatus::Listed)
                                          : exitCode(ExitStatus::Failure);
    } catch (const CLI::ParseError& e) {
        // It may quote an argument: a line break there would forge a second line.
        err << "hkcache: " << PAL::escaped(e.what()) << '\n';
        return exitCode(ExitStatus::Failure);
    }
    // Progress only where a person watches: the process's own standard error on a terminal,
    // never a test's stream or a pipe.
    hkcache::Diagnostics diagnostics(err, &err == &std::cerr && PAL::standardErrorIsTerminal());
    // What was changed before a failure like this is printed as it is made; the POSIX store
    // changes all of a cache or none of it.
    try {
        return exitCode(
            diagnostics.outcome(hkcache::parsedCommand(commands).run(out, diagnostics)));
    } catch (const std::bad_alloc&) {
        out.flush();
        err << "hkcache: out of memory\n";
    } catch (const std::exception& e) {
        out.flush();
        err << "hkcache: " << PAL::escaped(e.what()) << '\n';
    }
    return exitCode(ExitStatus::Failure);
}

int hkcacheMain(int argc, char** argv) {
    PAL::setUpStandardOutput("hkcache");
    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    const int status = runHkCache(args, std::cout, std::cerr);
    // Output lost to a write error is a failure.
    return PAL::finishStandardOutput(status) == status
               ? status
               : hkcache::exitCode(hkcache::ExitStatus::Failure);
}
