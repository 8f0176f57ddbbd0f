#include "PAL/Status.h"

#include <cerrno>

namespace PAL {

Status statusFromErrno(int error) {
    using S = StatusCodes;
    struct Row {
        int error;
        Status status;
    };
    static const Row table[] = {
        {ENOENT, S::NotFound},
        {ENOTDIR, S::NotFound}, // a path component is a file: nothing there either
        {EACCES, S::AccessDenied},
        {EPERM, S::AccessDenied},
        {EISDIR, S::AccessDenied},
        {EMFILE, S::TooManyOpenFiles},
        {ENFILE, S::TooManyOpenFiles},
        {ENOMEM, S::NotEnoughMemory},
        {EROFS, S::WriteProtect},
        {ENOSPC, S::DiskFull},
        {EDQUOT, S::DiskFull},
        {EBUSY, S::Busy},
        {ENAMETOOLONG, S::NameTooLong},
        {EFBIG, S::FileTooLarge},
        {EIO, S::IoDevice},
        {ELOOP, S::CannotResolve},
    };
    for (const Row& row : table) {
        if (row.error == error) {
            return row.status;
        }
    }
    return S::GeneralFailure;
}

} // namespace PAL
