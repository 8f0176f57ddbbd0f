// PuTTY for Unix's host-key file format: one value a line, its name up to the first space, its
// data the rest of the line; "\n" or "\r\n" ends a line, and a last line may have neither.
#ifndef HK_PROVIDER_SRC_POSIXHOSTKEYFORMAT_H
#define HK_PROVIDER_SRC_POSIXHOSTKEYFORMAT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace PAL {
namespace detail {

// Where one value's name and data lie in the file's bytes.
struct ValueLine {
    std::size_t name;
    std::uint32_t nameLength;
    std::size_t data;
    std::uint32_t dataLength;
};

// The values of a file below 4 GiB (so that every length fits 32 bits), in file order.
struct ValueIndex {
    std::vector<ValueLine> values;
    std::uint32_t maxNameLength = 0;
    std::uint32_t maxDataSize = 0; // REG_SZ sizes count the terminating NUL
};
ValueIndex indexValues(const std::string& bytes);

// Removes the lines named `name` from `bytes`, in place; false when there is none.
bool removeLines(std::string& bytes, const std::string& name);

} // namespace detail
} // namespace PAL

#endif // HK_PROVIDER_SRC_POSIXHOSTKEYFORMAT_H
