// Windows: account names to SIDs (advapi32), and the caller's profile.
#include "PAL/Accounts.h"

#include "PAL/Windows.h"

#include <aclapi.h>
#include <io.h>
#include <sddl.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace PAL {
namespace {

using LocalText = UniquePointer<char*, LocalFree>;
using LocalMemory = UniquePointer<void*, LocalFree>;

} // namespace

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
    LocalText text;
    if (!::ConvertSidToStringSidA(sid.data(), text.put())) {
        *reason = "SID conversion failed: error " + std::to_string(::GetLastError());
        return std::nullopt;
    }
    return std::string(text.get());
}

namespace {

// The caller's own SID in its text form; nullopt when the system does not say.
std::optional<std::string> callerSid() {
    KernelHandle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put())) {
        return std::nullopt;
    }
    DWORD size = 0;
    // The first call asks for the size.
    ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> user(size ? size : 1);
    LocalText text;
    if (!size || !::GetTokenInformation(token.get(), TokenUser, user.data(), size, &size) ||
        !::ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid,
                                  text.put())) {
        return std::nullopt;
    }
    return std::string(text.get());
}

} // namespace

std::optional<FileOwner> fileOwner(std::FILE* file, std::string* reason) {
    const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(file)));
    PSID sid = nullptr;
    LocalMemory descriptor; // holds `sid`
    const DWORD error = ::GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &sid,
                                          nullptr, nullptr, nullptr, descriptor.put());
    if (error != ERROR_SUCCESS) {
        *reason = "its owner cannot be read: error " + std::to_string(error);
        return std::nullopt;
    }
    LocalText text;
    if (!::ConvertSidToStringSidA(sid, text.put())) {
        *reason = "SID conversion failed: error " + std::to_string(::GetLastError());
        return std::nullopt;
    }
    const std::string id(text.get());
    // Whether others may write it is in the DACL, which is not weighed here. The caller's own
    // file is as trusted as the command it runs.
    return FileOwner{id, accountName(id).value_or(id),
                     ::IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
                         ::IsWellKnownSid(sid, WinLocalSystemSid) || id == callerSid(),
                     false};
}

bool runsPrivileged() {
    unsigned char sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof sid;
    BOOL member = FALSE;
    // A token not elevated holds the group for denying only: not a member.
    return ::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &size) &&
           ::CheckTokenMembership(nullptr, sid, &member) && member;
}

std::optional<std::string> accountName(const std::string& sid) {
    LocalMemory owned;
    if (!::ConvertStringSidToSidA(sid.c_str(), owned.put())) {
        return std::nullopt;
    }
    const PSID binary = owned.get();
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
