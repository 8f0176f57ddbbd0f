#include "KeyModel/KeyReader.h"

#include "KeyModel/CachedName.h"
#include "KeyModel/Digest.h"
#include "KeyModel/KnownHosts.h"

#include "PAL/ParallelRuns.h"

#include <algorithm>
#include <exception>
#include <functional>
#include <iterator>
#include <new>
#include <thread>

namespace KeyModel {

namespace {

const std::string_view hashMagic = "|1|";
const std::size_t sha1Size = 20;

// Calls visit(line) for each line of `text`, without its LF or CR LF.
template <typename Visit>
void forEachLine(std::string_view text, Visit&& visit) {
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
        visit(line);
        start = next;
    }
}

// Why `text` is refused whole (too long, or a control byte: such a file is not a text file of
// keys), or nothing.
std::string refusal(std::string_view text, std::size_t maxBytes) {
    std::size_t lines = 0;
    if (text.size() > maxBytes) {
        return "longer than " + std::to_string(maxBytes) + " bytes";
    }
    std::size_t badLine = 0;
    forEachLine(text, [&](std::string_view line) {
        ++lines;
        if (badLine == 0 && std::any_of(line.begin(), line.end(), [](char c) {
                return static_cast<unsigned char>(c) < ' ' && c != '\t';
            })) {
            badLine = lines;
        }
    });
    return badLine == 0
               ? std::string()
               : "not a text file (a control byte on line " + std::to_string(badLine) + ")";
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
    // Nor one that would read back as a marker, comment, pattern, hashed name or .pub line:
    // the hosts `list --format known_hosts` leaves out.
    if (!isPlainKnownHostsHost(host)) {
        return std::nullopt;
    }
    result.host = std::string(host);
    return result;
}

bool isWildcard(std::string_view name) {
    return name.find_first_of("*?") != std::string_view::npos;
}

using Kind = ReadWarning::Kind;

// A line left out, for readPart to number.
ReadWarning leftOut(std::string message, Kind kind = ReadWarning::Other) {
    return ReadWarning{0, std::move(message), kind};
}

// `|1|salt|hash` against the queries as ssh hashes them: lower case, `[host]:port` unless 22.
// The query matched, or nullptr; nullopt when the field is malformed.
std::optional<const HostQuery*> hashMatches(std::string_view field, const HostQueries& queries) {
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
    for (const HostQuery& query : queries) {
        const std::string name = knownHostsHost(lowerCase(query.host), query.port);
        if (hmacSha1(*salt, Bytes(name.begin(), name.end())) == *hash) {
            return &query;
        }
    }
    return nullptr;
}

// Where one part's lines put their keys: offsets are from the start of the whole text.
struct Sink {
    const char* base;
    std::vector<KeyRecord>& keys;
    std::string& numbers;

