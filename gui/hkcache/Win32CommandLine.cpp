// Windows: "/?" is --help.
#include "CommandLine.h"

namespace hkcache {

std::vector<std::string> platformArguments(std::vector<std::string> args) {
    for (std::string& arg : args) {
        if (arg == "/?") {
            arg = "--help";
        }
    }
    return args;
}

} // namespace hkcache
