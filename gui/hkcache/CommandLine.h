// The arguments as the platform's users write them, before CLI11 reads them.
#ifndef HK_GUI_HKCACHE_COMMANDLINE_H
#define HK_GUI_HKCACHE_COMMANDLINE_H

#include <string>
#include <vector>

namespace hkcache {

// Per platform: `args` in CLI11's terms. Windows: "/?" asks for help, as of Windows' own
// commands (CLI11's Windows-style options stay off: "/x" may be a file).
std::vector<std::string> platformArguments(std::vector<std::string> args);

} // namespace hkcache

#endif // HK_GUI_HKCACHE_COMMANDLINE_H
