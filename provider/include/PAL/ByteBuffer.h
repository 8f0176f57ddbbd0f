// A growable block of bytes that owns its storage; used as the registry's name buffer.
#ifndef PAL_BYTEBUFFER_H
#define PAL_BYTEBUFFER_H

#include <cstdint>
#include <memory>

namespace PAL {

class ByteBuffer {
public:
    // Size 0: no storage. Otherwise `size` uninitialised bytes.
    explicit ByteBuffer(std::uint32_t size);
    virtual ~ByteBuffer();
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;

    // 0 releases the storage; a smaller size keeps it; a larger one moves the old bytes into
    // fresh storage (the new tail is uninitialised).
    void resize(std::uint32_t size);

    unsigned char* getData() { return data.get(); }
    const unsigned char* getData() const { return data.get(); }
    std::uint32_t getSize() const { return size; }

private:
    std::unique_ptr<unsigned char[]> data;
    std::uint32_t size;
};

} // namespace PAL

#endif // PAL_BYTEBUFFER_H
