#include "support/LogRecords.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>

namespace hktest {

const char* const RecordHeadPattern =
    R"((\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}) 0x([1-9a-f][0-9a-f]*)  )";

const std::string& textModeNewline() {
    static const std::string newline = [] {
        TempDir dir;
        const std::string probe = dir.file("newline");
        std::FILE* file = std::fopen(probe.c_str(), "w");
        if (file != nullptr) {
            std::fputs("\n", file);
            std::fclose(file);
        }
        return readFile(probe);
    }();
    return newline;
}

std::string asWrittenInTextMode(const std::string& text) {
    std::string result;
    for (char c : text) {
        if (c == '\n') {
            result += textModeNewline();
        } else {
            result += c;
        }
    }
    return result;
}

std::vector<std::string> logRecords(const std::string& path) {
    SCOPED_TRACE(path);
    return parseLogRecords(readFile(path));
}

std::vector<std::string> parseLogRecords(const std::string& text) {
    static const std::regex head(std::string("^") + RecordHeadPattern);
    const std::string& newline = textModeNewline();
    std::vector<std::string> records;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t end = text.find(newline, pos);
        if (end == std::string::npos) {
            ADD_FAILURE() << "the text does not end in a line end: " << text.substr(pos);
            break;
        }
        const std::string line = text.substr(pos, end - pos);
        std::smatch match;
        if (std::regex_search(line, match, head)) {
            records.push_back(match.suffix());
        } else {
            ADD_FAILURE() << "not a record line: " << line;
        }
        pos = end + newline.size();
    }
    return records;
}

} // namespace hktest
