// Collects what is written to std::cerr while the object lives (the log module's own failures
// are reported there).
#ifndef HK_TESTS_STDERRCAPTURE_H
#define HK_TESTS_STDERRCAPTURE_H

#include <sstream>
#include <streambuf>
#include <string>

namespace hktest {

class StderrCapture {
public:
    StderrCapture();
    ~StderrCapture();
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    std::string text() const { return captured.str(); }

private:
    std::ostringstream captured;
    std::streambuf* previous;
};

} // namespace hktest

#endif // HK_TESTS_STDERRCAPTURE_H
