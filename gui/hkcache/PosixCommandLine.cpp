// POSIX: an argument is what it says.
#include "CommandLine.h"

namespace hkcache {

std::vector<std::string> platformArguments(std::vector<std::string> args) {
    return args;
}

} // namespace hkcache
