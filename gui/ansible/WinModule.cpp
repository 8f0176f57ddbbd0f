// win_putty_hostkey: the Windows module of the hkprune.putty collection. Ansible uploads this
// file alone and runs it as `win_putty_hostkey.exe ARGS_FILE`; the task itself is done by the
// node's installed hkcache.exe (`hkcache.exe ansible ARGS_FILE`), whose output is the result.
#include "PAL/UniqueHandle.h"
#include "PAL/Windows.h"

#include <shellapi.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

namespace {

using Json = nlohmann::json;

using File = PAL::UniquePointer<std::FILE*, std::fclose>;
using Arguments = PAL::UniquePointer<wchar_t**, LocalFree>;

// Far more than any task's arguments.
constexpr std::size_t MaxArgsBytes = std::size_t(16) << 20;

std::wstring wide(const std::string& utf8) {
    const int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
    std::wstring text(std::size_t(size > 0 ? size : 0), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), text.data(), size);
    return text;
}

std::string utf8(const std::wstring& text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string bytes(std::size_t(size > 0 ? size : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), bytes.data(), size, nullptr,
                        nullptr);
    return bytes;
}

// The task's hkcache_path; empty when the task leaves it out or the file is no task.
std::wstring hkcachePathOption(const wchar_t* argsFile) {
    const File file(_wfopen(argsFile, L"rb"));
    std::string text(MaxArgsBytes, '\0');
    text.resize(file ? std::fread(text.data(), 1, text.size(), file.get()) : 0);
    const Json args = Json::parse(text, nullptr, false);
    if (args.is_object() && args.contains("hkcache_path") && args["hkcache_path"].is_string()) {
        return wide(args["hkcache_path"].get<std::string>());
    }
    return {};
}

bool isFile(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The option, else the folder the collection's README installs the ZIP to, else PATH; the
// places looked at go to `looked` for the message when none has it.
std::wstring findHkcache(const wchar_t* argsFile, std::vector<std::wstring>& looked) {
    const std::wstring option = hkcachePathOption(argsFile);
    if (!option.empty()) {
        looked.push_back(option);
        return isFile(option) ? option : std::wstring();
    }
    wchar_t programFiles[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"ProgramFiles", programFiles, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
        const std::wstring installed = std::wstring(programFiles) + L"\\hkcache\\hkcache.exe";
        looked.push_back(installed);
        if (isFile(installed)) {
            return installed;
        }
    }
    looked.push_back(L"PATH");
    wchar_t found[MAX_PATH];
    const DWORD size = SearchPathW(nullptr, L"hkcache.exe", nullptr, MAX_PATH, found, nullptr);
    return size > 0 && size < MAX_PATH ? std::wstring(found, size) : std::wstring();
}

// One argument as CommandLineToArgvW and the C runtime read it back.
std::wstring quoted(const std::wstring& arg) {
    std::wstring text = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        text.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        text.push_back(c);
    }
    text.append(backslashes * 2, L'\\');
    return text + L"\"";
}

// hkcache's exit status; -1 when it could not be started.
int runHkcache(const std::wstring& exe, const wchar_t* argsFile) {
    std::wstring commandLine = quoted(exe) + L" ansible " + quoted(argsFile);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                        nullptr, &startup, &process)) {
        return -1;
    }
    const PAL::KernelHandle child(process.hProcess);
    const PAL::KernelHandle thread(process.hThread);
    DWORD status = 1;
    WaitForSingleObject(child.get(), INFINITE);
    GetExitCodeProcess(child.get(), &status);
    return int(status);
}

int fail(const std::string& msg) {
    std::cout << Json{{"changed", false}, {"failed", true}, {"msg", msg}}.dump() << std::endl;
    return 1;
}

} // namespace

int main() {
    int argc = 0;
    const Arguments argv(CommandLineToArgvW(GetCommandLineW(), &argc));
    if (!argv || argc != 2) {
        return fail("usage: win_putty_hostkey.exe ARGS_FILE (Ansible runs it so)");
    }
    const wchar_t* argsFile = argv.get()[1];
    std::vector<std::wstring> looked;
    const std::wstring exe = findHkcache(argsFile, looked);
    if (exe.empty()) {
        std::string places;
        for (const std::wstring& place : looked) {
            places += (places.empty() ? "" : ", ") + utf8(place);
        }
        return fail("hkcache.exe not found (looked at " + places +
                    "): install the hkprune ZIP's hkcache.exe there, or set hkcache_path");
    }
    const int status = runHkcache(exe, argsFile);
    return status >= 0
               ? status
               : fail("cannot run " + utf8(exe) + ": error " + std::to_string(GetLastError()));
}
