// PAL::File from fuzzed paths: made absolute by text (no "." or ".." left, at most 260
// characters) or kept as given, and the name split off as the run-time splits it. Paths that
// land inside this process's tmpfs scratch directory are also created and removed there; no
// other path is ever created.
#include "FuzzSupport.h"

#include "PAL/File.h"
#include "PAL/LogUtil.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>

namespace {

using hkfuzz::fail;

bool hasDotComponent(const std::string& path) {
    std::size_t begin = 0;
    while (begin <= path.size()) {
        std::size_t end = path.find('/', begin);
        if (end == std::string::npos) {
            end = path.size();
        }
        const std::string part = path.substr(begin, end - begin);
        if (part == "." || part == "..") {
            return true;
        }
        begin = end + 1;
    }
    return false;
}

std::string expectedFileName(const std::string& path) {
    std::string rest = path;
    if (rest.size() >= 2 && rest[1] == ':') {
        rest.erase(0, 2);
    }
    const std::size_t separator = rest.find_last_of("/\\");
    return separator == std::string::npos ? rest : rest.substr(separator + 1);
}

void checkPath(const PAL::File& file, const std::string& text) {
    std::string given = text;
    if (!given.empty() && given.back() == '\\') {
        given.pop_back();
    }
    const std::string path = file.getPath();
    const bool absolute = !path.empty() && path[0] == '/' && path.size() <= 260 &&
                          path.find("//") == std::string::npos && !hasDotComponent(path);
    if (!absolute && path != given) {
        fail("path of <" + text + ">", path);
    }
    if (text.find('\0') != std::string::npos && path != given) {
        fail("a path holding a NUL was made absolute", path);
    }
    if (file.getFileName() != expectedFileName(path)) {
        fail("file name of <" + path + ">", file.getFileName());
    }
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    hkfuzz::logNothing();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    checkPath(PAL::File(text), text);

    // The same text below the scratch directory.
    const std::string dir = hkfuzz::scratchDir() + "/";
    const std::string inside = dir + text;
    PAL::File file(inside);
    checkPath(file, inside);
    const std::string path = file.getPath();
    if (path.size() <= dir.size() || path.compare(0, dir.size(), dir) != 0 ||
        path.find('\0') != std::string::npos) {
        return 0;
    }
    const int created = file.create(false);
    if (created == 0) {
        if (!exists(path)) {
            fail("create returned 0 but there is no file", path);
        }
        if (file.create(true) != -4) {
            fail("a second exclusive create", path);
        }
        if (file.remove() != 0 || exists(path)) {
            fail("remove", path);
        }
        if (file.remove() != -3) {
            fail("remove of a removed file", path);
        }
    } else if (exists(path)) {
        fail("create failed but left a file", path);
    }
    return 0;
}
