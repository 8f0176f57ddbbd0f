#include "PAL/ByteBuffer.h"

#include <cstring>

namespace PAL {

ByteBuffer::ByteBuffer(std::uint32_t bytes)
    : data(bytes == 0 ? nullptr : std::make_unique<unsigned char[]>(bytes)), size(bytes) {}

ByteBuffer::~ByteBuffer() = default;

void ByteBuffer::resize(std::uint32_t bytes) {
    if (bytes == 0) {
        data.reset();
    } else if (bytes > size) {
        auto grown = std::make_unique<unsigned char[]>(bytes);
        if (size != 0) {
            std::memcpy(grown.get(), data.get(), size);
        }
        data = std::move(grown);
    }
    size = bytes;
}

} // namespace PAL
