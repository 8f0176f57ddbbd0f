// The POSIX host-key store from fuzzed file bytes, through PAL::RegistryKey on the platform's
// own backend: the file is written to tmpfs, PUTTYSSHHOSTKEYS names it, the key is opened,
// every value listed (names and data), one name deleted, and the result compared with an
// independent reading of the bytes.
//
// Input: the first byte chooses the name to delete. Below 0x80 it picks one of the file's value
// names (its index modulo their number) and the file is the rest of the input; from 0x80 the
// name is the text up to the next line feed (cut at a NUL, as the registry's C string is) and
// the file is what follows that line feed.
//
// The reading: lines end at "\n"; a line's text leaves out the "\n" and a "\r" just before it
// (a last line without "\n" keeps a "\r" it ends with, as the store reads it);
// a line with text is a value, named by the text up to its first space, its data the rest
// after that space. A name holding a NUL byte is not a value: never listed, never deleted.
// A delete removes the whole lines (terminators included) of every value with exactly that
// name and keeps every other byte; a name that no value has, or the empty name, leaves the file
// as it was.
#include "FuzzSupport.h"
#include "PAL/PuttyCache.h"

#include "PAL/ByteBuffer.h"
#include "PAL/Exception.h"
#include "PAL/LogUtil.h"
#include "PAL/RegistryApi.h"
#include "PAL/RegistryKey.h"
#include "PAL/RegistryKeyDescriptor.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using hkfuzz::fail;

constexpr PAL::RegistryApi::Status Success = 0;
constexpr PAL::RegistryApi::Status NotFound = 2;

struct Line {
    std::size_t begin;
    std::size_t end; // past the terminator
    bool value;
    std::string name;
    std::string data;
};

std::vector<Line> readLines(const std::string& bytes) {
    std::vector<Line> lines;
    std::size_t begin = 0;
    while (begin < bytes.size()) {
        std::size_t newline = bytes.find('\n', begin);
        std::size_t end = newline == std::string::npos ? bytes.size() : newline + 1;
        std::size_t textEnd = newline == std::string::npos ? bytes.size() : newline;
        if (newline != std::string::npos && textEnd > begin && bytes[textEnd - 1] == '\r') {
            --textEnd;
        }
        Line line{begin, end, textEnd > begin, std::string(), std::string()};
        const std::string text = bytes.substr(begin, textEnd - begin);
        const std::size_t space = text.find(' ');
        line.name = text.substr(0, space);
        line.data = space == std::string::npos ? std::string() : text.substr(space + 1);
        if (line.name.find('\0') != std::string::npos) {
            line.value = false;
        }
        lines.push_back(line);
        begin = end;
    }
    return lines;
}

std::vector<std::string> expectedListing(const std::vector<Line>& lines,
                                         std::vector<std::string>* data = nullptr) {
    std::vector<std::string> names;
    for (const Line& line : lines) {
        if (line.value) {
            names.push_back(line.name);
            if (data) {
                data->push_back(line.data);
            }
        }
    }
    return names;
}

std::string filePath;

void writeFile(const std::string& bytes) {
    const int fd = ::open(filePath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()) ||
        ::close(fd) != 0) {
        fail("cannot write the host-key file", filePath);
    }
}

std::string readFile() {
    const int fd = ::open(filePath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        fail("the host-key file is gone", filePath);
    }
    std::string bytes;
    char buffer[65536];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0) {
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return bytes;
}

// Nothing but the host-key file may be left beside it.
void checkDirectory() {
    DIR* dir = ::opendir(hkfuzz::scratchDir().c_str());
    if (dir == nullptr) {
        fail("cannot read the scratch directory");
    }
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != ".." && name != "sshhostkeys") {
            ::closedir(dir);
            fail("a file was left beside the host-key file", name);
        }
    }
    ::closedir(dir);
}

// Named to the store as each program's main names it.
const PAL::RegistryKeyDescriptor& cache() {
    PAL::setHostKeyCachePath(PAL::puttyCacheSubKey());
    return PAL::currentUserCache();
}

void checkListing(const PAL::RegistryKey& key, const std::vector<Line>& lines, const char* when) {
    std::vector<std::string> data;
    const std::vector<std::string> expected = expectedListing(lines, &data);
    const std::vector<std::string> listed = key.getValueNames();
    if (listed != expected) {
        fail(std::string("listing ") + when,
             "listed " + hkfuzz::describe(listed) + "\nexpected " + hkfuzz::describe(expected));
    }
    PAL::ByteBuffer buffer(0);
    for (std::uint32_t i = 0; i < expected.size(); ++i) {
        const PAL::RegistryValue value = key.getValue(i, &buffer);
        const std::string got(reinterpret_cast<const char*>(buffer.getData()),
                              value.dataSize ? value.dataSize - 1 : 0);
        if (!value.found || value.name != expected[i] || value.dataSize != data[i].size() + 1 ||
            got != data[i]) {
            fail(std::string("value data ") + when, expected[i] + " : " + got);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Records of failed opens would go to log/provider.log of the current directory.
    hkfuzz::logNothing();
    filePath = hkfuzz::scratchDir() + "/sshhostkeys";
    ::setenv("PUTTYSSHHOSTKEYS", filePath.c_str(), 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return -1;
    }
    const auto* text = reinterpret_cast<const char*>(data);
    std::string bytes;
    std::string name;
    const bool pick = data[0] < 0x80;
    if (pick) {
        bytes.assign(text + 1, size - 1);
    } else {
        const void* newline = std::memchr(text + 1, '\n', size - 1);
        const std::size_t nameEnd =
            newline ? static_cast<std::size_t>(static_cast<const char*>(newline) - text) : size;
        name.assign(text + 1, nameEnd - 1);
        name = name.substr(0, name.find('\0'));
        if (nameEnd < size) {
            bytes.assign(text + nameEnd + 1, size - nameEnd - 1);
        }
    }
    const std::vector<Line> lines = readLines(bytes);
    if (pick) {
        std::vector<std::string> names;
        for (const Line& line : lines) {
            if (line.value) {
                names.push_back(line.name);
            }
        }
        name = names.empty() ? std::string("rsa2@22:host1") : names[data[0] % names.size()];
    }

    writeFile(bytes);
    try {
        PAL::RegistryKey key(cache());
        checkListing(key, lines, "before the delete");

        std::string expected;
        bool found = false;
        for (const Line& line : lines) {
            // The empty name is listed (a line that starts with a space) but never deleted:
            // no delete the program makes can ask for it.
            if (line.value && line.name == name && !name.empty()) {
                found = true;
            } else {
                expected.append(bytes, line.begin, line.end - line.begin);
            }
        }
        const PAL::RegistryApi::Status status = key.deleteValue(name);
        if (status != (found ? Success : NotFound)) {
            fail("delete status " + std::to_string(status), name);
        }
        const std::string now = readFile();
        if (now != expected) {
            fail("the file after deleting <" + hkfuzz::escaped(name) + ">",
                 "got " + now + "\nexpected " + expected);
        }
        if (found) {
            checkDirectory(); // only a rewrite makes a temporary file
        }
        checkListing(key, readLines(expected), "after the delete");
    } catch (const PAL::RegistryKeyError& error) {
        fail("the key does not open", error.getMessage());
    }
    return 0;
}
