// A small, strict .reg reader: the file decoded to ASCII (anything else is one marker byte, as
// no host key holds it), then each line taken by its first character from a table, each value
// by its form from another. Every refusal names its line; nothing is trusted to be short.
#include "RegFile.h"

#include "Caches.h"

#include "PAL/PuttyCache.h"

#include <algorithm>
#include <set>
#include <utility>
#include <vector>

namespace hkcache {
namespace {

constexpr std::string_view Bom = "\xff\xfe";
constexpr std::string_view Utf8Bom = "\xef\xbb\xbf";
constexpr std::string_view Version5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view Version4 = "REGEDIT4";
constexpr std::string_view CacheSuffix = "\\SimonTatham\\PuTTY\\SshHostKeys";
// Far more than any value PuTTY writes; a longer line is no export of its cache.
constexpr std::size_t MaxLine = std::size_t(1) << 20;
// Each character that is not ASCII.
constexpr char NotAscii = '\x80';

void appendUtf16(std::string& out, std::string_view ascii) {
    for (const char c : ascii) {
        out.push_back(c);
        out.push_back('\0');
    }
}

bool printable(std::string_view text, char lowest) {
    return std::all_of(text.begin(), text.end(),
                       [lowest](char c) { return c >= lowest && c < 0x7f; });
}

std::string quoted(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '\\' || c == '"') {
            out.push_back('\\');
        }
        out.push_back(c);
    }
    return out + "\"";
}

std::string_view trimmed(std::string_view text) {
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t") + 1 - first);
}

// The file as ASCII text; false, with the line, for what no editor writes.
bool decode(std::string_view bytes, std::string& text, RegKeys& result) {
    const bool utf16 = bytes.substr(0, 2) == Bom;
    if (utf16) {
        bytes.remove_prefix(2);
    } else if (bytes.substr(0, 3) == Utf8Bom) {
        bytes.remove_prefix(3);
    }
    const std::size_t width = utf16 ? 2 : 1;
    text.reserve(bytes.size() / width);
    std::size_t line = 1;
    for (std::size_t i = 0; i + width <= bytes.size(); i += width) {
        const unsigned unit = static_cast<unsigned char>(bytes[i]) |
                              (utf16 ? unsigned(static_cast<unsigned char>(bytes[i + 1])) << 8 : 0);
        if (unit == 0) {
            result.error = "a NUL character";
            result.errorLine = line;
            return false;
        }
        line += unit == '\n';
        text.push_back(unit < 0x80 ? char(unit) : NotAscii);
    }
    if (bytes.size() % width) {
        result.error = "an odd number of bytes: not UTF-16";
        result.errorLine = line;
        return false;
    }
    return true;
}

bool isDword(std::string_view rest) {
    return rest.size() == 8 && rest.find_first_not_of("0123456789abcdefABCDEF") == rest.npos;
}

bool isHexBytes(std::string_view rest) {
    for (std::size_t i = 0; i < rest.size(); i += 3) {
        const std::string_view byte = trimmed(rest.substr(i, 2));
        if (byte.size() != 2 || byte.find_first_not_of("0123456789abcdefABCDEF") != byte.npos ||
            (i + 2 < rest.size() && rest[i + 2] != ',')) {
            return false;
        }
    }
    return true;
}

bool isTypedHex(std::string_view rest) {
    const std::size_t close = rest.find("):");
    return close != rest.npos && close > 0 && close <= 8 &&
           rest.substr(0, close).find_first_not_of("0123456789abcdefABCDEF") == rest.npos &&
           isHexBytes(rest.substr(close + 2));
}

bool isDeletion(std::string_view rest) {
    return rest.empty();
}

// The value forms other than a string: regedit's deletion, REG_DWORD and the hex types.
struct ValueForm {
    std::string_view prefix;
    bool (*valid)(std::string_view rest);
};
const ValueForm ValueForms[] = {
    {"-", isDeletion},
    {"dword:", isDword},
    {"hex:", isHexBytes},
    {"hex(", isTypedHex},
};

