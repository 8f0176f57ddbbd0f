#include "ImportInput.h"

#include "PAL/StandardInput.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace hkcache {
namespace {

struct CloseFile {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// The whole of `path` ("-": standard input) appended to `text`, or the reason it cannot be had.
// The file is opened once; a directory fails at its first read. An endless stream stops one
// byte past the limit.
bool readInput(const std::string& path, std::size_t maxBytes, std::string& text,
               std::string* reason, std::optional<PAL::FileOwner>* owner) {
    std::unique_ptr<std::FILE, CloseFile> owned;
    std::FILE* file = path == "-" ? PAL::standardInputAsBytes() : nullptr;
    if (path != "-") {
        owned.reset(std::fopen(path.c_str(), "rb"));
        if (!owned) {
            *reason = std::strerror(errno);
            return false;
        }
        file = owned.get();
    }
    if (owner && !(*owner = PAL::fileOwner(file, reason))) {
        return false;
    }
    // A file's size is known ahead (a pipe's is not): read into one buffer of that size.
    const long at = std::ftell(file);
    if (at >= 0 && std::fseek(file, 0, SEEK_END) == 0) {
        const long end = std::ftell(file);
        if (std::fseek(file, at, SEEK_SET) != 0) {
            *reason = std::strerror(errno);
            return false;
        }
        if (end > at) {
            text.reserve(std::min<std::size_t>(std::size_t(end - at), maxBytes) + 1);
        }
    }
    std::vector<char> chunk(std::size_t(1) << 16);
    for (;;) {
        const std::size_t got = std::fread(chunk.data(), 1, chunk.size(), file);
        text.append(chunk.data(), got);
        if (text.size() > maxBytes) {
            *reason = "longer than " + std::to_string(maxBytes) + " bytes";
            return false;
        }
        if (got < chunk.size()) {
            if (std::ferror(file)) {
                *reason = std::strerror(errno);
                return false;
            }
            return true;
        }
    }
}

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
        std::string text;
        std::string reason;
        // The limit is of all the inputs together: what a run holds at once.
        std::optional<PAL::FileOwner> owner;
        if (!readInput(path, maxBytes - total, text, &reason, owners ? &owner : nullptr)) {
            if (total != 0 && text.size() > maxBytes - total) {
                reason = "the inputs are longer than " + std::to_string(maxBytes) + " bytes";
            }
            diagnostics.error(inputName(path), reason + ": nothing imported");
            return std::nullopt;
        }
        total += text.size();
        texts.push_back(std::move(text));
        if (owners) {
            owners->push_back(std::move(owner));
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
