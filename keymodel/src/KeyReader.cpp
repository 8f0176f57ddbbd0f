#include "KeyModel/KeyReader.h"

#include "KeyModel/CachedName.h"
#include "KeyModel/Digest.h"

#include <algorithm>

namespace KeyModel {

namespace {

const std::string_view hashMagic = "|1|";
const std::size_t sha1Size = 20;

// The lines of `text` without their LF or CR LF, or an error naming the first line that holds a
// control byte: such a file is not a text file of keys.
struct Lines {
    std::vector<std::string_view> lines;
    std::string error;
};

Lines splitLines(std::string_view text, std::size_t maxBytes) {
    Lines result;
    if (text.size() > maxBytes) {
        result.error = "longer than " + std::to_string(maxBytes) + " bytes";
        return result;
    }
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        const std::size_t next = end == std::string_view::npos ? text.size() : end + 1;
        std::string_view line = text.substr(start, next - start);
        if (!line.empty() && line.back() == '\n') {
            line.remove_suffix(1);
        }
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        for (const char c : line) {
            if (static_cast<unsigned char>(c) < ' ' && c != '\t') {
                result.error = "not a text file (a control byte on line " +
                               std::to_string(result.lines.size() + 1) + ")";
                result.lines.clear();
                return result;
            }
        }
        result.lines.push_back(line);
        start = next;
    }
    return result;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

std::vector<std::string_view> fieldsOf(std::string_view line) {
    std::vector<std::string_view> fields;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && isBlank(line[i])) {
            ++i;
        }
        const std::size_t start = i;
        while (i < line.size() && !isBlank(line[i])) {
            ++i;
        }
        if (i > start) {
            fields.push_back(line.substr(start, i - start));
        }
    }
    return fields;
}

std::string lowerCase(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    });
    return lower;
}

// OpenSSH writes ports with "%d"; "[host]:022" is no name it writes.
std::optional<unsigned> portOf(std::string_view text) {
    if (text.empty() || text.size() > 5 || text[0] == '0' ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    const unsigned port = static_cast<unsigned>(std::stoul(std::string(text)));
    return port <= 65535 ? std::optional<unsigned>(port) : std::nullopt;
}

bool isCertificateType(std::string_view type) {
    const std::string_view suffix = "-cert-v01@openssh.com";
    return type.size() > suffix.size() && type.substr(type.size() - suffix.size()) == suffix;
}

struct HostPort {
    std::string host;
    unsigned port = 22;
};

// `host` or `[host]:port`. A bracket inside a host is refused, so that knownHostsHost writes
// every host read here back as the same name.
std::optional<HostPort> hostPortOf(std::string_view name) {
    HostPort result;
    std::string_view host = name;
    if (!name.empty() && name[0] == '[') {
        const std::size_t close = name.rfind("]:");
        if (close == std::string_view::npos) {
            return std::nullopt;
        }
        const std::optional<unsigned> port = portOf(name.substr(close + 2));
        if (!port) {
            return std::nullopt;
        }
        host = name.substr(1, close - 1);
        result.port = *port;
    }
    // Nor one that would read back as a marker, comment, pattern, hashed name or .pub line.
    if (host.empty() || host.find_first_of("[]") != std::string_view::npos ||
        std::string_view("@#!|").find(host[0]) != std::string_view::npos ||
        !puttyTypeOf(host).empty() || isCertificateType(host)) {
        return std::nullopt;
    }
    result.host = std::string(host);
    return result;
}

bool isWildcard(std::string_view name) {
    return name.find_first_of("*?") != std::string_view::npos;
}

// `|1|salt|hash` against the query as ssh hashes it: lower case, `[host]:port` unless 22.
// nullopt when the field is malformed.
std::optional<bool> hashMatches(std::string_view field, const std::optional<HostQuery>& query) {
    const std::string_view rest = field.substr(hashMagic.size());
    const std::size_t bar = rest.find('|');
    if (bar == std::string_view::npos) {
        return std::nullopt;
    }
    const std::optional<Bytes> salt = base64Decode(rest.substr(0, bar));
    const std::optional<Bytes> hash = base64Decode(rest.substr(bar + 1));
    if (!salt || !hash || salt->size() != sha1Size || hash->size() != sha1Size) {
        return std::nullopt;
    }
    if (!query) {
        return false;
    }
    const std::string name = knownHostsHost(lowerCase(query->host), query->port);
    return hmacSha1(*salt, Bytes(name.begin(), name.end())) == *hash;
}

// The key of `type` and base64 `text`, or a warning's message in `why`.
std::optional<ReadKey> keyOf(std::string_view type, std::string_view text, std::string& why) {
    const std::string puttyType = puttyTypeOf(type);
    if (puttyType.empty()) {
        why = "key type " + std::string(type) + " left out: PuTTY does not cache it";
        return std::nullopt;
    }
    const std::optional<Bytes> wire = base64Decode(text);
    const std::optional<PuttyKeyText> putty = wire ? puttyKeyFromWire(*wire) : std::nullopt;
    if (!putty) {
        why = "malformed line left out: the key is not a valid " + std::string(type) + " key";
        return std::nullopt;
    }
    if (putty->puttyType != puttyType) {
        why = "malformed line left out: a " + std::string(type) + " line holds a " +
              openSshTypeOf(putty->puttyType) + " key";
        return std::nullopt;
    }
    ParsedKey parsed = parsePuttyKey(putty->puttyType, putty->data);
    if (!parsed.key) {
        why = "malformed line left out: " + parsed.error;
        return std::nullopt;
    }
    ReadKey key;
    key.key = std::move(*parsed.key);
    key.data = putty->data;
    return key;
}

bool sameHost(const HostPort& name, const HostQuery& query) {
    return name.port == query.port && lowerCase(name.host) == lowerCase(query.host);
}

// One known_hosts line: its keys appended to `out`, or the reason it is left out.
std::string readLine(std::string_view line, std::size_t number,
                     const std::optional<HostQuery>& query, std::vector<ReadKey>& out) {
    const std::vector<std::string_view> fields = fieldsOf(line);
    if (fields[0][0] == '@') {
        return "marker " + std::string(fields[0]) + " left out";
    }
    // A .pub line: the type first, as no host name in known_hosts is a key type.
    const bool publicKeyLine = !puttyTypeOf(fields[0]).empty() || isCertificateType(fields[0]);
    const std::size_t typeField = publicKeyLine ? 0 : 1;
    if (fields.size() < typeField + 2) {
        return "malformed line left out: too few fields";
    }
    const std::string_view type = fields[typeField];
    if (isCertificateType(type)) {
        return "certificate key type " + std::string(type) + " left out";
    }
    std::string why;
    std::optional<ReadKey> key = keyOf(type, fields[typeField + 1], why);
    if (!key) {
        return why;
    }
    key->line = number;

    std::vector<HostPort> hosts;
    if (publicKeyLine) {
        if (!query) {
            return "public key without a host name left out: give the host to import it for";
        }
        hosts.push_back(HostPort{query->host, query->port});
    } else if (fields[0].substr(0, hashMagic.size()) == hashMagic) {
        const std::optional<bool> match = hashMatches(fields[0], query);
        if (!match) {
            return "malformed line left out: bad hashed name";
        }
        if (!query) {
            return "hashed name left out: give the host to match it against";
        }
        if (*match) {
            hosts.push_back(HostPort{query->host, query->port});
        }
    } else {
        bool pattern = false;
        std::size_t start = 0;
        for (;;) {
            const std::size_t comma = fields[0].find(',', start);
            const std::string_view name = fields[0].substr(start, comma - start);
            if (!name.empty() && name[0] == '!') {
                // Whom it excludes takes OpenSSH's pattern match to tell: the line is not used.
                return "negated pattern " + std::string(name) + ": line left out";
            }
            if (isWildcard(name)) {
                pattern = true;
            } else if (const std::optional<HostPort> host = hostPortOf(name)) {
                if (!query || sameHost(*host, *query)) {
                    hosts.push_back(*host);
                }
            } else {
                return "malformed line left out: bad host name or port " + std::string(name);
            }
            if (comma == std::string_view::npos) {
                break;
            }
            start = comma + 1;
        }
        if (pattern) {
            why = "wildcard pattern left out";
        }
    }
    for (HostPort& host : hosts) {
        out.push_back(*key);
        out.back().host = std::move(host.host);
        out.back().port = host.port;
    }
    return why;
}

} // namespace

