// Standard input as the bytes it holds.
#ifndef HK_GUI_HKCACHE_STANDARDINPUT_H
#define HK_GUI_HKCACHE_STANDARDINPUT_H

#include <cstdio>

namespace hkcache {

// Per platform: standard input, read as bytes. Windows starts it in text mode, where a Ctrl-Z
// ends it early and CR LF loses its CR.
std::FILE* standardInputAsBytes();

} // namespace hkcache

#endif // HK_GUI_HKCACHE_STANDARDINPUT_H
