// <windows.h>, for Win32 sources only: no other header of the layer includes it. Lean, and
// without the min and max macros that break std::min and std::max; a source that needs a part
// left out (winsock2.h, bcrypt.h, shellapi.h, sddl.h...) includes that part itself. With it,
// the owners of the kernel's handles.
#ifndef PAL_WINDOWS_H
#define PAL_WINDOWS_H

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "PAL/UniqueHandle.h"

namespace PAL {

// CreateFile's handles, which are INVALID_HANDLE_VALUE when there is none.
struct FileHandleTraits {
    using Type = HANDLE;
    static Type invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(Type handle) noexcept { ::CloseHandle(handle); }
};
using FileHandle = UniqueHandle<FileHandleTraits>;
// The other kernel objects' handles (processes, threads, tokens): null when there is none.
using KernelHandle = UniquePointer<HANDLE, ::CloseHandle>;

} // namespace PAL

#endif // PAL_WINDOWS_H
