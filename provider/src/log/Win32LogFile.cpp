// Windows log files of the LogFileApi seam.
#include "PAL/LogFileApi.h"

#include "PAL/Windows.h"

namespace PAL {
namespace {

HANDLE asHandle(LogFileApi::Handle handle) {
    return reinterpret_cast<HANDLE>(handle);
}

bool identify(HANDLE file, BY_HANDLE_FILE_INFORMATION& info) {
    return ::GetFileInformationByHandle(file, &info) != 0;
}

// What Win32 lets this check: a symbolic link or junction at the path is opened as itself
// (FILE_FLAG_OPEN_REPARSE_POINT) and refused, so its target is neither written nor created; a
// directory, a device or a pipe is refused; so is a file with more than one name. What it
// cannot: Wine shows a link made on the Unix side as the file it points to, and a Unix FIFO
// may be opened before it can be looked at. The file's owner is not compared with the user's.
class Win32LogFiles final : public LogFileApi {
public:
    Handle open(const std::string& path, std::uint64_t* size) override {
        if (path.find('\0') != std::string::npos) {
            return NotOpen;
        }
        // FILE_APPEND_DATA without FILE_WRITE_DATA: every write goes to the end, as with "a".
        // FILE_SHARE_DELETE: another writer may rotate the file while it is held.
        FileHandle file(::CreateFileA(
            path.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!file) {
            return NotOpen;
        }
        BY_HANDLE_FILE_INFORMATION info{};
        const DWORD notPlain =
            FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
        if (::GetFileType(file.get()) != FILE_TYPE_DISK || !identify(file.get(), info) ||
            (info.dwFileAttributes & notPlain) != 0 || info.nNumberOfLinks != 1) {
            return NotOpen;
        }
        *size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
        return reinterpret_cast<Handle>(file.release());
    }

    bool isAt(Handle file, const std::string& path) override {
        BY_HANDLE_FILE_INFORMATION held{};
        if (!identify(asHandle(file), held)) {
            return false;
        }
        // No access asked: only the identity is read.
        const FileHandle named(
            ::CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                          nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        BY_HANDLE_FILE_INFORMATION info{};
        return named && identify(named.get(), info) &&
               info.dwVolumeSerialNumber == held.dwVolumeSerialNumber &&
               info.nFileIndexHigh == held.nFileIndexHigh &&
               info.nFileIndexLow == held.nFileIndexLow;
    }

    void append(Handle file, const std::string& text) override {
        // The log is a text file: each line feed is stored as CR LF, as a text-mode stream does.
        std::string stored;
        stored.reserve(text.size() + text.size() / 16);
        for (char c : text) {
            if (c == '\n') {
                stored += '\r';
            }
            stored += c;
        }
        // Logging never fails its caller: a short or failed write is not reported.
        DWORD written = 0;
        ::WriteFile(asHandle(file), stored.data(), static_cast<DWORD>(stored.size()), &written,
                    nullptr);
    }

    void close(Handle file) override { ::CloseHandle(asHandle(file)); }

    bool replace(const std::string& from, const std::string& to) override {
        // Without MOVEFILE_COPY_ALLOWED the file is renamed, never copied; a link at `to` is
        // replaced, not followed.
        return ::MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
    }
};

} // namespace

LogFileApi& platformLogFileApi() {
    static Win32LogFiles files;
    return files;
}

} // namespace PAL
