// hkcache --complete: what may follow a command line, read from the commands' own definitions,
// for the bash completion (doc/hkcache.bash-completion), as git's --git-completion-helper.
#ifndef HK_GUI_HKCACHE_COMPLETION_H
#define HK_GUI_HKCACHE_COMPLETION_H

#include <ostream>
#include <string>
#include <vector>

namespace CLI {
class App;
} // namespace CLI

namespace hkcache {

// The words that complete the last of `words` (the command line after the program's name up to
// the word being typed, which may be empty), one a line: commands, a command's options, an
// option's values, those --help hides left out. A line that starts with ':' asks the shell for
// what only it completes: ":files", ":hosts" (the cache's), ":users" (after "user:").
void complete(const CLI::App& app, const std::vector<std::string>& words, std::ostream& out);

} // namespace hkcache

#endif // HK_GUI_HKCACHE_COMPLETION_H
