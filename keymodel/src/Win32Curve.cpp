// The NIST curves by our own arithmetic: Wine's BCryptImportKeyPair takes any point.
#include "PrimeCurve.h"

#include "HexDigit.h"
#include "PrimeField.h"

#include <string_view>

namespace KeyModel::detail {

namespace {

using namespace field;

template <std::size_t N>
Num<N> fromHex(std::string_view digits) {
    Num<N> n{};
    for (std::size_t i = 0; i < digits.size(); ++i) {
        const std::size_t fromRight = digits.size() - 1 - i;
        n[fromRight / 16] |= static_cast<Limb>(hexValue(digits[i])) << (fromRight % 16 * 4);
    }
    return n;
}

// y^2 = x^3 - 3x + b (FIPS 186-4, D.1.2).
template <std::size_t N>
struct Curve {
    Field<N> field;
    Num<N> b; // in the field's form

    Curve(std::string_view prime, std::string_view bHex)
        : field(fromHex<N>(prime)), b(field.enter(fromHex<N>(bHex))) {}

    bool has(const Bytes& xBytes, const Bytes& yBytes) const {
        const std::optional<Num<N>> xPlain = fromBytes<N>(xBytes);
        const std::optional<Num<N>> yPlain = fromBytes<N>(yBytes);
        if (!xPlain || !yPlain || !lessThan(*xPlain, field.prime()) ||
            !lessThan(*yPlain, field.prime())) {
            return false;
        }
        const Num<N> x = field.enter(*xPlain);
        const Num<N> y = field.enter(*yPlain);
        const Num<N> threeX = field.add(field.add(x, x), x);
        const Num<N> right =
            field.add(field.subtract(field.multiply(field.square(x), x), threeX), b);
        return field.equal(field.square(y), right);
    }
};

} // namespace

bool isPrimeCurvePoint(unsigned bits, const Bytes& x, const Bytes& y) {
    static const Curve<4> p256("ffffffff00000001000000000000000000000000ffffffffffffffffffffffff",
                               "5ac635d8aa3a93e7b3ebbd55769886bc651d06b0cc53b0f63bce3c3e27d2604b");
    static const Curve<6> p384(
        "fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffeffffffff0000000000000000"
        "ffffffff",
        "b3312fa7e23ee7e4988e056be3f82d19181d9c6efe8141120314088f5013875ac656398d8a2ed19d2a85c8ed"
        "d3ec2aef");
    static const Curve<9> p521(
        "1ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff"
        "ffffffffffffffffffffffffffffffffffffffffff",
        "051953eb9618e1c9a1f929a21a0b68540eea2da725b99b315f3b8b489918ef109e156193951ec7e937b1652c0"
        "bd3bb1bf073573df883d2c34f1ef451fd46b503f00");
    return bits == 256 ? p256.has(x, y) : bits == 384 ? p384.has(x, y) : p521.has(x, y);
}

} // namespace KeyModel::detail
