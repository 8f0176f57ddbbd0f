// Windows: a backup swapped in by MoveFileEx.
#include "PAL/BackupFile.h"

#include "PAL/Windows.h"

#include <algorithm>
#include <memory>
#include <random>

namespace PAL {
namespace {

std::string systemError(const char* what) {
    const DWORD code = ::GetLastError();
    char text[512] = {};
    DWORD length = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                    nullptr, code, 0, text, sizeof text, nullptr);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' ||
                          text[length - 1] == '.' || text[length - 1] == ' ')) {
        --length;
    }
    return std::string(what) + ": " +
           (length ? std::string(text, length) : "error " + std::to_string(code));
}

bool writeAll(HANDLE file, std::string_view text) {
    while (!text.empty()) {
        const DWORD chunk = DWORD(std::min<std::size_t>(text.size(), 1u << 30));
        DWORD written = 0;
        if (!::WriteFile(file, text.data(), chunk, &written, nullptr)) {
            return false;
        }
        text.remove_prefix(written);
    }
    return true;
}

// Writes `old`, then `text` on a line of its own.
std::string writeTemp(HANDLE opened, std::string_view old, std::string_view text) {
    FileHandle file(opened);
    const bool endLine = !old.empty() && old.back() != '\n';
    if (!writeAll(file.get(), old) || !writeAll(file.get(), endLine ? "\n" : "") ||
        !writeAll(file.get(), text)) {
        return systemError("cannot write");
    }
    if (!::FlushFileBuffers(file.get())) {
        return systemError("cannot flush");
    }
    if (!::CloseHandle(file.release())) {
        return systemError("cannot write");
    }
    return {};
}

struct FileInfo {
    DWORD type;
    BY_HANDLE_FILE_INFORMATION info;
};

// What `path` names (a link itself unless `follow`); nullopt when it cannot be opened.
std::optional<FileInfo> look(const std::string& path, bool follow) {
    FileHandle file(::CreateFileA(
        path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT),
        nullptr));
    if (!file) {
        return std::nullopt;
    }
    FileInfo found{::GetFileType(file.get()), {}};
    if (found.type == FILE_TYPE_DISK && !::GetFileInformationByHandle(file.get(), &found.info)) {
        return std::nullopt;
    }
    return found;
}

bool sameId(const std::optional<FileInfo>& a, const std::optional<FileInfo>& b) {
    return a && b && a->type == FILE_TYPE_DISK && b->type == FILE_TYPE_DISK &&
           a->info.dwVolumeSerialNumber == b->info.dwVolumeSerialNumber &&
           a->info.nFileIndexHigh == b->info.nFileIndexHigh &&
           a->info.nFileIndexLow == b->info.nFileIndexLow;
}

