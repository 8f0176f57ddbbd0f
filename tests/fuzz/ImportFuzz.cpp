// hkcache import from fuzzed text into PuTTY for Unix's file (on tmpfs, named by
// PUTTYSSHHOSTKEYS), then a listing of the file. The first byte: bit 0 picks PuTTY's lines
// (else known_hosts), bits 1-2 the --host given (none, or one of three), as in the readers'
// target. What is listed is every key the reader gave, one per name, the first of each; the
// exit status is 1 exactly when a later key for a name differs; a second import changes nothing.
#include "FuzzSupport.h"
#include "Import.h"

#include "HkCache.h"
#include "KeyModel/CachedName.h"
#include "KeyModel/KeyReader.h"
#include "KeyModel/KnownHosts.h"

#include "PAL/PuttyCache.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <map>
#include <ostream>
#include <set>
#include <string>

namespace {

using hkfuzz::fail;
using namespace KeyModel;

const std::string& cacheFile() {
    static const std::string path = [] {
        hkfuzz::logNothing();
        const std::string file = hkfuzz::scratchDir() + "/sshhostkeys";
        ::setenv("PUTTYSSHHOSTKEYS", file.c_str(), 1);
        // As hkcache's main does.
        PAL::setHostKeyCachePath(PAL::puttyCacheSubKey());
        return file;
    }();
    return path;
}

std::multiset<std::string> linesOf(const std::string& text) {
    std::multiset<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        lines.insert(text.substr(start, end - start));
        start = end == std::string::npos ? text.size() : end + 1;
    }
    return lines;
}

int import(const std::string& text, const hkcache::ImportOptions& options, std::string* out) {
    hkfuzz::StringBuffer buffer;
    hkfuzz::NullBuffer nothing;
    std::ostream stream(&buffer);
    std::ostream errors(&nothing);
    hkcache::Diagnostics diagnostics(errors);
    const int status =
        hkcache::exitCode(hkcache::importText(text, "fuzz", options, stream, diagnostics));
    *out = buffer.text;
    return status;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return -1;
    }
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    const unsigned mode = data[0];
    static const char* const hosts[] = {"web.example.com", "[WEB.example.com]:2222", "::1"};
    hkcache::ImportOptions options;
    options.format = (mode & 1) ? "putty" : "known_hosts";
    if ((mode >> 1) & 3) {
        options.hosts = {hosts[((mode >> 1) & 3) - 1]};
    }
    options.maxBytes = text.size();
    std::ofstream(cacheFile(), std::ios::trunc).close();

    // What the reader gives, as the import asks it.
    ReadKeys read;
    if (mode & 1) {
        read = readPuttyLines(text, false, text.size());
    } else {
        std::optional<HostQuery> query;
        if ((mode >> 1) & 3) {
            const std::string host = hosts[((mode >> 1) & 3) - 1];
            query = host[0] == '[' ? HostQuery{host.substr(1, host.find(']') - 1), 2222}
                                   : HostQuery{host, 22};
        }
        read = readKnownHosts(text, query, text.size());
    }
    std::map<std::string, const ReadKey*> first;
    bool differs = false;
    std::multiset<std::string> expected;
    for (const ReadKey& key : read.keys) {
        if ((mode & 1) && !options.hosts.empty()) {
            continue; // narrowed by --host: checked by the unit tests, not here
        }
        const std::string name =
            composeCachedName(CachedName{key.key->puttyType, key.port, key.host});
        const auto [it, added] = first.emplace(name, &key);
        if (!added) {
            differs = differs || it->second->key->wire != key.key->wire ||
                      (key.key->wire.empty() && it->second->key->data != key.key->data);
            continue;
        }
        expected.insert((mode & 1) ? name + " " + key.key->data
                                   : knownHostsLine(key.host, key.port, *key.key));
    }
    if ((mode & 1) && !options.hosts.empty()) {
        return 0;
    }

    std::string printed;
    const int status = import(text, options, &printed);
    const int wanted = !read.error.empty() ? 2 : read.keys.empty() ? 5 : differs ? 1 : 0;
    if (status != wanted) {
        fail("import exited " + std::to_string(status) + ", not " + std::to_string(wanted), text);
    }
    if (linesOf(printed).size() != expected.size()) {
        fail("lines printed are not one per key added", printed);
    }
    hkfuzz::StringBuffer listed;
    hkfuzz::NullBuffer nothing;
    std::ostream listOut(&listed);
    std::ostream listErr(&nothing);
    runHkCache({"list", "--format", (mode & 1) ? "putty" : "known_hosts"}, listOut, listErr);
    if (linesOf(listed.text) != expected) {
        fail("listed keys are not the keys read", text + "\n-> listed:\n" + listed.text);
    }

    if (import(text, options, &printed) != wanted || !printed.empty()) {
        fail("a second import changed something", printed);
    }
    return 0;
}
