// Where PuTTY for Unix keeps its host keys.
#ifndef HK_PROVIDER_SRC_POSIXHOSTKEYLOCATION_H
#define HK_PROVIDER_SRC_POSIXHOSTKEYLOCATION_H

#include <functional>
#include <optional>
#include <string>

namespace PAL {
namespace detail {

// What PuTTY 0.78 consults to find its host-key file. A variable that is set but empty counts
// as set, except XDG_CONFIG_HOME.
struct HostKeyLocationInputs {
    std::optional<std::string> puttySshHostKeys; // PUTTYSSHHOSTKEYS
    std::optional<std::string> puttyDir;         // PUTTYDIR
    std::optional<std::string> xdgConfigHome;    // XDG_CONFIG_HOME
    std::optional<std::string> home;             // HOME
    std::optional<std::string> passwordHome;     // the user's home in the password database
};

// The host-key file PuTTY 0.78 would use; `exists` answers access(path, F_OK).
std::string locateHostKeyFile(const HostKeyLocationInputs& inputs,
                              const std::function<bool(const std::string&)>& exists);
// The same for this process: its environment, its user, its file system.
std::string locateHostKeyFile();

} // namespace detail
} // namespace PAL

#endif // HK_PROVIDER_SRC_POSIXHOSTKEYLOCATION_H
