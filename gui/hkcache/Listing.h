// The output of a list, in each of its formats, written as the keys come.
#ifndef HK_GUI_HKCACHE_LISTING_H
#define HK_GUI_HKCACHE_LISTING_H

#include "Diagnostics.h"

#include "KeyModel/CachedName.h"

#include <ostream>
#include <string>
#include <string_view>

namespace hkcache {

enum class Format { Text, Json, KnownHosts, Putty };

// One cached key that the filter let through.
struct ListedKey {
    std::string_view cache; // the cache's name
    std::string_view name;  // the value name as stored
    const KeyModel::CachedName& parsed;
    std::string_view host; // unescaped
    std::string_view data; // PuTTY's text of the key
};

class Listing {
public:
    // `showCache`: the text form names each key's cache (more than one is listed).
    Listing(Format format, bool showCache, std::ostream& out, Diagnostics& diagnostics);
    Listing(const Listing&) = delete;
    Listing& operator=(const Listing&) = delete;

    void add(const ListedKey& key);
    // Ends the document (json) and writes what is buffered.
    void finish();
    unsigned count() const { return listed; }

private:
    void flushIfFull();

    Format format;
    bool showCache;
    std::ostream& out;
    Diagnostics& diagnostics;
    std::string buffer;
    unsigned listed = 0;
};

} // namespace hkcache

#endif // HK_GUI_HKCACHE_LISTING_H
