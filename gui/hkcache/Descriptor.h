// POSIX: an open file descriptor, closed once. Only the Posix*.cpp files include it.
#ifndef HK_GUI_HKCACHE_DESCRIPTOR_H
#define HK_GUI_HKCACHE_DESCRIPTOR_H

#include <unistd.h>

namespace hkcache {

class Descriptor {
public:
    explicit Descriptor(int descriptor = -1) : fd(descriptor) {}
    ~Descriptor() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int get() const { return fd; }
    int release() {
        const int released = fd;
        fd = -1;
        return released;
    }
    void reset(int newFd) {
        if (fd >= 0) {
            ::close(fd);
        }
        fd = newFd;
    }
    // close(2)'s own result: a write error may show only there (NFS).
    int close() {
        const int result = ::close(fd);
        fd = -1;
        return result;
    }

private:
    int fd;
};

} // namespace hkcache

#endif // HK_GUI_HKCACHE_DESCRIPTOR_H