namespace {

// Each line of `text` to `read`, which adds the keys it gives and answers why it left the line
// out (nothing when it did not); a file that is not text, or too long, is refused whole.
template <typename ReadLine>
ReadKeys readEachLine(std::string_view text, std::size_t maxBytes, ReadLine read) {
    ReadKeys result;
    const Lines lines = splitLines(text, maxBytes);
    if (!lines.error.empty()) {
        result.error = lines.error;
        return result;
    }
    for (std::size_t i = 0; i < lines.lines.size(); ++i) {
        std::string why = read(lines.lines[i], i + 1, result.keys);
        if (!why.empty()) {
            result.warnings.push_back(ReadWarning{i + 1, std::move(why)});
        }
    }
    return result;
}

std::string readPuttyLine(std::string_view line, std::size_t number, bool escapedNames,
                          std::vector<ReadKey>& keys) {
    if (line.find_first_not_of(" \t") == std::string_view::npos || line[0] == '#') {
        return {};
    }
    const std::size_t space = line.find(' ');
    const std::optional<CachedName> name =
        space == std::string_view::npos ? std::nullopt : parseCachedName(line.substr(0, space));
    if (!name) {
        return "malformed line left out: not <type>@<port>:<host> <data>";
    }
    const std::string_view data = line.substr(space + 1);
    ParsedKey parsed = parsePuttyKey(name->keyType, data);
    if (!parsed.key) {
        return "malformed line left out: " + parsed.error;
    }
    ReadKey key;
    key.line = number;
    key.host = escapedNames ? unescapeHost(name->host) : name->host;
    key.port = name->port;
    key.key = std::move(*parsed.key);
    key.data = std::string(data);
    keys.push_back(std::move(key));
    return {};
}

} // namespace

ReadKeys readKnownHosts(std::string_view text, const std::optional<HostQuery>& query,
                        std::size_t maxBytes) {
    return readEachLine(text, maxBytes,
                        [&query](std::string_view line, std::size_t number,
                                 std::vector<ReadKey>& keys) -> std::string {
                            const std::size_t first = line.find_first_not_of(" \t");
                            if (first == std::string_view::npos || line[first] == '#') {
                                return {};
                            }
                            return readLine(line.substr(first), number, query, keys);
                        });
}

ReadKeys readPuttyLines(std::string_view text, bool escapedNames, std::size_t maxBytes) {
    return readEachLine(
        text, maxBytes,
        [escapedNames](std::string_view line, std::size_t number, std::vector<ReadKey>& keys) {
            return readPuttyLine(line, number, escapedNames, keys);
        });
}

} // namespace KeyModel
