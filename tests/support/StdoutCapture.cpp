#include "support/StdoutCapture.h"

#include <iostream>

namespace hktest {

StdoutCapture::StdoutCapture() : previous(std::cout.rdbuf(&buffer)) {}
StdoutCapture::~StdoutCapture() {
    std::cout.rdbuf(previous);
}

std::vector<std::string> StdoutCapture::unflushedLines() const {
    std::vector<std::string> lines;
    std::size_t begin = 0;
    for (std::size_t end = buffer.text.find('\n'); end != std::string::npos;
         end = buffer.text.find('\n', begin)) {
        if (buffer.flushedAt.count(end + 1) == 0) {
            lines.push_back(buffer.text.substr(begin, end - begin));
        }
        begin = end + 1;
    }
    return lines;
}

StdoutCapture::Buffer::int_type StdoutCapture::Buffer::overflow(int_type c) {
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
        text += traits_type::to_char_type(c);
    }
    return traits_type::not_eof(c);
}

std::streamsize StdoutCapture::Buffer::xsputn(const char* s, std::streamsize n) {
    text.append(s, static_cast<std::size_t>(n));
    return n;
}

int StdoutCapture::Buffer::sync() {
    flushedAt.insert(text.size());
    return 0;
}

} // namespace hktest
