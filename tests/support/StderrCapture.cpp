#include "support/StderrCapture.h"

#include <iostream>

namespace hktest {

StderrCapture::StderrCapture() : previous(std::cerr.rdbuf(captured.rdbuf())) {}
StderrCapture::~StderrCapture() {
    std::cerr.rdbuf(previous);
}

} // namespace hktest
