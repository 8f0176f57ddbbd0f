// <windows.h>, for Win32 sources only: no other header of the layer includes it. Lean, and
// without the min and max macros that break std::min and std::max; a source that needs a part
// left out (winsock2.h, bcrypt.h, shellapi.h, sddl.h...) includes that part itself.
#ifndef PAL_WINDOWS_H
#define PAL_WINDOWS_H

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#endif // PAL_WINDOWS_H
