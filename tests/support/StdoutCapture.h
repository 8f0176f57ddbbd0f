// Collects what is written to std::cout while the object lives.
#ifndef HK_TESTS_STDOUTCAPTURE_H
#define HK_TESTS_STDOUTCAPTURE_H

#include <sstream>
#include <streambuf>
#include <string>

namespace hktest {

class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    std::string text() const { return captured.str(); }

private:
    std::ostringstream captured;
    std::streambuf* previous;
};

} // namespace hktest

#endif // HK_TESTS_STDOUTCAPTURE_H
