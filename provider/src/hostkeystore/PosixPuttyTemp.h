// PuTTY's own writes, which take no lock: how a rewrite sees one under way beside the file.
#ifndef HK_PROVIDER_SRC_POSIXPUTTYTEMP_H
#define HK_PROVIDER_SRC_POSIXPUTTYTEMP_H

#include "PosixFiles.h"

#include <sys/stat.h>

#include <string>

namespace PAL {
namespace detail {

// PuTTY writes the file without a lock: it creates <file>.tmp, reads the file, copies it to
// the .tmp with its new line and renames the .tmp over the file. While the .tmp exists a write
// may be under way whose rename would undo a delete made meanwhile; a .tmp that nobody has
// written to for two seconds was left by a writer that died.
struct PuttyTemp {
    bool present = false;
    bool known = false; // its status could be read
    struct stat st {};
};

// A name the store looks at: the configured path with links followed (AT_FDCWD), or a name
// in another user's checked directory, nothing followed (-1 while that has yet to be made).
struct Named {
    int dirFd;
    std::string name;
};

// fstatat of `at`, links followed only for the configured path; ENOENT while no directory is.
int statAt(PosixFiles& files, const Named& at, struct stat* st);

PuttyTemp lookAtPuttyTemp(PosixFiles& files, const Named& path);

// Whether a .tmp stands that is not shown dead; if so, waits two seconds at most for it to go.
// True when one still stands.
bool puttyWriteUnderWay(PosixFiles& files, const Named& path, const PuttyTemp& first,
                        const struct stat& ours);

// What a delete knows of PuTTY's <file>.tmp.
struct PuttyWrites {
    Named path;
    PuttyTemp first; // as the delete began
};

} // namespace detail
} // namespace PAL

#endif // HK_PROVIDER_SRC_POSIXPUTTYTEMP_H
