// One hex digit, either case: PuTTY's numbers and its %XX escapes.
#ifndef KEYMODEL_SRC_HEXDIGIT_H
#define KEYMODEL_SRC_HEXDIGIT_H

namespace KeyModel {
namespace detail {

// The digit's value, or -1 for anything that is not a hex digit.
inline int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

} // namespace detail
} // namespace KeyModel

#endif // KEYMODEL_SRC_HEXDIGIT_H
