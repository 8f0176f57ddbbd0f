// Pieces the fuzz targets share: silenced or collected standard streams, a scratch directory on
// tmpfs, splitting an input, and reporting a broken property as a crash libFuzzer keeps.
#ifndef HK_TESTS_FUZZ_FUZZSUPPORT_H
#define HK_TESTS_FUZZ_FUZZSUPPORT_H

#include <cstddef>
#include <cstdint>
#include <streambuf>
#include <string>
#include <vector>

namespace hkfuzz {

// Accepts and keeps everything written: a stream on it never fails.
class StringBuffer : public std::streambuf {
public:
    std::string text;

protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* s, std::streamsize n) override;
};

// Accepts everything and keeps nothing.
class NullBuffer : public std::streambuf {
protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* s, std::streamsize n) override;
};

// A directory of this process on /dev/shm (or TMPDIR when there is none), made on first use and
// removed with its contents when the process exits normally.
const std::string& scratchDir();

// The input cut at every `separator`; n separators give n + 1 pieces.
std::vector<std::string> split(const std::uint8_t* data, std::size_t size, char separator);

// The pieces as one line, each in brackets, for a failure's detail.
std::string describe(const std::vector<std::string>& pieces);

// No log or trace file: records of the code under test would otherwise go to the current
// directory.
void logNothing();

// Prints `what` and `detail` (bytes escaped) and aborts, so libFuzzer saves the input.
[[noreturn]] void fail(const std::string& what, const std::string& detail = std::string());

// `text` with every byte outside printable ASCII as \xNN.
std::string escaped(const std::string& text);

} // namespace hkfuzz

#endif // HK_TESTS_FUZZ_FUZZSUPPORT_H
