#include "FuzzSupport.h"

#include "PAL/LogUtil.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <unistd.h>

namespace hkfuzz {

StringBuffer::int_type StringBuffer::overflow(int_type c) {
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
        text.push_back(traits_type::to_char_type(c));
    }
    return traits_type::not_eof(c);
}

std::streamsize StringBuffer::xsputn(const char* s, std::streamsize n) {
    text.append(s, static_cast<std::size_t>(n));
    return n;
}

NullBuffer::int_type NullBuffer::overflow(int_type c) {
    return traits_type::not_eof(c);
}

std::streamsize NullBuffer::xsputn(const char*, std::streamsize n) {
    return n;
}

namespace {
std::string madeDir;
void removeScratch() {
    std::error_code ignored;
    std::filesystem::remove_all(madeDir, ignored);
}
} // namespace

const std::string& scratchDir() {
    if (madeDir.empty()) {
        std::string base = "/dev/shm";
        if (!std::filesystem::is_directory(base)) {
            const char* tmp = std::getenv("TMPDIR");
            base = tmp && *tmp ? tmp : "/tmp";
        }
        std::string dir = base + "/hkprune-fuzz." + std::to_string(::getpid());
        std::error_code error;
        std::filesystem::remove_all(dir, error);
        if (!std::filesystem::create_directory(dir, error)) {
            fail("cannot make the scratch directory", dir);
        }
        madeDir = dir;
        std::atexit(&removeScratch);
    }
    return madeDir;
}

std::string describe(const std::vector<std::string>& pieces) {
    std::string text;
    for (const std::string& piece : pieces) {
        text += "[" + piece + "] ";
    }
    return text;
}

void logNothing() {
    PAL::setLogFileName("");
    PAL::setTraceFileName("");
}

std::vector<std::string> split(const std::uint8_t* data, std::size_t size, char separator) {
    std::vector<std::string> pieces(1);
    for (std::size_t i = 0; i < size; ++i) {
        const char c = static_cast<char>(data[i]);
        if (c == separator) {
            pieces.emplace_back();
        } else {
            pieces.back().push_back(c);
        }
    }
    return pieces;
}

std::string escaped(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out.push_back(static_cast<char>(c));
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

void fail(const std::string& what, const std::string& detail) {
    std::fprintf(stderr, "FUZZ PROPERTY BROKEN: %s\n  %s\n", what.c_str(), escaped(detail).c_str());
    std::abort();
}

} // namespace hkfuzz
