// The command line: hkcache's commands, from the table below, parsed by CLI11 and run.
#include "HkCache.h"

#include "Command.h"
#include "Diagnostics.h"
#include "Fetch.h"
#include "Import.h"
#include "List.h"
#include "Removal.h"
#include "Verify.h"

#include "PAL/Escape.h"
#include "PAL/Process.h"

#include <CLI/CLI.hpp>

#include <iostream>
#include <new>

#ifndef HKCACHE_VERSION
#error "HKCACHE_VERSION is set by the build"
#endif

namespace hkcache {
namespace {

// A new command is a file with its DeclareCommand, and a row here (the order of --help).
const DeclareCommand Commands[] = {declareList, declareRemove, declareImport, declareVerify,
                                   declareFetch};

// The command that was parsed; the first one when none was (a parse error ends the run first).
const Command& parsedCommand(const std::vector<Command>& commands) {
    for (const Command& command : commands) {
        if (command.subcommand->parsed()) {
            return command;
        }
    }
    return commands.front();
}

} // namespace
} // namespace hkcache

int runHkCache(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
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

    std::vector<std::string> reversed(args.rbegin(), args.rend());
    try {
        app.parse(std::move(reversed));
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e, out, err) == 0 ? int(ExitStatus::Listed) : int(ExitStatus::Failure);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e, out, err) == 0 ? int(ExitStatus::Listed) : int(ExitStatus::Failure);
    } catch (const CLI::ParseError& e) {
        // It may quote an argument: a line break there would forge a second line.
        err << "hkcache: " << PAL::escaped(e.what()) << '\n';
        return int(ExitStatus::Failure);
    }
    hkcache::Diagnostics diagnostics(err);
    // What was changed before a failure like this is printed as it is made; the POSIX store
    // changes all of a cache or none of it.
    try {
        return int(hkcache::parsedCommand(commands).run(out, diagnostics));
    } catch (const std::bad_alloc&) {
        out.flush();
        err << "hkcache: out of memory\n";
    } catch (const std::exception& e) {
        out.flush();
        err << "hkcache: " << PAL::escaped(e.what()) << '\n';
    }
    return int(ExitStatus::Failure);
}

int hkcacheMain(int argc, char** argv) {
    PAL::setUpStandardOutput("hkcache");
    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    const int status = runHkCache(args, std::cout, std::cerr);
    // Output lost to a write error is a failure.
    return PAL::finishStandardOutput(status) == status ? status : int(hkcache::ExitStatus::Failure);
}
