// Standard input as the bytes it holds.
#ifndef PAL_STANDARDINPUT_H
#define PAL_STANDARDINPUT_H

#include <cstdio>

namespace PAL {

// Per platform: standard input, read as bytes. Windows starts it in text mode, where a Ctrl-Z
// ends it early and CR LF loses its CR.
std::FILE* standardInputAsBytes();

} // namespace PAL

#endif // PAL_STANDARDINPUT_H
