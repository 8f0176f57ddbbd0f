#include "MemoryLog.h"

#include <cstdint>
#include <map>

namespace hkfuzz {
namespace memorylog {
namespace {

class MemoryLogFiles final : public PAL::LogFileApi {
public:
    Handle open(const std::string& path, std::uint64_t* size) override {
        if (failOpens || path.find('\0') != std::string::npos) {
            return NotOpen;
        }
        const auto named = paths.emplace(path, next);
        if (named.second) {
            sizes[next++] = 0;
        }
        *size = sizes[named.first->second];
        return named.first->second;
    }

    bool isAt(Handle file, const std::string& path) override {
        const auto named = paths.find(path);
        return named != paths.end() && named->second == file;
    }

    void append(Handle file, const std::string& text) override { sizes[file] += text.size(); }

    void close(Handle) override {}

    bool replace(const std::string& from, const std::string& to) override {
        const auto named = paths.find(from);
        if (named == paths.end()) {
            return false;
        }
        const Handle file = named->second;
        paths.erase(named);
        paths[to] = file;
        return true;
    }

    std::map<std::string, Handle> paths; // the file each path names
    std::map<Handle, std::uint64_t> sizes;
    Handle next = 0;
    bool failOpens = false;
};

MemoryLogFiles& memory() {
    static MemoryLogFiles files;
    return files;
}

} // namespace

PAL::LogFileApi& files() {
    return memory();
}

void reset(bool failOpens) {
    MemoryLogFiles& m = memory();
    m.paths.clear();
    m.sizes.clear();
    m.next = 0;
    m.failOpens = failOpens;
}

std::vector<std::string> names() {
    std::vector<std::string> result;
    for (const auto& entry : memory().paths) {
        result.push_back(entry.first);
    }
    return result;
}

} // namespace memorylog
} // namespace hkfuzz
