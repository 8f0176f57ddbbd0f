// hkcache fetch: a server's keys, each proved over SSH, stored when they match a pinned
// fingerprint (or, when asked, on first use).
#ifndef HK_GUI_HKCACHE_FETCH_H
#define HK_GUI_HKCACHE_FETCH_H

#include "Command.h"

#include <optional>
#include <string>

namespace hkcache {

Command declareFetch(CLI::App& app);

// A fingerprint as `ssh-keygen -l` prints it, "SHA256:" and base64 of 32 bytes with or without
// its padding, in the unpadded form; nullopt for anything else.
std::optional<std::string> parseFingerprintPin(const std::string& text);

} // namespace hkcache

#endif // HK_GUI_HKCACHE_FETCH_H
