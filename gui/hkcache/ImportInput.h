// What an import reads: its files (or standard input) in order, within one limit in all, and,
// when they give no key to import, the one line that says why.
#ifndef HK_GUI_HKCACHE_IMPORTINPUT_H
#define HK_GUI_HKCACHE_IMPORTINPUT_H

#include "Diagnostics.h"

#include "KeyModel/KeyReader.h"

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
};

// Each of `paths` ("-": standard input, once at most) read whole, in order, `maxBytes` in all;
// nullopt after the error that stopped it.
std::optional<std::vector<std::string>> readInputs(const std::vector<std::string>& paths,
                                                   std::size_t maxBytes, Diagnostics& diagnostics);

// The name an input goes by in messages.
std::string inputName(const std::string& path);

// What the inputs gave that was not imported, for the line that says why nothing was.
class LeftOutCount {
public:
    // An input's warnings, and how many keys it gave before pins and --host narrowed them.
    void add(const ImportInput& input, const KeyModel::ReadKeys& read);
    // "no key to import: ..." as an error; `pinned`: --fingerprint was given.
    void report(bool hostGiven, bool pinned, Diagnostics& diagnostics) const;

private:
    std::size_t keys = 0;
    std::size_t kinds[4] = {};
    bool privateKey = false;
};

} // namespace hkcache

#endif // HK_GUI_HKCACHE_IMPORTINPUT_H
