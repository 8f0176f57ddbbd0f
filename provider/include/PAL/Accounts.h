// The system's user accounts: who they are, where their homes or profiles lie.
#ifndef PAL_ACCOUNTS_H
#define PAL_ACCOUNTS_H

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace PAL {

// POSIX builds: an account of the password database.
struct Account {
    std::string name;
    std::string home;
    std::uint32_t uid = 0;
    std::uint32_t gid = 0;
};

// POSIX builds: the account `name`; nullopt when there is none, or it has no home.
std::optional<Account> findAccount(const std::string& name);
// POSIX builds: every account that has a home, one per home however named (accounts that share
// one, often /, share what it holds), in the database's order.
std::vector<Account> accountsByHome();
// POSIX builds: whether `gid` is the private group of the account `uid`: its primary group, and
// no other account's primary group, with no other account listed as a member. What that group
// may write, only that user can.
bool isPrivateGroup(std::uint32_t gid, std::uint32_t uid);
// POSIX builds: whether this process runs as root.
bool runsAsRoot();

// Windows builds: the SID of the account `name` (DOMAIN\user or user) in its text form,
// S-1-5-...; nullopt with the system's reason when there is no such account.
std::optional<std::string> accountSid(const std::string& name, std::string* reason);
// Windows builds: the account (DOMAIN\user, or user) whose SID is `sid` in its text form;
// nullopt when the text is no SID or the system knows no account for it.
std::optional<std::string> accountName(const std::string& sid);
// Windows builds: the caller's profile directory (USERPROFILE); nullopt when it is not set.
std::optional<std::string> profileDirectory();

// Who owns an open file: what a privileged run weighs before it writes what the file says into
// another user's cache.
struct FileOwner {
    std::string id;      // POSIX: the uid in decimal; Windows: the owner's SID, S-1-...
    std::string name;    // its account's name where the system knows one, else `id`
    bool privileged;     // root; Windows: Administrators, SYSTEM or the caller
    bool othersMayWrite; // POSIX: its group or everyone may write it; Windows: not looked at
};
// The owner of the open `file` (checked on the handle, not by its name); nullopt, with the
// system's reason, when it cannot be had.
std::optional<FileOwner> fileOwner(std::FILE* file, std::string* reason);
// Whether this run may write every user's cache: root; Windows: an elevated administrator.
bool runsPrivileged();

} // namespace PAL

#endif // PAL_ACCOUNTS_H
