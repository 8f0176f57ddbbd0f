// Text from outside the program (names other users chose, arguments, what servers send) made
// fit for one line of a log or a terminal.
#ifndef PAL_ESCAPE_H
#define PAL_ESCAPE_H

#include <string>
#include <string_view>

namespace PAL {

// Appends `text` with its control bytes and DEL written as \n, \r, \t or \xNN (lower-case hex),
// so that it can neither break the line nor drive a terminal. UTF-8 is read as UTF-8: the C1
// controls (U+0080-U+009F: a terminal takes U+009B for CSI) and the bidi controls
// (U+202A-U+202E, U+2066-U+2069: they reorder what the user reads) are written as \xNN for each
// of their bytes, and so is every byte that is not part of valid UTF-8. Other characters,
// backslashes included, go out unchanged.
void appendEscaped(std::string& line, std::string_view text);
std::string escaped(std::string_view text);

// A JSON text (valid UTF-8) with those C1 and bidi controls written as \uXXXX escapes, which
// JSON writers leave raw: the same document to a JSON reader, safe on a terminal.
std::string jsonEscapedControls(std::string_view json);

} // namespace PAL

#endif // PAL_ESCAPE_H
