// Windows: a removal's backup in the caller's profile directory, swapped in by MoveFileEx.
#include "Backup.h"

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <random>

namespace hkcache {
namespace {

class FileHandle {
public:
    explicit FileHandle(HANDLE opened) : handle(opened) {}
    ~FileHandle() {
        if (handle != INVALID_HANDLE_VALUE) {
            ::CloseHandle(handle);
        }
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    HANDLE get() const { return handle; }
    bool close() {
        const BOOL closed = ::CloseHandle(handle);
        handle = INVALID_HANDLE_VALUE;
        return closed != FALSE;
    }

private:
    HANDLE handle;
};

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

std::string writeTemp(HANDLE opened, std::string_view text) {
    FileHandle file(opened);
    while (!text.empty()) {
        const DWORD chunk = DWORD(std::min<std::size_t>(text.size(), 1u << 30));
        DWORD written = 0;
        if (!::WriteFile(file.get(), text.data(), chunk, &written, nullptr)) {
            return systemError("cannot write");
        }
        text.remove_prefix(written);
    }
    if (!::FlushFileBuffers(file.get())) {
        return systemError("cannot flush");
    }
    if (!file.close()) {
        return systemError("cannot write");
    }
    return {};
}

} // namespace

std::optional<std::string> defaultBackupPath(const Cache&, std::string* reason) {
    const char* profile = std::getenv("USERPROFILE");
    if (!profile || !*profile) {
        *reason = "USERPROFILE is not set: no place for the backup (give --backup FILE or "
                  "--no-backup)";
        return std::nullopt;
    }
    std::string path = profile;
    if (path.back() != '\\' && path.back() != '/') {
        path += '\\';
    }
    return path + "SshHostKeys.old";
}

std::string writeBackupFile(const std::string& path, std::string_view text, const Cache*,
                            PAL::RegistryApi::Handle) {
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
    std::string reason = writeTemp(opened, text);
    if (reason.empty() && !::MoveFileExA(temp.c_str(), path.c_str(),
                                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        reason = systemError("cannot rename the new file over it");
    }
    if (!reason.empty()) {
        ::DeleteFileA(temp.c_str());
    }
    return reason;
}

} // namespace hkcache
