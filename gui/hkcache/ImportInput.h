// What an import reads: its files (or standard input) in order, within one limit in all, and,
// when they give no key to import, the one line that says why.
#ifndef HK_GUI_HKCACHE_IMPORTINPUT_H
#define HK_GUI_HKCACHE_IMPORTINPUT_H

#include "Diagnostics.h"

#include "KeyModel/KeyReader.h"
#include "PAL/Accounts.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hkcache {

struct ImportInput {
    std::string name; // the path, or "standard input"
    std::string_view text;
    std::size_t firstLine = 1; // its first line's number among all the inputs' lines
    std::size_t fileLine = 1;  // its first line's number in its file (restore reads a part)
    // Who owns the file, for a privileged run (checkedOwners); none: not weighed.
    std::optional<PAL::FileOwner> owner{};
};

// A line of PuTTY's lines that starts a part of a backup: "## " a removal's dated line (what
// follows is for any cache until the section's own "# <cache>" lines), "# <cache>" the lines
// of one cache.
struct SectionLine {
    std::size_t line;      // its number in the text
    std::size_t offset;    // where it starts in the text
    bool dated;            // "## "
    std::string_view text; // what follows "## " or "# "
};
std::vector<SectionLine> sectionLines(std::string_view text);

// Each of `paths` ("-": standard input, once at most) read whole, in order, `maxBytes` in all;
// nullopt after the error that stopped it. With `owners`, each one's owner, read from the handle.
std::optional<std::vector<std::string>>
readInputs(const std::vector<std::string>& paths, std::size_t maxBytes, Diagnostics& diagnostics,
           std::vector<std::optional<PAL::FileOwner>>* owners = nullptr);

// The name an input goes by in messages.
std::string inputName(const std::string& path);

// What the inputs gave that was not imported, for the line that says why nothing was.
class LeftOutCount {
public:
    // An input's warnings, and how many keys it gave before pins and --host narrowed them.
    void add(const ImportInput& input, const std::vector<KeyModel::ReadWarning>& warnings,
             std::size_t keysRead);
    // "no key to import: ..." as an error; `pinned`: --fingerprint was given.
    void report(bool hostGiven, bool pinned, Diagnostics& diagnostics) const;

private:
    std::size_t keys = 0;
    std::size_t kinds[4] = {};
    bool privateKey = false;
};

} // namespace hkcache

#endif // HK_GUI_HKCACHE_IMPORTINPUT_H