    std::uint32_t offset(std::string_view piece) const {
        return static_cast<std::uint32_t>(piece.data() - base);
    }
    void add(KeyRecord record, std::string_view host) {
        record.hostAt = offset(host);
        record.hostSize = static_cast<std::uint32_t>(host.size());
        keys.push_back(record);
    }
};

// Checks the key of `type` and base64 `text`, keeping in `numbers` what took arithmetic to
// recover (*recovered: where); false with a warning's message in `why`.
bool checkKey(std::string_view type, std::string_view text, std::string& why, Sink& sink,
              std::uint32_t& recovered) {
    const std::string puttyType = puttyTypeOf(type);
    if (puttyType.empty()) {
        why = "key type " + std::string(type) + " left out: PuTTY does not cache it";
        return false;
    }
    Bytes number;
    std::optional<Bytes> wire = base64Decode(text);
    std::optional<PuttyKeyText> putty = wire ? puttyKeyFromWire(*wire, number) : std::nullopt;
    if (!putty) {
        why = "malformed line left out: the key is not a valid " + std::string(type) + " key";
        return false;
    }
    if (putty->puttyType != puttyType) {
        why = "malformed line left out: a " + std::string(type) + " line holds a " +
              openSshTypeOf(putty->puttyType) + " key";
        return false;
    }
    recovered = KeyRecord::NoNumber;
    if (!number.empty()) {
        recovered = static_cast<std::uint32_t>(sink.numbers.size());
        sink.numbers += static_cast<char>(number.size());
        sink.numbers.append(number.begin(), number.end());
    }
    return true;
}

bool sameHost(const HostPort& name, const HostQuery& query) {
    return name.port == query.port && lowerCase(name.host) == lowerCase(query.host);
}

// A record that names one of the queries' hosts rather than a host in the text.
KeyRecord forQuery(KeyRecord key, const HostQueries& queries, const HostQuery& query) {
    key.hostAt = static_cast<std::uint32_t>(&query - queries.data());
    key.hostSize = KeyRecord::QueryHost;
    key.port = query.port;
    return key;
}

// A hashed name's key to the sink when it is one query's host.
ReadWarning readHashedName(std::string_view field, const KeyRecord& key, const HostQueries& queries,
                           Sink& sink) {
    const std::optional<const HostQuery*> match = hashMatches(field, queries);
    if (!match) {
        return leftOut("malformed line left out: bad hashed name", ReadWarning::NotAKey);
    }
    if (queries.empty()) {
        return leftOut("hashed name left out: give the host to match it against",
                       ReadWarning::HashedName);
    }
    if (*match) {
        sink.keys.push_back(forQuery(key, queries, **match));
    }
    return {};
}

// A key for each of the comma-separated `names` (those of the query's host, given one). Each
// name goes to the sink as it is read; a name that leaves the line out takes them back.
ReadWarning readHostNames(std::string_view names, KeyRecord key, const HostQueries& queries,
                          Sink& sink) {
    const std::size_t before = sink.keys.size();
    bool pattern = false;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = names.find(',', start);
        const std::string_view name = names.substr(start, comma - start);
        if (!name.empty() && name[0] == '!') {
            sink.keys.resize(before);
            // Whom it excludes takes OpenSSH's pattern match to tell: the line is not used.
            return leftOut("negated pattern " + std::string(name) + ": line left out");
        }
        if (isWildcard(name)) {
            pattern = true;
        } else if (std::optional<HostPort> host = hostPortOf(name)) {
            if (queries.empty() ||
                std::any_of(queries.begin(), queries.end(),
                            [&](const HostQuery& query) { return sameHost(*host, query); })) {
                key.port = host->port;
                // The host as it lies in the name: `[host]:port` has it after the bracket.
                sink.add(key, name.substr(name[0] == '[' ? 1 : 0, host->host.size()));
            }
        } else {
            sink.keys.resize(before);
            return leftOut("malformed line left out: bad host name or port " + std::string(name),
                           ReadWarning::NotAKey);
        }
        if (comma == std::string_view::npos) {
            break;
        }
        start = comma + 1;
    }
    return pattern ? leftOut("wildcard pattern left out") : ReadWarning{};
}

// One known_hosts line: its keys to the sink, or the reason it is left out.
ReadWarning readLine(std::string_view line, std::size_t number, const HostQueries& queries,
                     Sink& sink) {
    const std::vector<std::string_view> fields = fieldsOf(line);
    if (fields[0][0] == '@') {
        return leftOut("marker " + std::string(fields[0]) + " left out");
    }
    // A .pub line: the type first, as no host name in known_hosts is a key type.
    const bool publicKeyLine = !puttyTypeOf(fields[0]).empty() || isCertificateType(fields[0]);
    const std::size_t typeField = publicKeyLine ? 0 : 1;
    if (fields.size() < typeField + 2) {
        return leftOut("malformed line left out: too few fields", ReadWarning::NotAKey);
    }
    const std::string_view type = fields[typeField];
    if (isCertificateType(type)) {
        return leftOut("certificate key type " + std::string(type) + " left out");
    }
    std::string why;
    KeyRecord key;
    key.line = static_cast<std::uint32_t>(number);
    key.at = sink.offset(type);
    if (!checkKey(type, fields[typeField + 1], why, sink, key.recovered)) {
        return leftOut(std::move(why), ReadWarning::NotAKey);
    }
    if (!publicKeyLine) {
        return fields[0].substr(0, hashMagic.size()) == hashMagic
                   ? readHashedName(fields[0], key, queries, sink)
                   : readHostNames(fields[0], key, queries, sink);
    }
    if (queries.size() != 1) {
        return leftOut(
            queries.empty()
                ? "public key without a host name left out: give the host to import it for"
                : "public key without a host name left out: give one host for it, not " +
                      std::to_string(queries.size()),
            ReadWarning::NoHost);
    }
    sink.keys.push_back(forQuery(key, queries, queries[0]));
    return {};
}

} // namespace

