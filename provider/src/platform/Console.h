// Standard streams, one implementation per platform (PosixConsole.cpp, Win32Console.cpp). Not
// part of the public headers.
#ifndef PAL_SRC_CONSOLE_H
#define PAL_SRC_CONSOLE_H

#include <cstddef>

namespace PAL {
namespace console {

// Makes sure a closed standard descriptor cannot be handed out again by a later open (the
// cache, its temporary copy, the log) while still failing like a closed one.
void reserveStandardDescriptors();

// Gives standard output `buffer`: written a block at a time, except on an interactive terminal,
// which sees each line as it ends. Called before anything is written to it.
void bufferStandardOutput(char* buffer, std::size_t size);

// Standard output written as bytes, without a text mode's line ends.
void binaryStandardOutput();

} // namespace console
} // namespace PAL

#endif // PAL_SRC_CONSOLE_H
