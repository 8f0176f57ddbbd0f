// Collects what is written to std::cout while the object lives, and where it was flushed.
#ifndef HK_TESTS_STDOUTCAPTURE_H
#define HK_TESTS_STDOUTCAPTURE_H

#include <cstddef>
#include <set>
#include <streambuf>
#include <string>
#include <vector>

namespace hktest {

class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    std::string text() const { return buffer.text; }
    // The lines (without their line end) whose line end was not flushed before anything else
    // was written: output that a process exit without unwinding could lose.
    std::vector<std::string> unflushedLines() const;

private:
    class Buffer : public std::streambuf {
    public:
        std::string text;
        std::set<std::size_t> flushedAt; // sizes of text at each flush

    protected:
        int_type overflow(int_type c) override;
        std::streamsize xsputn(const char* s, std::streamsize n) override;
        int sync() override;
    };

    Buffer buffer;
    std::streambuf* previous;
};

} // namespace hktest

#endif // HK_TESTS_STDOUTCAPTURE_H