struct Reader {
    Reader(RegKeys& read, std::string_view decoded) : result(read), text(decoded) {}

    RegKeys& result;
    std::string_view text;
    std::size_t next = 0;
    std::size_t number = 0;
    std::size_t continued = 0; // lines taken after the line of the current entry
    bool inCache = false;
    std::string key;                                        // the current key, folded
    std::set<std::string> named;                            // cache keys that gave a value
    std::vector<std::pair<std::size_t, std::string>> marks; // "# <key>" offsets in lines

    bool fail(std::string reason) {
        result.error = std::move(reason);
        result.errorLine = number;
        return false;
    }
    // The next physical line, its CR LF removed; false at the end.
    bool take(std::string_view& line) {
        if (next >= text.size()) {
            return false;
        }
        const std::size_t end = std::min(text.find('\n', next), text.size());
        line = text.substr(next, end - next);
        next = end + 1;
        ++number;
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        return true;
    }
};

bool comment(Reader&, std::string_view, std::string&) {
    return true;
}

bool keyLine(Reader& reader, std::string_view line, std::string& emit) {
    if (line.back() != ']') {
        return reader.fail("no ']' ends the key's name");
    }
    const bool deletion = line.size() > 1 && line[1] == '-';
    const std::string_view path = line.substr(deletion ? 2 : 1, line.size() - (deletion ? 3 : 2));
    reader.key.assign(path);
    std::transform(reader.key.begin(), reader.key.end(), reader.key.begin(), asciiLower);
    // A key's name in the lines is a section's: it must stay on its line.
    reader.inCache = !deletion && path.size() >= CacheSuffix.size() && printable(path, ' ') &&
                     sameText(path.substr(path.size() - CacheSuffix.size()), CacheSuffix, true);
    if (!reader.inCache) {
        ++reader.result.keysLeftOut;
        return true;
    }
    reader.marks.emplace_back(reader.result.lines.size(), reader.key);
    emit = "# " + std::string(path);
    return true;
}

// A quoted string from `at` (its opening quote) into `out`; the offset past its closing quote,
// or npos after the reader's error. `odd`: it held an escape that no host key has.
std::size_t unquote(Reader& reader, std::string_view line, std::size_t at, std::string& out,
                    bool& odd) {
    for (std::size_t i = at + 1; i < line.size(); ++i) {
        if (line[i] == '"') {
            return i + 1;
        }
        if (line[i] == '\\' && i + 1 < line.size()) {
            const char escaped = line[++i];
            if (escaped != '\\' && escaped != '"' && escaped != 'n' && escaped != '0') {
                reader.fail(std::string("an unknown escape \\") + escaped);
                return std::string_view::npos;
            }
            odd = odd || escaped == 'n' || escaped == '0';
            out.push_back(escaped);
            continue;
        }
        out.push_back(line[i]);
    }
    reader.fail("no closing quote");
    return std::string_view::npos;
}

// A value that is not a string, with the lines that regedit's trailing '\' continues it on.
bool otherValue(Reader& reader, std::string_view first) {
    std::string joined(trimmed(first));
    while (!joined.empty() && joined.back() == '\\') {
        joined.pop_back();
        std::string_view line;
        if (!reader.take(line)) {
            return reader.fail("a '\\' continues the last line");
        }
        ++reader.continued;
        if (joined.size() + line.size() > MaxLine) {
            return reader.fail("a value longer than " + std::to_string(MaxLine) + " bytes");
        }
        joined.append(trimmed(line));
    }
    for (const ValueForm& form : ValueForms) {
        if (joined.compare(0, form.prefix.size(), form.prefix) == 0 &&
            form.valid(std::string_view(joined).substr(form.prefix.size()))) {
            ++reader.result.valuesLeftOut;
            return true;
        }
    }
    return reader.fail("not a value regedit writes");
}

