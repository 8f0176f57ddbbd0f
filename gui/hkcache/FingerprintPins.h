// The keys a command is pinned to by --fingerprint: SHA256 fingerprints as `ssh-keygen -l`
// prints them, so that a script seeds or lists only the key it knows.
#ifndef HK_GUI_HKCACHE_FINGERPRINTPINS_H
#define HK_GUI_HKCACHE_FINGERPRINTPINS_H

#include "Diagnostics.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace CLI {
class App;
} // namespace CLI

namespace hkcache {

class FingerprintPins {
public:
    // --fingerprint FP, repeatable, on `command`.
    void declare(CLI::App& command);
    // Reads the option's texts; false, with an error for the first that is not `SHA256:` and the
    // base64 of 32 bytes (with or without its `=`).
    bool parse(Diagnostics& diagnostics);

    // True when no pin is given, or `fingerprint` (sha256Fingerprint's form) is pinned, whole;
    // a key that is not (one with no fingerprint never is) is kept, as `where` and `name`, for
    // seen().
    bool admits(std::string_view fingerprint, std::string_view where, std::string_view name);
    bool empty() const { return pins.empty(); }
    // A warning for each key that was not admitted (the first few of many).
    void seen(Diagnostics& diagnostics) const;

private:
    std::vector<std::string> texts; // as given
    std::vector<std::string> pins;  // "SHA256:" and unpadded base64
    std::vector<std::string> shown; // "where\nname fingerprint" of keys not admitted
    std::size_t refused = 0;
};

} // namespace hkcache

#endif // HK_GUI_HKCACHE_FINGERPRINTPINS_H
