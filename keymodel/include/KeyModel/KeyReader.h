// Reading keys to import: an OpenSSH known_hosts file (or a server's .pub file) and PuTTY's own
// `name data` lines (what `hkcache list --format putty` and a remove's backup hold).
#ifndef KEYMODEL_KEYREADER_H
#define KEYMODEL_KEYREADER_H

#include "KeyModel/HostKey.h"

#include <cstddef>
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

} // namespace KeyModel

#endif // KEYMODEL_KEYREADER_H
