#include "MemoryLog.h"

#include "Platform.h"

#include <cstdint>
#include <map>

namespace {

struct Files {
    std::map<std::string, std::intptr_t> paths; // the file each path names
    std::map<std::intptr_t, std::uint64_t> sizes;
    std::intptr_t next = 0;
    bool failOpens = false;
};

Files& files() {
    static Files f;
    return f;
}

} // namespace

namespace hkfuzz {
namespace memorylog {

void reset(bool failOpens) {
    files() = Files();
    files().failOpens = failOpens;
}

std::vector<std::string> names() {
    std::vector<std::string> result;
    for (const auto& entry : files().paths) {
        result.push_back(entry.first);
    }
    return result;
}

} // namespace memorylog
} // namespace hkfuzz

namespace PAL {
namespace platform {

bool LogFile::open(const std::string& path) {
    close();
    Files& f = files();
    if (f.failOpens || path.find('\0') != std::string::npos) {
        return false;
    }
    const auto named = f.paths.emplace(path, f.next);
    if (named.second) {
        f.sizes[f.next++] = 0;
    }
    handle = named.first->second;
    bytes = f.sizes[handle];
    return true;
}

void LogFile::close() {
    handle = -1;
}

bool LogFile::isAt(const std::string& path) const {
    const auto named = files().paths.find(path);
    return handle >= 0 && named != files().paths.end() && named->second == handle;
}

void LogFile::append(const std::string& text) {
    if (handle >= 0) {
        files().sizes[handle] += text.size();
    }
}

bool replaceFile(const std::string& from, const std::string& to) {
    Files& f = files();
    const auto named = f.paths.find(from);
    if (named == f.paths.end()) {
        return false;
    }
    const std::intptr_t file = named->second;
    f.paths.erase(named);
    f.paths[to] = file;
    return true;
}

} // namespace platform
} // namespace PAL
