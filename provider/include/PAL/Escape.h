// Text from outside the program (names other users chose, arguments) made fit for one line of
// a log or a terminal.
#ifndef PAL_ESCAPE_H
#define PAL_ESCAPE_H

#include <string>
#include <string_view>

namespace PAL {

// Appends `text` with its control bytes and DEL written as \n, \r, \t or \xNN (lower-case hex),
// so that it can neither break the line nor drive a terminal. Other bytes, those above 0x7F
// and backslashes included, go out unchanged.
void appendEscaped(std::string& line, std::string_view text);
std::string escaped(std::string_view text);

} // namespace PAL

#endif // PAL_ESCAPE_H
