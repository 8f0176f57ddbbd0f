#include "PAL/File.h"

#include "FileOps.h"
#include "PAL/LogUtil.h"
#include "Platform.h"

#include <cerrno>

namespace PAL {
namespace {

// The longest absolute path a File holds.
constexpr std::size_t MaxPathLength = 260;

} // namespace

File::File(const std::string& fileSpec) {
    if (fileSpec.empty()) {
        return;
    }
    std::string given = fileSpec;
    if (given.back() == '\\') {
        given.pop_back(); // one only; a slash stays
    }
    std::string absolute;
    if (platform::absolutePath(given, MaxPathLength, absolute)) {
        path = absolute;
        return;
    }
    path = given;
    logMessage(TC_PAL, LOG_ERROR,
               "File(): could not find absolute path for filespec <" + given + "> ");
}

File::~File() = default;

std::string File::getFileName() const {
    if (path.empty()) {
        return std::string();
    }
    const platform::PathParts parts = platform::splitPath(path);
    return parts.name + parts.extension;
}

int File::remove() {
    traceMessage(TC_PAL, TRACE_ENTRY_EXIT, PAL_LOCATION("PAL::File::remove") + "ENTER " + path);
    const int error = platform::unlinkFile(path);
    if (error == 0) {
        traceMessage(TC_PAL, TRACE_ENTRY_EXIT, PAL_LOCATION("PAL::File::remove") + "EXIT:0");
        return 0;
    }
    if (error == ENOENT) {
        traceMessage(TC_PAL, TRACE_ENTRY_EXIT, PAL_LOCATION("PAL::File::remove") + "EXIT:-3");
        return -3;
    }
    if (error == EACCES) {
        traceMessage(TC_PAL, TRACE_ENTRY_EXIT, PAL_LOCATION("PAL::File::remove") + "EXIT:-1");
        return -1;
    }
    traceMessage(TC_PAL, TRACE_ENTRY_EXIT,
                 PAL_LOCATION("PAL::File::remove") + "EXIT:" + std::to_string(error));
    return error;
}

int File::create(bool mustBeNew) {
    traceMessage(TC_PAL, TRACE_ENTRY_EXIT, PAL_LOCATION("PAL::File::create") + "ENTER " + path);
    const int error = platform::createExclusive(path);
    if (error == 0) {
        traceMessage(TC_PAL, TRACE_ENTRY_EXIT, PAL_LOCATION("PAL::File::create") + "EXIT:0");
        return 0;
    }
    if (error == ENOENT) {
        traceMessage(TC_PAL, TRACE_ENTRY_EXIT, PAL_LOCATION("PAL::File::create") + "EXIT:-3");
        return -3;
    }
    if (error == EEXIST) {
        if (mustBeNew) {
            traceMessage(TC_PAL, TRACE_ENTRY_EXIT, PAL_LOCATION("PAL::File::create") + "EXIT:-4");
            return -4;
        }
        traceMessage(TC_PAL, TRACE_ENTRY_EXIT, PAL_LOCATION("PAL::File::create") + "EXIT:0");
        return 0;
    }
    if (error == EACCES) {
        traceMessage(TC_PAL, TRACE_ENTRY_EXIT, PAL_LOCATION("PAL::File::create") + "EXIT:-1");
        return -1;
    }
    if (error == EMFILE) {
        traceMessage(TC_PAL, TRACE_ENTRY_EXIT, PAL_LOCATION("PAL::File::create") + "EXIT:-7");
        return -7;
    }
    traceMessage(TC_PAL, TRACE_ENTRY_EXIT,
                 PAL_LOCATION("PAL::File::create") + "EXIT:" + std::to_string(error));
    return error;
}

} // namespace PAL
