#include "FingerprintPins.h"

#include "KeyModel/Digest.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <optional>

namespace hkcache {
namespace {

const std::string_view Prefix = "SHA256:";
// Enough to find the key meant in what ssh-keyscan gives; a large file's are not all printed.
constexpr std::size_t MostShown = 20;

// `text` in sha256Fingerprint's form; nullopt when it is no SHA-256 fingerprint.
std::optional<std::string> canonical(std::string_view text) {
    if (text.substr(0, Prefix.size()) != Prefix) {
        return std::nullopt;
    }
    std::string body(text.substr(Prefix.size()));
    if (body.size() == 43) {
        body += '=';
    }
    const std::optional<KeyModel::Bytes> digest = KeyModel::base64Decode(body);
    if (!digest || digest->size() != 32) {
        return std::nullopt;
    }
    std::string fingerprint = KeyModel::base64Encode(*digest);
    fingerprint.erase(fingerprint.find_last_not_of('=') + 1);
    return std::string(Prefix) + fingerprint;
}

} // namespace

void FingerprintPins::declare(CLI::App& command) {
    command
        .add_option("--fingerprint", texts,
                    "Only keys with this SHA256 fingerprint (as ssh-keygen -l prints it); "
                    "repeatable")
        ->type_name("FP")
        // One value each time: a FILE after it is no fingerprint.
        ->allow_extra_args(false);
}

bool FingerprintPins::parse(Diagnostics& diagnostics) {
    for (const std::string& text : texts) {
        std::optional<std::string> pin = canonical(text);
        if (!pin) {
            diagnostics.error(text, "not a SHA256 fingerprint (SHA256: and 43 base64 characters)");
            return false;
        }
        pins.push_back(std::move(*pin));
    }
    return true;
}

bool FingerprintPins::admits(std::string_view fingerprint, std::string_view where,
                             std::string_view name) {
    if (pins.empty()) {
        return true;
    }
    // A key with no fingerprint (SSH-1, data not understood) is never the one pinned.
    if (fingerprint.substr(0, Prefix.size()) == Prefix &&
        std::find(pins.begin(), pins.end(), fingerprint) != pins.end()) {
        return true;
    }
    if (++refused <= MostShown) {
        shown.push_back(std::string(where) + '\n' + std::string(name) + ' ' +
                        std::string(fingerprint.empty() ? "-" : fingerprint));
    }
    return false;
}

void FingerprintPins::seen(Diagnostics& diagnostics) const {
    for (const std::string& line : shown) {
        const std::size_t cut = line.find('\n');
        diagnostics.warning(std::string_view(line).substr(0, cut),
                            line.substr(cut + 1) + ": not pinned");
    }
    if (refused > shown.size()) {
        diagnostics.warning("--fingerprint",
                            std::to_string(refused - shown.size()) + " more keys not pinned");
    }
}

} // namespace hkcache