namespace {

// A run of whole lines and what reading it gave.
struct Part {
    std::string_view text;
    std::size_t firstLine = 1;
    std::vector<KeyRecord> keys;
    std::vector<ReadWarning> warnings;
    std::string numbers;
    std::exception_ptr failure;
    bool read = false;
};

// A part is at least this long; there are no more of them than cores, nor than this.
constexpr std::size_t BytesPerPart = std::size_t(1) << 20;
constexpr std::size_t MostParts = 8;
// Records hold 32-bit offsets.
constexpr std::size_t MostBytes = 0xFFFFFFFEu;

// `text` cut after a line break into up to `count` parts of about equal length.
std::vector<Part> partsOf(std::string_view text, std::size_t count) {
    std::vector<Part> parts;
    std::size_t start = 0;
    std::size_t line = 1;
    for (std::size_t i = 1; i <= count && start < text.size(); ++i) {
        std::size_t end = text.size();
        if (i < count) {
            const std::size_t cut = text.find('\n', std::max(start, text.size() / count * i));
            end = cut == std::string_view::npos ? text.size() : cut + 1;
        }
        Part part;
        part.text = text.substr(start, end - start);
        part.firstLine = line;
        line += static_cast<std::size_t>(std::count(part.text.begin(), part.text.end(), '\n'));
        parts.push_back(std::move(part));
        start = end;
    }
    return parts;
}

// Each line of `part` to `read`; a throw is kept for the joining thread to rethrow.
template <typename ReadLine>
void readPart(ReadLine& read, const char* base, Part& part) {
    try {
        // Most lines give one key, and no key's line is shorter than this.
        constexpr std::size_t ShortestKeyLine = 64;
        part.keys.reserve(part.text.size() / ShortestKeyLine + 1);
        Sink sink{base, part.keys, part.numbers};
        std::size_t number = part.firstLine;
        forEachLine(part.text, [&](std::string_view line) {
            ReadWarning why = read(line, number, sink);
            if (!why.message.empty()) {
                why.line = number;
                part.warnings.push_back(std::move(why));
            }
            ++number;
        });
    } catch (...) {
        part.failure = std::current_exception();
    }
}

// Reads every part, each on a thread of its own while threads are to be had; the parts no
// thread took are read here.
template <typename ReadLine>
void readParts(ReadLine& read, const char* base, std::vector<Part>& parts) {
    const auto readOne = [&read, base](Part& part) {
        readPart(read, base, part);
        part.read = true;
    };
    try {
        PAL::runInParallel(parts.size(), static_cast<unsigned>(parts.size()),
                           [&](std::size_t i) { readOne(parts[i]); });
    } catch (const std::bad_alloc&) {
        // A part's own throw is kept in the part: this one says a thread could not be started.
        for (Part& part : parts) {
            if (!part.read) {
                readOne(part);
            }
        }
    }
}

// The parts' keys, numbers and warnings into `result`, in the order of the lines.
void joinParts(std::vector<Part>& parts, KeyRecords& result) {
    std::size_t keys = 0;
    std::size_t numbers = 0;
    for (const Part& part : parts) {
        if (part.failure) {
            std::rethrow_exception(part.failure);
        }
        keys += part.keys.size();
        numbers += part.numbers.size();
    }
    // The first part's keys stay where they are.
    if (!parts.empty()) {
        result.keys = std::move(parts[0].keys);
        result.numbers = std::move(parts[0].numbers);
    }
    result.keys.reserve(keys);
    result.numbers.reserve(numbers);
    for (Part& part : parts) {
        if (&part != &parts[0]) {
            const auto moved = static_cast<std::uint32_t>(result.numbers.size());
            for (KeyRecord& key : part.keys) {
                key.recovered += key.recovered == KeyRecord::NoNumber ? 0 : moved;
                result.keys.push_back(key);
            }
            result.numbers += part.numbers;
            std::vector<KeyRecord>().swap(part.keys);
            std::string().swap(part.numbers);
        }
        std::move(part.warnings.begin(), part.warnings.end(), std::back_inserter(result.warnings));
    }
}

// Each line of `text` to `read`, which adds the keys it gives and answers why it left the line
// out (nothing when it did not); a file that is not text, or too long, is refused whole. A large
// text is read in parts on threads of their own (most of the time goes on the keys'
// arithmetic), joined in the order of the lines.
template <typename ReadLine>
KeyRecords recordEachLine(std::string_view text, std::size_t maxBytes, ReadLine read) {
    KeyRecords result;
    result.text = text;
    result.error = refusal(text, std::min(maxBytes, MostBytes));
    if (!result.error.empty()) {
        return result;
    }
    const std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
    std::vector<Part> parts =
        partsOf(text, std::min({cores, MostParts, text.size() / BytesPerPart + 1}));
    readParts(read, text.data(), parts);
    joinParts(parts, result);
    return result;
}

// The line that starts at or holds `at`'s fields, from `at` to its end (no CR LF).
std::string_view restOfLine(std::string_view text, std::size_t at) {
    std::string_view rest = text.substr(at, text.find('\n', at) - at);
    if (!rest.empty() && rest.back() == '\r') {
        rest.remove_suffix(1);
    }
    return rest;
}

// The names are unescaped when they are asked for.
ReadWarning readPuttyLine(std::string_view line, std::size_t number, Sink& sink) {
    if (line.find_first_not_of(" \t") == std::string_view::npos || line[0] == '#') {
        return {};
    }
    const std::size_t space = line.find(' ');
    const std::optional<CachedName> name =
        space == std::string_view::npos ? std::nullopt : parseCachedName(line.substr(0, space));
    if (!name) {
        return leftOut("malformed line left out: not <type>@<port>:<host> <data>",
                       ReadWarning::NotAKey);
    }
    ParsedKey parsed = parsePuttyKey(name->keyType, line.substr(space + 1));
    if (!parsed.key) {
        return leftOut("malformed line left out: " + parsed.error, ReadWarning::NotAKey);
    }
    KeyRecord key;
    key.line = static_cast<std::uint32_t>(number);
    key.at = sink.offset(line);
    key.port = name->port;
    sink.add(key, line.substr(space - name->host.size(), name->host.size()));
    return {};
}

// The KeyText of a PuTTY line.
KeyText puttyLineKey(std::string_view line) {
    const std::size_t space = line.find(' ');
    const std::optional<CachedName> name = parseCachedName(line.substr(0, space));
    KeyText key;
    ParsedKey parsed = parsePuttyKey(name->keyType, line.substr(space + 1));
    static_cast<HostKey&>(key) = std::move(*parsed.key);
    key.data = std::string(line.substr(space + 1));
    if (!key.wire.empty()) {
        key.fingerprint = sha256Fingerprint(key.wire);
    }
    return key;
}

// Records as keys, each line's key shared by the names it gives.
ReadKeys readKeysOf(KeyRecords records) {
    ReadKeys read;
    read.error = std::move(records.error);
    read.warnings = std::move(records.warnings);
    read.keys.reserve(records.keys.size());
    std::shared_ptr<const KeyText> last;
    for (std::size_t i = 0; i < records.keys.size(); ++i) {
        const KeyRecord& record = records.keys[i];
        if (i == 0 || records.keys[i - 1].at != record.at) {
            last = std::make_shared<const KeyText>(records.keyOf(record));
        }
        read.keys.push_back(ReadKey{record.line, records.host(record), record.port, last});
    }
    return read;
}

} // namespace

