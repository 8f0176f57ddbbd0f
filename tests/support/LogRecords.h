// Reading back what the log module wrote: record lines with their time and thread id checked
// against the record format and stripped, so the rest can be compared exactly.
#ifndef HK_TESTS_LOGRECORDS_H
#define HK_TESTS_LOGRECORDS_H

#include <string>
#include <vector>

namespace hktest {

// Matches the head of a record line ("2024-01-31T09:05:07 0x5d4  ") and captures the time and
// the thread id's hexadecimal digits.
extern const char* const RecordHeadPattern;

// The line end a text-mode write produces on this platform ("\n", or "\r\n" on Windows).
const std::string& textModeNewline();
// `text` as a text-mode write stores it.
std::string asWrittenInTextMode(const std::string& text);

// The records of a log file without their heads ("ERROR PAL message"), in file order. A line
// that is not a record, or a file that does not end in a line end, fails the calling test.
// Empty when the file does not exist.
std::vector<std::string> logRecords(const std::string& path);
// The same for text already read (for example the part of a file after earlier contents).
std::vector<std::string> parseLogRecords(const std::string& text);

} // namespace hktest

#endif // HK_TESTS_LOGRECORDS_H
