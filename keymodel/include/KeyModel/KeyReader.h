// Reading keys to import: an OpenSSH known_hosts file (or a server's .pub file) and PuTTY's own
// `name data` lines (what `hkcache list --format putty` and a remove's backup hold).
#ifndef KEYMODEL_KEYREADER_H
#define KEYMODEL_KEYREADER_H

#include "KeyModel/HostKey.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace KeyModel {

// A key read, with what is written and printed for it.
struct KeyText : HostKey {
    std::string data;        // PuTTY's stored text of the key
    std::string fingerprint; // sha256Fingerprint(wire); empty for an SSH-1 key
};

// One key for one host and port; a known_hosts line naming several hosts gives one each, all
// sharing the line's key (a line may name millions).
struct ReadKey {
    std::size_t line = 0;
    std::string host; // as the user types it, never escaped
    unsigned port = 22;
    std::shared_ptr<const KeyText> key;
};

// A line left out, or a wildcard the line's other names are read without; and why (the
// message does not hold the line number).
struct ReadWarning {
    // What kind of line it was, for a summary when no key is left.
    enum Kind {
        Other,      // a marker, pattern or certificate: known_hosts that PuTTY has no use for
        HashedName, // a hashed name, and no host given to match it against
        NoHost,     // a .pub line, and not exactly one host given to import it for
        NotAKey,    // neither a key line nor a key PuTTY caches
    };
    std::size_t line = 0;
    std::string message;
    Kind kind = Other;
};

// `error` set: the file as a whole is refused (entries and warnings are then empty).
struct ReadKeys {
    std::vector<ReadKey> keys;
    std::vector<ReadWarning> warnings;
    std::string error;
};

// A host to import for: hashed names are matched against it, other names are narrowed to it.
struct HostQuery {
    std::string host; // as the user types it, without brackets
    unsigned port = 22;
};
using HostQueries = std::vector<HostQuery>;

// One key read, where it lies in the text read: a few offsets, for a reader of many keys that
// makes each key's text when it writes it (KeyRecords::keyOf). A known_hosts line naming
// several hosts gives a record each, all at the line's key.
struct KeyRecord {
    static constexpr std::uint32_t QueryHost = 0xFFFFFFFFu; // hostSize of a hashed or .pub line
    static constexpr std::uint32_t NoNumber = 0xFFFFFFFFu;

    std::uint32_t line = 0;
    std::uint32_t at = 0;     // the key's fields: known_hosts' type, or PuTTY's name
    std::uint32_t hostAt = 0; // the host (unescaped when it is written), or the query's index
    std::uint32_t hostSize = QueryHost;
    std::uint32_t recovered = NoNumber; // in KeyRecords::numbers: what puttyKeyFromWire kept
    std::uint32_t port = 22;
};

// The keys of a text as records; the text (and the queries) must outlive them.
struct KeyRecords {
    std::vector<KeyRecord> keys;
    std::vector<ReadWarning> warnings;
    std::string error;
    std::string numbers; // each a length byte and that many bytes
    std::string_view text;
    const HostQueries* queries = nullptr;
    bool puttyLines = false;
    bool escapedNames = false;

    // The key's host as the user types it (unescaped).
    std::string host(const KeyRecord& record) const;
    // PuTTY's type name of the key.
    std::string puttyType(const KeyRecord& record) const;
    // The key, its text and fingerprint: as the reader had them, made again without the
    // arithmetic of recovering a point.
    KeyText keyOf(const KeyRecord& record) const;
    // Only its text (KeyText::data): what a store writes.
    std::string dataOf(const KeyRecord& record) const;
    // Only its fingerprint (KeyText::fingerprint): what a report shows.
    std::string fingerprintOf(const KeyRecord& record) const;
};

// As OpenSSH reads known_hosts: comments, blank lines, leading blanks, comma-separated names,
// `[host]:port`, hashed names (only with a query, matched as ssh hashes the lower-cased name).
// A line of a .pub file (`type base64 [comment]`) is the query host's key. Patterns, markers,
// certificates and malformed lines are left out with a warning each. A text longer than
// `maxBytes`, or one holding control bytes other than tab and CR LF, is an error.
ReadKeys readKnownHosts(std::string_view text, const std::optional<HostQuery>& query,
                        std::size_t maxBytes);
// The same for any of several hosts (none: every host); a .pub line needs exactly one.
ReadKeys readKnownHosts(std::string_view text, const HostQueries& queries, std::size_t maxBytes);

// PuTTY's `<type>@<port>:<host> <data>` lines, every key checked by parsePuttyKey; blank lines
// and '#' comments are skipped. `escapedNames`: the hosts are in PuTTY for Windows' escaped
// form (what it stores), so each is unescaped; PuTTY for Unix stores them as they are.
ReadKeys readPuttyLines(std::string_view text, bool escapedNames, std::size_t maxBytes);

// The same as records: `text` and `queries` must outlive the result.
KeyRecords recordKnownHosts(std::string_view text, const HostQueries& queries,
                            std::size_t maxBytes);
KeyRecords recordPuttyLines(std::string_view text, bool escapedNames, std::size_t maxBytes);

} // namespace KeyModel

#endif // KEYMODEL_KEYREADER_H