std::string KeyRecords::host(const KeyRecord& record) const {
    if (record.hostSize == KeyRecord::QueryHost) {
        return (*queries)[record.hostAt].host;
    }
    const std::string_view host = text.substr(record.hostAt, record.hostSize);
    return puttyLines && escapedNames ? unescapeHost(host) : std::string(host);
}

std::string KeyRecords::puttyType(const KeyRecord& record) const {
    const std::string_view rest = restOfLine(text, record.at);
    if (puttyLines) {
        return std::string(rest.substr(0, rest.find('@')));
    }
    return puttyTypeOf(rest.substr(0, rest.find_first_of(" \t")));
}

namespace {

// The wire form of a known_hosts record's key, and its PuTTY text made from it.
PuttyKeyText knownHostsKey(const KeyRecords& records, const KeyRecord& record, Bytes& wire) {
    const std::string_view rest = restOfLine(records.text, record.at);
    const std::size_t type = rest.find_first_of(" \t");
    const std::size_t start = rest.find_first_not_of(" \t", type);
    wire = *base64Decode(rest.substr(start, rest.find_first_of(" \t", start) - start));
    Bytes number;
    if (record.recovered != KeyRecord::NoNumber) {
        const auto* at =
            reinterpret_cast<const unsigned char*>(records.numbers.data() + record.recovered);
        number.assign(at + 1, at + 1 + at[0]);
    }
    return *puttyKeyFromWireWith(wire, number);
}

} // namespace

