// One task of the putty_hostkey modules, from the arguments file ansible-core writes: a flat
// JSON object of the task's options and ansible-core's own `_ansible_*` keys.
#ifndef HK_GUI_HKCACHE_ANSIBLETASK_H
#define HK_GUI_HKCACHE_ANSIBLETASK_H

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hkcache {

struct AnsibleTask {
    std::string host; // without brackets or port
    unsigned port = 22;
    std::vector<std::string> keys;         // OpenSSH public key lines
    std::vector<std::string> fingerprints; // SHA256 pins of the live server's keys
    std::string type;                      // empty: every type
    bool present = true;
    bool replace = false;
    std::string cache = "current";
    bool checkMode = false;
    bool diff = false;

    // As import --host and the list of a key read it: HOST, or [HOST]:PORT off port 22.
    std::string hostSpec() const;
};

// The task, or nullopt with the reason in `error` (an option unknown or of a bad value).
std::optional<AnsibleTask> parseAnsibleTask(std::string_view argsText, std::string* error);

} // namespace hkcache

#endif // HK_GUI_HKCACHE_ANSIBLETASK_H
