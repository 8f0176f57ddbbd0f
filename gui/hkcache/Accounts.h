// Windows accounts: the SID whose profile holds an account's registry.
#ifndef HK_GUI_HKCACHE_ACCOUNTS_H
#define HK_GUI_HKCACHE_ACCOUNTS_H

#include <optional>
#include <string>

namespace hkcache {

// The SID of the account `name` (DOMAIN\user or user) in its text form, S-1-5-...; nullopt
// with the system's reason when there is no such account. Windows builds only.
std::optional<std::string> accountSid(const std::string& name, std::string* reason);

} // namespace hkcache

#endif // HK_GUI_HKCACHE_ACCOUNTS_H
