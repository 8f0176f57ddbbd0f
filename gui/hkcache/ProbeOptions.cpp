#include "ProbeOptions.h"

#include <CLI/CLI.hpp>

namespace hkcache {

void addProbeOptions(CLI::App& command, ProbeOptions& options) {
    command.add_option("--timeout", options.timeout, "Seconds each connection may take (10)")
        ->type_name("S")
        ->check(CLI::Range(0.001, 3600.0));
    command.add_option("--jobs,-j", options.jobs, "Connections at once (8)")
        ->type_name("N")
        ->check(CLI::Range(1, 256));
}

} // namespace hkcache
