#include "PAL/Escape.h"

namespace PAL {
namespace {

const char Hex[] = "0123456789abcdef";

bool continuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

// The length of the UTF-8 character at `i` (RFC 3629: no overlong forms, no surrogates,
// nothing past U+10FFFF), or 0 when the bytes there are none.
std::size_t utf8Length(std::string_view text, std::size_t i) {
    const auto at = [&](std::size_t k) {
        return i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0;
    };
    const unsigned char lead = at(0);
    const unsigned char second = at(1);
    std::size_t length = 0;
    unsigned char low = 0x80; // the second byte's range
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (second < low || second > high) {
        return 0;
    }
    for (std::size_t k = 2; k < length; ++k) {
        if (!continuation(at(k))) {
            return 0;
        }
    }
    return length;
}

// The code point of a C1 or bidi control of `length` bytes at `i`; 0 for any other character.
unsigned controlAt(std::string_view text, std::size_t i, std::size_t length) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
    if (length == 2 && byte(0) == 0xC2 && byte(1) <= 0x9F) {
        return byte(1);
    }
    if (length == 3 && byte(0) == 0xE2) {
        const unsigned point = 0x2000u | unsigned(byte(1) & 0x3F) << 6 | (byte(2) & 0x3Fu);
        if ((point >= 0x202A && point <= 0x202E) || (point >= 0x2066 && point <= 0x2069)) {
            return point;
        }
    }
    return 0;
}

void appendByte(std::string& line, unsigned char byte) {
    line += "\\x";
    line += Hex[byte >> 4];
    line += Hex[byte & 0xF];
}

} // namespace

void appendEscaped(std::string& line, std::string_view text) {
    // Runs of plain bytes are appended whole: a listing passes every name through here.
    std::size_t plain = 0;
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        std::size_t length = 1;
        if (byte >= 0x20 && byte < 0x7F) {
            ++i;
            continue;
        }
        if (byte >= 0x80) {
            length = utf8Length(text, i);
            if (length != 0 && controlAt(text, i, length) == 0) {
                i += length;
                continue;
            }
            length = length == 0 ? 1 : length;
        }
        line.append(text.substr(plain, i - plain));
        if (byte == '\n') {
            line += "\\n";
        } else if (byte == '\r') {
            line += "\\r";
        } else if (byte == '\t') {
            line += "\\t";
        } else {
            for (std::size_t k = 0; k < length; ++k) {
                appendByte(line, static_cast<unsigned char>(text[i + k]));
            }
        }
        i += length;
        plain = i;
    }
    line.append(text.substr(plain));
}

std::string escaped(std::string_view text) {
    std::string line;
    appendEscaped(line, text);
    return line;
}

std::string jsonEscapedControls(std::string_view json) {
    std::string out;
    out.reserve(json.size());
    std::size_t plain = 0;
    for (std::size_t i = 0; i < json.size(); ++i) {
        if (static_cast<unsigned char>(json[i]) < 0xC2) {
            continue;
        }
        const std::size_t length = utf8Length(json, i);
        const unsigned point = length ? controlAt(json, i, length) : 0;
        if (point == 0) {
            continue;
        }
        out.append(json.substr(plain, i - plain));
        out += "\\u";
        for (int shift = 12; shift >= 0; shift -= 4) {
            out += Hex[(point >> shift) & 0xF];
        }
        i += length - 1;
        plain = i + 1;
    }
    out.append(json.substr(plain));
    return out;
}

} // namespace PAL
