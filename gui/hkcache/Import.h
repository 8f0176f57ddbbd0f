// hkcache import: keys from an OpenSSH known_hosts file (or a server's .pub files) or from
// PuTTY's own lines, into each cache selected, in one change per cache.
#ifndef HK_GUI_HKCACHE_IMPORT_H
#define HK_GUI_HKCACHE_IMPORT_H

#include "Command.h"
#include "Diagnostics.h"
#include "FingerprintPins.h"
#include "HostFilter.h"
#include "ImportInput.h"

#include <cstddef>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace hkcache {

// The longest input read: far more than any real cache, and less than the POSIX store's limit.
constexpr std::size_t MaxImportBytes = std::size_t(256) << 20;

struct ImportOptions {
    std::vector<std::string> inputs{"-"}; // files, and "-" (standard input) once at most
    std::string format = "known_hosts";   // or "putty"
    std::vector<std::string> hosts;       // HOST or [HOST]:PORT each; none: every host
    FingerprintPins pins;                 // --fingerprint, not yet parsed
    std::string cache = "current";
    bool replace = false;
    bool dryRun = false;
    std::size_t maxBytes = MaxImportBytes; // a longer input is refused whole
    std::string output = "text";           // what was changed: "text" or "json"
};

Command declareImport(CLI::App& app);

// Each host text (HOST, HOST:PORT, [HOST]:PORT) into `hosts`; false after the error for the first
// that is none, or that holds a name no cache can store.
bool hostOptions(const std::vector<std::string>& texts, std::vector<HostPattern>& hosts,
                 Diagnostics& diagnostics);

// Reports "added <name> <fingerprint>" and "replaced <name> <old> -> <new>" per key changed
// ("would add", "would replace" with dryRun). Done; Conflict when a key was left out because
// another is cached under its name; NothingToImport when the inputs give no key (pins and
// hosts applied), with one line saying why; Failure.
ExitStatus importKeys(const ImportOptions& options, std::ostream& out, Diagnostics& diagnostics);
// The same for an input already read, named `inputName` in messages.
ExitStatus importText(std::string_view text, const std::string& inputName,
                      const ImportOptions& options, std::ostream& out, Diagnostics& diagnostics);
// The same for several inputs already read, their lines numbered one after another.
ExitStatus importInputs(const std::vector<ImportInput>& inputs, const ImportOptions& options,
                        std::ostream& out, Diagnostics& diagnostics);

} // namespace hkcache

#endif // HK_GUI_HKCACHE_IMPORT_H
