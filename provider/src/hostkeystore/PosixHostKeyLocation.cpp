// Where PuTTY for Unix keeps its host keys: the order in which PuTTY 0.78 looks.
#include "PosixHostKeyLocation.h"

#include "PAL/HostKeyFile.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace PAL {
namespace detail {
namespace {

std::optional<std::string> environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::optional<std::string>(value) : std::nullopt;
}

std::optional<std::string> passwordHome() {
    long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(hint > 0 ? static_cast<std::size_t>(hint) : 16384);
    for (;;) {
        struct passwd entry {};
        struct passwd* found = nullptr;
        int error = getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (error == 0 && found && found->pw_dir) {
            return std::string(found->pw_dir);
        }
        return std::nullopt;
    }
}

} // namespace

std::string locateHostKeyFile(const HostKeyLocationInputs& in,
                              const std::function<bool(const std::string&)>& exists) {
    if (in.puttySshHostKeys) {
        return *in.puttySshHostKeys;
    }
    if (in.puttyDir) {
        return *in.puttyDir + "/sshhostkeys";
    }
    std::optional<std::string> xdg;
    if (in.xdgConfigHome && !in.xdgConfigHome->empty()) {
        xdg = *in.xdgConfigHome + "/putty";
    } else if (in.home) {
        xdg = *in.home + "/.config/putty";
    } else if (in.passwordHome) {
        xdg = *in.passwordHome + "/.config/putty";
    }
    if (xdg && exists(*xdg)) {
        return *xdg + "/sshhostkeys";
    }
    std::vector<std::string> older;
    if (in.home) {
        older.push_back(*in.home + "/.putty");
    }
    if (in.passwordHome) {
        older.push_back(*in.passwordHome + "/.putty");
    }
    older.push_back("/.putty");
    for (const std::string& dir : older) {
        if (exists(dir)) {
            return dir + "/sshhostkeys";
        }
    }
    return older.front() + "/sshhostkeys";
}

std::string locateHostKeyFile() {
    HostKeyLocationInputs in;
    in.puttySshHostKeys = environment("PUTTYSSHHOSTKEYS");
    in.puttyDir = environment("PUTTYDIR");
    if (!in.puttySshHostKeys && !in.puttyDir) {
        in.xdgConfigHome = environment("XDG_CONFIG_HOME");
        in.home = environment("HOME");
        in.passwordHome = passwordHome();
    }
    return locateHostKeyFile(
        in, [](const std::string& path) { return access(path.c_str(), F_OK) == 0; });
}

} // namespace detail
std::string hostKeyFilePath() {
    return detail::locateHostKeyFile();
}

std::string userHostKeyFilePath(const std::string& home) {
    // Only the home's own places: the last resort of the caller's search, /.putty, is no
    // user's file.
    const std::string config = home + "/.config/putty";
    return access(config.c_str(), F_OK) == 0 ? config + "/sshhostkeys"
                                             : home + "/.putty/sshhostkeys";
}

} // namespace PAL
