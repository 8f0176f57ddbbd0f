#include "PAL/Process.h"

#include "Console.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <streambuf>

namespace PAL {
namespace {
void defaultExit(int status) {
    std::exit(status);
}
ExitHandler currentHandler = &defaultExit;

const char* program = nullptr;
// Static, so that printing never allocates: not even the report of running out of memory.
char outputBuffer[64 * 1024];

// The run-time's own buffer of std::cout, which hands everything to stdio.
std::streambuf* const standardBuffer = std::cout.rdbuf();

// std::cout's buffer: it hands everything to stdio, as the standard one does, but keeps the
// reason of the first failed write, which stdio forgets once it has dropped the block.
class StdoutBuffer : public std::streambuf {
public:
    StdoutBuffer() = default;
    // At exit the run-time flushes std::cout after this object is gone: give back its own.
    ~StdoutBuffer() override {
        if (std::cout.rdbuf() == this) {
            std::cout.rdbuf(standardBuffer);
        }
    }
    StdoutBuffer(const StdoutBuffer&) = delete;
    StdoutBuffer& operator=(const StdoutBuffer&) = delete;

    bool failed = false;
    int error = 0; // errno of the first failure; 0 when none was given

protected:
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) {
            return traits_type::not_eof(c);
        }
        // fwrite, not fputc: Wine's C run-time flushes the whole buffer on every '\n' fputc
        // writes.
        const char byte = traits_type::to_char_type(c);
        errno = 0;
        if (std::fwrite(&byte, 1, 1, stdout) != 1) {
            return fail();
        }
        return c;
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        errno = 0;
        const std::size_t written = std::fwrite(s, 1, static_cast<std::size_t>(n), stdout);
        if (written != static_cast<std::size_t>(n)) {
            fail();
        }
        return static_cast<std::streamsize>(written);
    }
    int sync() override {
        errno = 0;
        return std::fflush(stdout) == 0 ? 0 : (fail(), -1);
    }

private:
    int_type fail() {
        if (!failed) {
            failed = true;
            error = errno;
        }
        return traits_type::eof();
    }
};

StdoutBuffer* stdoutBuffer = nullptr;
} // namespace

void setUpStandardOutput(const char* programName) {
    program = programName;
    console::reserveStandardDescriptors();
    static StdoutBuffer buffer;
    if (stdoutBuffer == nullptr) {
        console::bufferStandardOutput(outputBuffer, sizeof outputBuffer);
        stdoutBuffer = &buffer;
    }
    // Not while a test collects std::cout in a buffer of its own.
    if (std::cout.rdbuf() == standardBuffer) {
        std::cout.rdbuf(&buffer);
    }
}

void standardOutputAsBytes() {
    // What is buffered was written for the mode it was written in.
    std::cout.flush();
    std::fflush(stdout);
    console::binaryStandardOutput();
}

int finishStandardOutput(int status) {
    errno = 0;
    std::cout.flush();
    const bool flushFailed = std::fflush(stdout) != 0;
    const int flushError = errno;
    const bool bufferFailed = std::cout.rdbuf() == stdoutBuffer && stdoutBuffer->failed;
    if (!flushFailed && !bufferFailed && !std::ferror(stdout) && std::cout) {
        return status;
    }
    const int error = bufferFailed ? stdoutBuffer->error : flushError;
    if (program != nullptr) {
        std::cerr << program << ": ";
    }
    std::cerr << "write error";
    if (error != 0) {
        std::cerr << ": " << std::strerror(error);
    }
    std::cerr << '\n';
    std::cerr.flush();
    // Reported once; the process ends next.
    std::cout.clear();
    std::clearerr(stdout);
    if (stdoutBuffer != nullptr) {
        stdoutBuffer->failed = false;
        stdoutBuffer->error = 0;
    }
    return -1;
}

void exitProcess(int status) {
    // Nothing printed before a fatal error may be lost: std::exit does not unwind.
    status = finishStandardOutput(status);
    currentHandler(status);
    std::exit(status);
}

ExitHandler setExitHandler(ExitHandler handler) {
    ExitHandler previous = currentHandler;
    currentHandler = handler ? handler : &defaultExit;
    return previous;
}

} // namespace PAL
