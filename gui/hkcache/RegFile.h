// .reg files, the form Windows administrators move registry keys in (`reg export`, `regedit /e`,
// `reg import`): PuTTY's cache written as one, and the host keys read back out of one.
#ifndef HK_GUI_HKCACHE_REGFILE_H
#define HK_GUI_HKCACHE_REGFILE_H

#include "Diagnostics.h"
#include "ImportInput.h"

#include "KeyModel/CachedName.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hkcache {

// Writes what `reg export` of the cache writes: UTF-16LE with a byte-order mark, regedit's
// version 5 header, CR LF, each key once before its values, every value REG_SZ.
class RegWriter {
public:
    // The byte-order mark and the header.
    static void start(std::string& out);
    // `name`="`data`" under `key` (written first when the value before was another key's).
    // False, with nothing written, for a name or data that is not printable ASCII: what PuTTY
    // writes always is.
    bool add(std::string& out, std::string_view key, std::string_view name, std::string_view data);
    // The blank line regedit ends a file with.
    static void finish(std::string& out);

private:
    std::string lastKey;
};

// The registry key a listing of the cache `cacheName` goes under: the cache's own key on
// Windows; PuTTY for Windows' key in HKEY_CURRENT_USER for PuTTY for Unix's file.
std::string regKeyOf(std::string_view cacheName);
// The value name PuTTY for Windows stores for a cached name (its host escaped).
std::string regValueName(std::string_view stored, const KeyModel::CachedName& parsed);

// A .reg file's host keys, as PuTTY's `name data` lines of this platform's names.
struct RegKeys {
    // Each key's line on the number of the .reg line it came from (so that messages about it
    // name the file's line), "# <key>" before each key's when more than one key has any.
    std::string lines;
    std::size_t valuesLeftOut = 0; // other keys' values, other types, deletions, default values
    std::size_t keysLeftOut = 0;   // other keys, and key deletions
    std::string error;             // set: the file is refused whole
    std::size_t errorLine = 0;
    // Host keys PuTTY for Unix cannot store (a space or a control character in the host).
    struct LeftOut {
        std::size_t line;
        std::string name;
        std::string reason;
    };
    std::vector<LeftOut> unstorable;
};

// Reads what `reg export` (UTF-16LE with a byte-order mark) and `regedit /e` (also the ANSI
// REGEDIT4 form) write: comments, continued lines, deletions, hex and dword values. Takes the
// REG_SZ values of every key whose path ends in \SimonTatham\PuTTY\SshHostKeys.
RegKeys readRegFile(std::string_view bytes);

// readRegFile's lines, for `import --format putty` to take; what was left out is one warning,
// a refusal an error naming the line (nullopt).
std::optional<std::string> regFileLines(std::string_view bytes, const std::string& inputName,
                                        Diagnostics& diagnostics);
// The same for each of an import's inputs: `lines` holds their texts, the inputs returned
// point into it, numbered on as the files' lines are.
std::optional<std::vector<ImportInput>> regFilesAsLines(const std::vector<ImportInput>& inputs,
                                                        std::vector<std::string>& lines,
                                                        Diagnostics& diagnostics);

} // namespace hkcache

#endif // HK_GUI_HKCACHE_REGFILE_H