// Why PuTTY for Unix cannot store a host (what its file and an import's lines cannot hold);
// empty when it can.
std::string unstorable(std::string_view host) {
    if (host.find(' ') != std::string_view::npos) {
        return "a space in its host: PuTTY for Unix's name ends at the first space";
    }
    const auto control = [](char c) { return static_cast<unsigned char>(c) < 0x20 && c != '\t'; };
    if (std::any_of(host.begin(), host.end(), control)) {
        return "a control character in its host: PuTTY for Unix's lines cannot hold it";
    }
    return {};
}

// The name PuTTY stores here for the value `name` PuTTY for Windows stored (every byte of its
// host that is not printable ASCII escaped): on Unix the host unescaped, as PuTTY for Unix
// stores it (UTF-8 stays UTF-8). Empty, with `why` set, when it cannot be stored here.
std::string platformName(const std::string& name, std::string& why) {
    const std::optional<KeyModel::CachedName> parsed = KeyModel::parseCachedName(name);
    if (hostsEscaped() || !parsed) {
        return name;
    }
    const std::string host = KeyModel::unescapeHost(parsed->host);
    why = unstorable(host);
    return why.empty() ? KeyModel::composeCachedName(
                             KeyModel::CachedName{parsed->keyType, parsed->port, host})
                       : std::string();
}

bool valueLine(Reader& reader, std::string_view line, std::string& emit) {
    std::string name;
    bool odd = line[0] == '@';
    std::size_t at = odd ? 1 : unquote(reader, line, 0, name, odd);
    if (at == std::string_view::npos) {
        return false;
    }
    at = line.find_first_not_of(" \t", at);
    if (at == std::string_view::npos || line[at] != '=') {
        return reader.fail("no '=' after the value's name");
    }
    const std::string_view rest = trimmed(line.substr(at + 1));
    if (rest.empty() || rest[0] != '"') {
        return otherValue(reader, rest);
    }
    std::string data;
    const std::size_t end = unquote(reader, rest, 0, data, odd);
    if (end == std::string_view::npos) {
        return false;
    }
    if (end != rest.size()) {
        return reader.fail("more after the value's closing quote");
    }
    if (!reader.inCache || odd || name.empty() || !printable(name, '!') || name[0] == '#' ||
        !printable(data, ' ')) {
        ++reader.result.valuesLeftOut;
        return true;
    }
    std::string why;
    const std::string stored = platformName(name, why);
    if (!why.empty()) {
        reader.result.unstorable.push_back({reader.number, name, why});
        return true;
    }
    reader.named.insert(reader.key);
    emit = stored + " " + data;
    return true;
}

using LineHandler = bool (*)(Reader&, std::string_view line, std::string& emit);
struct LineKind {
    char first;
    LineHandler handle;
};
const LineKind LineKinds[] = {
    {';', comment},
    {'[', keyLine},
    {'"', valueLine},
    {'@', valueLine},
};

// Every line after the header, each on its own line of the result.
bool readLines(Reader& reader) {
    std::string_view line;
    while (reader.take(line)) {
        if (line.size() > MaxLine) {
            return reader.fail("a line longer than " + std::to_string(MaxLine) + " bytes");
        }
        line = trimmed(line);
        std::string emit;
        reader.continued = 0;
        if (!line.empty()) {
            const auto kind = std::find_if(std::begin(LineKinds), std::end(LineKinds),
                                           [&](const LineKind& k) { return k.first == line[0]; });
            if (kind == std::end(LineKinds)) {
                return reader.fail("not a key, a value or a comment");
            }
            if (!kind->handle(reader, line, emit)) {
                return false;
            }
        }
        reader.result.lines.append(emit).append(reader.continued + 1, '\n');
    }
    return true;
}

} // namespace

void RegWriter::start(std::string& out) {
    out.append(Bom);
    appendUtf16(out, std::string(Version5) + "\r\n");
}