std::string KeyRecords::dataOf(const KeyRecord& record) const {
    if (puttyLines) {
        const std::string_view rest = restOfLine(text, record.at);
        return std::string(rest.substr(rest.find(' ') + 1));
    }
    Bytes wire;
    return knownHostsKey(*this, record, wire).data;
}

std::string KeyRecords::fingerprintOf(const KeyRecord& record) const {
    if (puttyLines) {
        return keyOf(record).fingerprint;
    }
    const std::string_view rest = restOfLine(text, record.at);
    const std::size_t type = rest.find_first_of(" \t");
    const std::size_t start = rest.find_first_not_of(" \t", type);
    return sha256Fingerprint(
        *base64Decode(rest.substr(start, rest.find_first_of(" \t", start) - start)));
}

KeyText KeyRecords::keyOf(const KeyRecord& record) const {
    if (puttyLines) {
        return puttyLineKey(restOfLine(text, record.at));
    }
    KeyText key;
    PuttyKeyText putty = knownHostsKey(*this, record, key.wire);
    key.openSshType = openSshTypeOf(putty.puttyType);
    key.puttyType = std::move(putty.puttyType);
    key.bits = putty.bits;
    key.data = std::move(putty.data);
    key.fingerprint = sha256Fingerprint(key.wire);
    return key;
}

KeyRecords recordKnownHosts(std::string_view text, const HostQueries& queries,
                            std::size_t maxBytes) {
    KeyRecords records = recordEachLine(
        text, maxBytes,
        [&queries](std::string_view line, std::size_t number, Sink& sink) -> ReadWarning {
            const std::size_t first = line.find_first_not_of(" \t");
            if (first == std::string_view::npos || line[first] == '#') {
                return {};
            }
            return readLine(line.substr(first), number, queries, sink);
        });
    records.queries = &queries;
    return records;
}

KeyRecords recordPuttyLines(std::string_view text, bool escapedNames, std::size_t maxBytes) {
    KeyRecords records =
        recordEachLine(text, maxBytes, [](std::string_view line, std::size_t number, Sink& sink) {
            return readPuttyLine(line, number, sink);
        });
    records.puttyLines = true;
    records.escapedNames = escapedNames;
    return records;
}

ReadKeys readKnownHosts(std::string_view text, const std::optional<HostQuery>& query,
                        std::size_t maxBytes) {
    return readKnownHosts(text, query ? HostQueries{*query} : HostQueries{}, maxBytes);
}

ReadKeys readKnownHosts(std::string_view text, const HostQueries& queries, std::size_t maxBytes) {
    return readKeysOf(recordKnownHosts(text, queries, maxBytes));
}

ReadKeys readPuttyLines(std::string_view text, bool escapedNames, std::size_t maxBytes) {
    return readKeysOf(recordPuttyLines(text, escapedNames, maxBytes));
}

} // namespace KeyModel
