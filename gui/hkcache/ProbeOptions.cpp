#include "ProbeOptions.h"

#include <CLI/CLI.hpp>

#include <cmath>

namespace hkcache {

void addProbeOptions(CLI::App& command, ProbeOptions& options) {
    command.add_option("--timeout", options.timeout, "Seconds each connection may take (10)")
        ->type_name("S")
        // A NaN fails no comparison: the range alone would let it through.
        ->check(CLI::Validator(
            [](const std::string& text) {
                double seconds = 0;
                return CLI::detail::lexical_cast(text, seconds) && std::isfinite(seconds)
                           ? std::string()
                           : "not a finite number of seconds: " + text;
            },
            "", "FINITE"))
        ->check(CLI::Range(0.001, 3600.0));
    command.add_option("--jobs,-j", options.jobs, "Connections at once (8)")
        ->type_name("N")
        ->check(CLI::Range(1, 256));
}

} // namespace hkcache