bool RegWriter::add(std::string& out, std::string_view key, std::string_view name,
                    std::string_view data) {
    if (!printable(name, ' ') || !printable(data, ' ')) {
        return false;
    }
    if (key != lastKey) {
        lastKey = std::string(key);
        appendUtf16(out, "\r\n[" + lastKey + "]\r\n");
    }
    appendUtf16(out, quoted(name) + "=" + quoted(data) + "\r\n");
    return true;
}

void RegWriter::finish(std::string& out) {
    appendUtf16(out, "\r\n");
}

std::string regKeyOf(std::string_view cacheName) {
    if (cacheName.compare(0, 5, "HKEY_") == 0) {
        return std::string(cacheName);
    }
    return "HKEY_CURRENT_USER\\" + PAL::puttyCacheSubKey();
}

std::string regValueName(std::string_view stored, const KeyModel::CachedName& parsed) {
    if (hostsEscaped()) {
        return std::string(stored);
    }
    return KeyModel::composeCachedName(
        KeyModel::CachedName{parsed.keyType, parsed.port, KeyModel::escapeHost(parsed.host)});
}

RegKeys readRegFile(std::string_view bytes) {
    RegKeys result;
    std::string text;
    if (!decode(bytes, text, result)) {
        return result;
    }
    Reader reader(result, text);
    std::string_view header;
    while (reader.take(header) && trimmed(header).empty()) {
        result.lines.push_back('\n');
    }
    if (header != Version5 && header != Version4) {
        // An empty file's refusal is on its first line too.
        reader.number = std::max<std::size_t>(reader.number, 1);
        result.lines.clear();
        reader.fail("not a .reg file: no \"" + std::string(Version5) + "\" or \"" +
                    std::string(Version4) + "\" header");
        return result;
    }
    result.lines.push_back('\n');
    if (!readLines(reader)) {
        result.lines.clear();
        return result;
    }
    // A single key's keys go to every cache selected, as PuTTY's lines do: its line becomes a
    // comment that no reader takes for a section ("# ", or a removal's "## ").
    for (const auto& [offset, key] : reader.marks) {
        if (reader.named.size() < 2 || !reader.named.count(key)) {
            result.lines[offset + 1] = ';';
        }
    }
    return result;
}

std::optional<std::string> regFileLines(std::string_view bytes, const std::string& inputName,
                                        Diagnostics& diagnostics) {
    RegKeys read = readRegFile(bytes);
    if (!read.error.empty()) {
        diagnostics.error(inputName + ":" + std::to_string(read.errorLine),
                          read.error + ": nothing imported");
        return std::nullopt;
    }
    for (const RegKeys::LeftOut& value : read.unstorable) {
        diagnostics.warning(inputName + ":" + std::to_string(value.line) + ": " + value.name,
                            value.reason + ": left out");
    }
    if (read.valuesLeftOut || read.keysLeftOut) {
        diagnostics.warning(inputName, "left out " + std::to_string(read.valuesLeftOut) +
                                           " values and " + std::to_string(read.keysLeftOut) +
                                           " keys that are no PuTTY host keys (only REG_SZ "
                                           "values of ..." +
                                           std::string(CacheSuffix) + " are imported)");
    }
    return std::move(read.lines);
}

std::optional<std::vector<ImportInput>> regFilesAsLines(const std::vector<ImportInput>& inputs,
                                                        std::vector<std::string>& lines,
                                                        Diagnostics& diagnostics) {
    lines.clear();
    lines.reserve(inputs.size());
    std::vector<ImportInput> asLines;
    std::size_t line = 1;
    for (const ImportInput& input : inputs) {
        std::optional<std::string> text = regFileLines(input.text, input.name, diagnostics);
        if (!text) {
            return std::nullopt;
        }
        lines.push_back(std::move(*text));
        asLines.push_back(ImportInput{input.name, lines.back(), line, 1, input.owner});
        // Every line of the text ends in a line break.
        line += std::size_t(std::count(lines.back().begin(), lines.back().end(), '\n'));
    }
    return asLines;
}

} // namespace hkcache
