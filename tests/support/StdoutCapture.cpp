#include "support/StdoutCapture.h"

#include <iostream>

namespace hktest {

StdoutCapture::StdoutCapture() : previous(std::cout.rdbuf(captured.rdbuf())) {}
StdoutCapture::~StdoutCapture() {
    std::cout.rdbuf(previous);
}

} // namespace hktest
