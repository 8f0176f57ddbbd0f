// The .reg reader on fuzzed bytes. Every refusal names a line; every line read is a section or
// a `name data` line, the data printable ASCII, the name without a space or a control character
// (a POSIX build's hosts unescaped); and what was read, written again as reg export writes it,
// reads back to the same lines.
#include "FuzzSupport.h"
#include "RegFile.h"

#include "KeyModel/CachedName.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

using hkfuzz::fail;

bool printable(std::string_view text) {
    for (const char c : text) {
        if (c < ' ' || c > '~') {
            return false;
        }
    }
    return true;
}

// The lines read, written as a .reg file of the keys their sections name.
std::string written(const std::string& lines) {
    std::string out;
    hkcache::RegWriter writer;
    hkcache::RegWriter::start(out);
    std::string key = "HKEY_CURRENT_USER\\Software\\SimonTatham\\PuTTY\\SshHostKeys";
    for (std::size_t start = 0; start < lines.size();) {
        const std::size_t end = lines.find('\n', start);
        const std::string line = lines.substr(start, end - start);
        start = end + 1;
        if (line.empty()) {
            continue;
        }
        if (line[0] == '#') {
            key = line.substr(2);
            continue;
        }
        const std::size_t space = line.find(' ');
        const std::string name = line.substr(0, space);
        const auto parsed = KeyModel::parseCachedName(name);
        // A host PuTTY for Unix stores may hold a tab or DEL; no other control character.
        const auto control = [](char c) {
            return static_cast<unsigned char>(c) < ' ' && c != '\t';
        };
        if (space == std::string::npos || name.empty() ||
            std::any_of(name.begin(), name.end(), control) || !printable(line.substr(space + 1)) ||
            !writer.add(out, key, parsed ? hkcache::regValueName(name, *parsed) : name,
                        line.substr(space + 1))) {
            fail("a line read is not a storable name and printable data", line);
        }
    }
    hkcache::RegWriter::finish(out);
    return out;
}

// Each key line after its section ("# <key>"), without the line numbers that blank lines keep.
std::string packed(const std::string& lines) {
    std::string out;
    std::string section;
    for (std::size_t start = 0; start < lines.size();) {
        const std::size_t end = lines.find('\n', start);
        const std::string line = lines.substr(start, end - start);
        start = end + 1;
        if (line.compare(0, 2, "# ") == 0) {
            section = line;
        } else if (!line.empty() && line[0] != '#') {
            out.append(section).append("\n").append(line).append("\n");
        }
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const hkcache::RegKeys read = hkcache::readRegFile(bytes);
    if (!read.error.empty()) {
        if (read.errorLine == 0 || !read.lines.empty()) {
            fail("a refusal names no line, or keeps lines", read.error);
        }
        return 0;
    }
    const hkcache::RegKeys again = hkcache::readRegFile(written(read.lines));
    if (!again.error.empty() || packed(again.lines) != packed(read.lines)) {
        fail("written again, the lines read back differently",
             read.lines + "\n-> " + again.error + "\n" + again.lines);
    }
    return 0;
}
