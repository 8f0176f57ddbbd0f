// What every command prints on standard output, in each of its formats, written as it comes:
// a listing's keys, or what a change did (or would do, in a dry run) to each cache.
#ifndef HK_GUI_HKCACHE_REPORT_H
#define HK_GUI_HKCACHE_REPORT_H

#include "Diagnostics.h"
#include "RegFile.h"

#include "KeyModel/CachedName.h"
#include "KeyModel/HostKey.h"

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace hkcache {

enum class Format { Text, Json, KnownHosts, Putty, Reg };

// One cached key that the filter let through.
struct ListedKey {
    std::string_view cache; // the cache's name
    std::string_view name;  // the value name as stored
    const KeyModel::CachedName& parsed;
    std::string_view host;      // unescaped
    std::string_view data;      // PuTTY's text of the key
    std::string_view account{}; // the cache's account; empty: none named
};

// One key a change removed, added or replaced.
struct Change {
    enum Action { Removed, Added, Replaced };
    std::string_view cache;
    Action action;
    std::string_view name;           // as it is cached
    std::string_view fingerprint;    // "-" when it has none
    std::string_view oldFingerprint; // the key replaced, "-" when it has none
};

// Appends a cached name as text lines show it: escaped, and an empty host as "" (plink caches
// some that way), so that the line still says what `remove ''` takes.
void appendShownName(std::string& line, std::string_view name);

// One removal's section of a backup, as restore --list shows it.
struct BackupSection {
    std::size_t number;                     // 1: the newest
    std::string_view removed;               // its dated line's time; empty: it has none
    const std::vector<std::string>& caches; // as the section names them
    std::size_t keys;
};

class Report {
public:
    // A listing; `showCache`: the text form names each key's cache (more than one is listed).
    Report(Format format, bool showCache, std::ostream& out, Diagnostics& diagnostics);
    // A change's report (Text or Json); `showCache`: each text line starts with its cache.
    static Report changes(Format format, bool showCache, bool dryRun, std::ostream& out,
                          Diagnostics& diagnostics);
    // A backup's sections (Text or Json).
    static Report sections(Format format, std::ostream& out, Diagnostics& diagnostics);
    Report(Report&&) = default;
    Report(const Report&) = delete;
    Report& operator=(const Report&) = delete;

    void add(const ListedKey& key);
    void add(const Change& change);
    void add(const BackupSection& section);
    // Writes what is buffered: what was changed is out before the next step may fail.
    void flush();
    // Ends the document (json) and writes what is buffered.
    void finish();
    unsigned count() const { return listed; }

private:
    void addText(const ListedKey& key, const KeyModel::ParsedKey& parsed);
    void addJson(const ListedKey& key, const KeyModel::ParsedKey& parsed);
    void addKnownHosts(const ListedKey& key, const KeyModel::ParsedKey& parsed);
    void addJsonEntry(const std::string& entry);
    void flushIfFull();

    Format format;
    bool showCache;
    bool dryRun = false;
    std::ostream& out;
    Diagnostics& diagnostics;
    std::string buffer;
    RegWriter reg;
    unsigned listed = 0;
};

} // namespace hkcache

#endif // HK_GUI_HKCACHE_REPORT_H
