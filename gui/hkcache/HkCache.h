// hkcache: PuTTY's host-key caches seen with fingerprints, in formats for people and scripts.
#ifndef HK_GUI_HKCACHE_HKCACHE_H
#define HK_GUI_HKCACHE_HKCACHE_H

#include <ostream>
#include <string>
#include <vector>

// One run: `args` without the program's name; output and errors on the streams given.
// Returns the exit status (0 listed, 1 nothing matched, 2 usage error or failure).
int runHkCache(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// The program entry: standard streams, and a write error on standard output is a failure.
int hkcacheMain(int argc, char** argv);

#endif // HK_GUI_HKCACHE_HKCACHE_H
