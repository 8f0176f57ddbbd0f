#include "PAL/File.h"

#include "platform/FileOps.h"
#include "PAL/LogUtil.h"
#include "platform/Platform.h"

#include <cerrno>

namespace PAL {
namespace {

// The longest absolute path a File holds.
constexpr std::size_t MaxPathLength = 260;

// Writes the exit record for one return point (its own location, so its own line) and hands
// the result back for the return statement.
int exitWith(const std::string& location, int result) {
    traceMessage(TC_PAL, TRACE_ENTRY_EXIT, location + "EXIT:" + std::to_string(result));
    return result;
}

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
        return exitWith(PAL_LOCATION("PAL::File::remove"), 0);
    }
    if (error == ENOENT) {
        return exitWith(PAL_LOCATION("PAL::File::remove"), -3);
    }
    if (error == EACCES) {
        return exitWith(PAL_LOCATION("PAL::File::remove"), -1);
    }
    return exitWith(PAL_LOCATION("PAL::File::remove"), error);
}

int File::create(bool mustBeNew) {
    traceMessage(TC_PAL, TRACE_ENTRY_EXIT, PAL_LOCATION("PAL::File::create") + "ENTER " + path);
    const int error = platform::createExclusive(path);
    if (error == 0) {
        return exitWith(PAL_LOCATION("PAL::File::create"), 0);
    }
    if (error == ENOENT) {
        return exitWith(PAL_LOCATION("PAL::File::create"), -3);
    }
    if (error == EEXIST) {
        if (mustBeNew) {
            return exitWith(PAL_LOCATION("PAL::File::create"), -4);
        }
        return exitWith(PAL_LOCATION("PAL::File::create"), 0); // the existing file is left alone
    }
    if (error == EACCES) {
        return exitWith(PAL_LOCATION("PAL::File::create"), -1);
    }
    if (error == EMFILE) {
        return exitWith(PAL_LOCATION("PAL::File::create"), -7);
    }
    return exitWith(PAL_LOCATION("PAL::File::create"), error);
}

} // namespace PAL
