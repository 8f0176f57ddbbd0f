#include "ImportInput.h"

#include "PAL/ReadFile.h"

#include <algorithm>

namespace hkcache {
namespace {

std::string counted(std::size_t count, const std::string& one, const std::string& many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

} // namespace

std::vector<SectionLine> sectionLines(std::string_view text) {
    std::vector<SectionLine> found;
    std::size_t number = 0;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        std::string_view line = text.substr(start, end - start);
        ++number;
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (line.size() > 2 && line.substr(0, 2) == "# ") {
            found.push_back(SectionLine{number, start, false, line.substr(2)});
        } else if (line.substr(0, 3) == "## ") {
            found.push_back(SectionLine{number, start, true, line.substr(3)});
        }
        start = end + 1;
    }
    return found;
}

std::string inputName(const std::string& path) {
    return path == "-" ? "standard input" : path;
}

std::optional<std::vector<std::string>>
readInputs(const std::vector<std::string>& paths, std::size_t maxBytes, Diagnostics& diagnostics,
           std::vector<std::optional<PAL::FileOwner>>* owners) {
    if (std::count(paths.begin(), paths.end(), "-") > 1) {
        diagnostics.error("-", "standard input can be read once only");
        return std::nullopt;
    }
    std::vector<std::string> texts;
    std::size_t total = 0;
    for (const std::string& path : paths) {
        // The limit is of all the inputs together: what a run holds at once.
        const bool withOwner = owners != nullptr;
        PAL::FileRead read = path == "-" ? PAL::readStandardInput(maxBytes - total, withOwner)
                                         : PAL::readFile(path, maxBytes - total, withOwner);
        if (!read.bytes) {
            if (total != 0 && read.tooLong) {
                read.reason = "the inputs are longer than " + std::to_string(maxBytes) + " bytes";
            }
            diagnostics.error(inputName(path), read.reason + ": nothing imported");
            return std::nullopt;
        }
        total += read.bytes->size();
        texts.push_back(std::move(*read.bytes));
        if (owners) {
            owners->push_back(std::move(read.owner));
        }
    }
    return texts;
}

void LeftOutCount::add(const ImportInput& input, const std::vector<KeyModel::ReadWarning>& warnings,
                       std::size_t keysRead) {
    keys += keysRead;
    for (const KeyModel::ReadWarning& warning : warnings) {
        ++kinds[warning.kind];
    }
    privateKey = privateKey || input.text.find("PRIVATE KEY-----") != std::string_view::npos;
}

void LeftOutCount::report(bool hostGiven, bool pinned, Diagnostics& diagnostics) const {
    using Warning = KeyModel::ReadWarning;
    std::string why;
    if (keys != 0) {
        why = keys == 1 ? std::string("the one key read") +
                              (pinned ? " has none of the fingerprints given"
                                      : " is not for the host given")
                        : "none of the " + std::to_string(keys) + " keys read" +
                              (pinned ? " has a fingerprint given" : " is for the host given");
    }
    const auto part = [&why](std::size_t count, const std::string& what) {
        if (count != 0) {
            why += (why.empty() ? "" : ", ") + what;
        }
    };
    part(kinds[Warning::HashedName],
         counted(kinds[Warning::HashedName], "hashed name needs", "hashed names need") + " --host");
    part(kinds[Warning::NoHost],
         counted(kinds[Warning::NoHost], "public key needs", "public keys need") + " one --host");
    part(kinds[Warning::NotAKey], counted(kinds[Warning::NotAKey], "line is", "lines are") +
                                      " not public keys" +
                                      (privateKey ? " (a private key: import its .pub file)" : ""));
    part(kinds[Warning::Other],
         counted(kinds[Warning::Other], "line", "lines") + " of patterns, markers or certificates");
    if (why.empty()) {
        why = hostGiven ? "no key for the host given" : "no keys in the input";
    }
    diagnostics.error("no key to import", why);
}

} // namespace hkcache
