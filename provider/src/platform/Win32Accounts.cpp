// Windows: account names to SIDs (advapi32), and the caller's profile.
#include "PAL/Accounts.h"

#include <windows.h>

#include <sddl.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace PAL {

std::optional<std::string> accountSid(const std::string& name, std::string* reason) {
    DWORD sidSize = 0;
    DWORD domainSize = 0;
    SID_NAME_USE use{};
    // The first call asks for the sizes.
    ::LookupAccountNameA(nullptr, name.c_str(), nullptr, &sidSize, nullptr, &domainSize, &use);
    std::vector<unsigned char> sid(sidSize ? sidSize : 1);
    std::vector<char> domain(domainSize ? domainSize : 1);
    if (!sidSize || !::LookupAccountNameA(nullptr, name.c_str(), sid.data(), &sidSize,
                                          domain.data(), &domainSize, &use)) {
        const DWORD error = ::GetLastError();
        *reason = error == ERROR_NONE_MAPPED
                      ? std::string("no such account")
                      : "account lookup failed: error " + std::to_string(error);
        return std::nullopt;
    }
    char* text = nullptr;
    if (!::ConvertSidToStringSidA(sid.data(), &text)) {
        *reason = "SID conversion failed: error " + std::to_string(::GetLastError());
        return std::nullopt;
    }
    std::unique_ptr<char, decltype(&::LocalFree)> owned(text, &::LocalFree);
    return std::string(owned.get());
}

std::optional<std::string> accountName(const std::string& sid) {
    PSID binary = nullptr;
    if (!::ConvertStringSidToSidA(sid.c_str(), &binary)) {
        return std::nullopt;
    }
    std::unique_ptr<void, decltype(&::LocalFree)> owned(binary, &::LocalFree);
    DWORD nameSize = 0;
    DWORD domainSize = 0;
    SID_NAME_USE use{};
    // The first call asks for the sizes, each with its NUL.
    ::LookupAccountSidA(nullptr, binary, nullptr, &nameSize, nullptr, &domainSize, &use);
    std::vector<char> name(nameSize ? nameSize : 1);
    std::vector<char> domain(domainSize ? domainSize : 1);
    if (!nameSize || !::LookupAccountSidA(nullptr, binary, name.data(), &nameSize, domain.data(),
                                          &domainSize, &use)) {
        return std::nullopt;
    }
    // Up to the NUL: Wine's sizes count it, Windows' do not.
    const std::string user(name.data(), ::strnlen(name.data(), name.size()));
    const std::string domainName(domain.data(), ::strnlen(domain.data(), domain.size()));
    return domainName.empty() ? user : domainName + "\\" + user;
}

std::optional<std::string> profileDirectory() {
    const char* profile = std::getenv("USERPROFILE");
    return profile && *profile ? std::optional<std::string>(profile) : std::nullopt;
}

} // namespace PAL