// What the backup at `path` holds, read from the file `there` described (not a link, not one
// that took its place since).
std::string readOld(const std::string& path, const FileInfo& there, std::string& old) {
    FileHandle file(::CreateFileA(path.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!file || !::GetFileInformationByHandle(file.get(), &info)) {
        return systemError("cannot read it");
    }
    if (!sameId(FileInfo{::GetFileType(file.get()), info}, there) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
        return "it changed while it was read (run again)";
    }
    char block[65536];
    for (DWORD got = 0;; old.append(block, got)) {
        if (!::ReadFile(file.get(), block, sizeof block, &got, nullptr)) {
            return systemError("cannot read it");
        }
        if (got == 0) {
            return {};
        }
    }
}

// Serialises the read, append and rename of backups at `path` among runs: a byte locked in a
// file beside it (the backup itself is replaced by each rename, its lock with it). The file goes
// when its last holder closes it; meanwhile it cannot be opened again (delete pending), so a
// newcomer waits for it to go and makes the next. A link there is not locked through. Twenty
// seconds at most.
std::string lockBackup(const std::string& path, FileHandle& lock) {
    const std::string name = path + ".lock";
    for (int waited = 0; waited < 2000; ++waited, ::Sleep(10)) {
        if (!lock) {
            lock.reset(::CreateFileA(
                name.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT,
                nullptr));
        }
        if (!lock) {
            if (::GetLastError() == ERROR_ACCESS_DENIED &&
                ::GetFileAttributesA(name.c_str()) != INVALID_FILE_ATTRIBUTES) {
                continue; // going
            }
            return systemError("cannot lock it");
        }
        BY_HANDLE_FILE_INFORMATION info{};
        if (::GetFileType(lock.get()) != FILE_TYPE_DISK ||
            !::GetFileInformationByHandle(lock.get(), &info) ||
            (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
            return "cannot lock it: " + name + " is not a regular file";
        }
        OVERLAPPED at{};
        if (::LockFileEx(lock.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                         &at)) {
            return {}; // released when the handle closes
        }
        if (::GetLastError() != ERROR_LOCK_VIOLATION) {
            return systemError("cannot lock it");
        }
    }
    return "another run holds its lock (run again)";
}

} // namespace

struct PreviousBackup::Kept {
    std::string path;
    std::string aside; // empty: nothing was there
    std::optional<FileInfo> written;
};

PreviousBackup::PreviousBackup() = default;

PreviousBackup::~PreviousBackup() {
    // A backup that another run wrote since is left alone, and this one's previous kept aside.
    // Under the lock, or another run's append between the look and the rename is lost.
    FileHandle lock;
    if (!kept || !lockBackup(kept->path, lock).empty() ||
        !sameId(look(kept->path, false), kept->written)) {
        return;
    }
    if (kept->aside.empty()) {
        ::DeleteFileA(kept->path.c_str());
    } else {
        ::MoveFileExA(kept->aside.c_str(), kept->path.c_str(),
                      MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    }
}

void PreviousBackup::drop() {
    if (kept && !kept->aside.empty()) {
        ::DeleteFileA(kept->aside.c_str());
    }
    kept.reset();
}

std::string PreviousBackup::keepAside() {
    const std::string aside = kept ? kept->aside : std::string();
    kept.reset();
    return aside;
}

bool sameFile(const std::string& a, const std::string& b) {
    return sameId(look(a, true), look(b, true));
}

std::string writeBackupFile(const std::string& path, std::string_view text, const BackupBeside*,
                            PreviousBackup* previous, BackupContent content) {
    FileHandle lock;
    if (std::string reason = lockBackup(path, lock); !reason.empty()) {
        return reason;
    }
    // A device, a directory or a link there is not the file of a last removal.
    const std::optional<FileInfo> there = look(path, false);
    if (there && (there->type != FILE_TYPE_DISK ||
                  there->info.dwFileAttributes &
                      (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
        return "not a regular file; --no-backup keeps none";
    }
    std::string old;
    if (content == BackupContent::Append && there) {
        if (std::string reason = readOld(path, *there, old); !reason.empty()) {
            return reason;
        }
    } else if (content == BackupContent::Append &&
               ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
        return "cannot open it to keep what it holds"; // never replaced unread
    }
    std::random_device seed;
    std::mt19937_64 random(seed());
    std::string temp;
    HANDLE opened = INVALID_HANDLE_VALUE;
    // CREATE_NEW: a name someone planted is never written through.
    for (int attempt = 0; opened == INVALID_HANDLE_VALUE && attempt < 100; ++attempt) {
        temp = path + ".hkcache-" + std::to_string(random() % 1000000000u);
        opened = ::CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (opened == INVALID_HANDLE_VALUE && ::GetLastError() != ERROR_FILE_EXISTS) {
            return systemError("cannot create a file beside it");
        }
    }
    if (opened == INVALID_HANDLE_VALUE) {
        return "cannot create a file beside it: every name tried was taken";
    }
    std::string reason = writeTemp(opened, old, text);
    auto kept = std::make_unique<PreviousBackup::Kept>();
    kept->path = path;
    if (reason.empty() && previous &&
        ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
        for (int attempt = 0; kept->aside.empty() && attempt < 100; ++attempt) {
            const std::string aside =
                path + ".hkcache-previous-" + std::to_string(random() % 1000000000u);
            if (::MoveFileExA(path.c_str(), aside.c_str(), MOVEFILE_WRITE_THROUGH)) {
                kept->aside = aside;
            } else if (::GetLastError() != ERROR_ALREADY_EXISTS &&
                       ::GetLastError() != ERROR_FILE_EXISTS) {
                reason = systemError("cannot keep the backup it replaces");
                break;
            }
        }
    }
    if (reason.empty() && !::MoveFileExA(temp.c_str(), path.c_str(),
                                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        reason = systemError("cannot rename the new file over it");
        if (!kept->aside.empty()) {
            ::MoveFileExA(kept->aside.c_str(), path.c_str(), MOVEFILE_WRITE_THROUGH);
        }
    }
    if (!reason.empty()) {
        ::DeleteFileA(temp.c_str());
        return reason;
    }
    if (previous) {
        kept->written = look(path, false);
        previous->kept = std::move(kept);
    }
    return {};
}

} // namespace PAL
