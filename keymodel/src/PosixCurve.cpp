// The NIST curves from libcrypto.
#include "PrimeCurve.h"

#include "PAL/UniqueHandle.h"

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/obj_mac.h>

#include <climits>
#include <stdexcept>
#include <string>

namespace KeyModel::detail {

namespace {

using Group = PAL::UniquePointer<EC_GROUP*, EC_GROUP_free>;
using Number = PAL::UniquePointer<BIGNUM*, BN_free>;
using Point = PAL::UniquePointer<EC_POINT*, EC_POINT_free>;
using Context = PAL::UniquePointer<BN_CTX*, BN_CTX_free>;

[[noreturn]] void cryptoFailed(const char* what) {
    throw std::runtime_error(std::string("libcrypto: ") + what + " failed");
}

struct Curve {
    Group group;
    Number prime;

    explicit Curve(int nid) : group(EC_GROUP_new_by_curve_name(nid)), prime(BN_new()) {
        if (!group || !prime ||
            EC_GROUP_get_curve(group.get(), prime.get(), nullptr, nullptr, nullptr) != 1) {
            cryptoFailed("EC_GROUP_new_by_curve_name");
        }
    }
};

// Made once: the readers' threads only read them.
const Curve& curveOf(unsigned bits) {
    static const Curve p256(NID_X9_62_prime256v1);
    static const Curve p384(NID_secp384r1);
    static const Curve p521(NID_secp521r1);
    return bits == 256 ? p256 : bits == 384 ? p384 : p521;
}

Number numberOf(const Bytes& magnitude) {
    if (magnitude.size() > INT_MAX) {
        throw std::length_error("number too long");
    }
    Number n(BN_bin2bn(magnitude.data(), static_cast<int>(magnitude.size()), nullptr));
    if (!n) {
        cryptoFailed("BN_bin2bn");
    }
    return n;
}

} // namespace

bool isPrimeCurvePoint(unsigned bits, const Bytes& x, const Bytes& y) {
    const Curve& curve = curveOf(bits);
    const Number bx = numberOf(x);
    const Number by = numberOf(y);
    // Checked here: setting the coordinates may reduce them modulo p first.
    if (BN_cmp(bx.get(), curve.prime.get()) >= 0 || BN_cmp(by.get(), curve.prime.get()) >= 0) {
        return false;
    }
    const Context context(BN_CTX_new());
    const Point point(EC_POINT_new(curve.group.get()));
    if (!context || !point) {
        cryptoFailed("EC_POINT_new");
    }
    // OpenSSL 3 refuses a point off the curve here already, and queues an error saying so.
    const bool on = EC_POINT_set_affine_coordinates(curve.group.get(), point.get(), bx.get(),
                                                    by.get(), context.get()) == 1 &&
                    EC_POINT_is_on_curve(curve.group.get(), point.get(), context.get()) == 1;
    ERR_clear_error();
    return on;
}

} // namespace KeyModel::detail
