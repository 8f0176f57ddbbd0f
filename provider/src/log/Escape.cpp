#include "PAL/Escape.h"

namespace PAL {

void appendEscaped(std::string& line, std::string_view text) {
    static const char Hex[] = "0123456789abcdef";
    // Runs of plain bytes are appended whole: a listing passes every name through here.
    std::size_t plain = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x20 && byte != 0x7F) {
            continue;
        }
        line.append(text.substr(plain, i - plain));
        plain = i + 1;
        if (byte == '\n') {
            line += "\\n";
        } else if (byte == '\r') {
            line += "\\r";
        } else if (byte == '\t') {
            line += "\\t";
        } else {
            line += "\\x";
            line += Hex[byte >> 4];
            line += Hex[byte & 0xF];
        }
    }
    line.append(text.substr(plain));
}

std::string escaped(std::string_view text) {
    std::string line;
    appendEscaped(line, text);
    return line;
}

} // namespace PAL
