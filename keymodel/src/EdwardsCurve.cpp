// Arithmetic modulo the two fixed primes 2^255 - 19 and 2^448 - 2^224 - 1, in Montgomery form.
// Neither libcrypto nor BCrypt offers it on both platforms; it is small, and it only decides
// which x belongs to a y, so it need not run in constant time.
#include "EdwardsCurve.h"

#include <array>
#include <cstdint>

namespace KeyModel::detail {

namespace {

using Limb = std::uint64_t;
__extension__ typedef unsigned __int128 Wide;

// Little-endian limbs.
template <std::size_t N>
using Num = std::array<Limb, N>;

template <std::size_t N>
bool lessThan(const Num<N>& a, const Num<N>& b) {
    for (std::size_t i = N; i-- > 0;) {
        if (a[i] != b[i]) {
            return a[i] < b[i];
        }
    }
    return false;
}

template <std::size_t N>
Limb addTo(Num<N>& a, const Num<N>& b) {
    Limb carry = 0;
    for (std::size_t i = 0; i < N; ++i) {
        const Wide sum = static_cast<Wide>(a[i]) + b[i] + carry;
        a[i] = static_cast<Limb>(sum);
        carry = static_cast<Limb>(sum >> 64);
    }
    return carry;
}

template <std::size_t N>
Limb subtractFrom(Num<N>& a, const Num<N>& b) {
    Limb borrow = 0;
    for (std::size_t i = 0; i < N; ++i) {
        const Wide difference = static_cast<Wide>(a[i]) - b[i] - borrow;
        a[i] = static_cast<Limb>(difference);
        borrow = (difference >> 64) != 0 ? 1 : 0;
    }
    return borrow;
}

template <std::size_t N>
Num<N> small(Limb value) {
    Num<N> n{};
    n[0] = value;
    return n;
}

template <std::size_t N>
Num<N> shiftedRight(const Num<N>& a, unsigned bits) {
    Num<N> r{};
    for (std::size_t i = 0; i < N; ++i) {
        r[i] = a[i] >> bits;
        if (bits != 0 && i + 1 < N) {
            r[i] |= a[i + 1] << (64 - bits);
        }
    }
    return r;
}

template <std::size_t N>
std::optional<Num<N>> fromBytes(const Bytes& bigEndian) {
    if (bigEndian.size() > N * 8) {
        return std::nullopt;
    }
    Num<N> n{};
    for (std::size_t k = 0; k < bigEndian.size(); ++k) {
        n[k / 8] |= static_cast<Limb>(bigEndian[bigEndian.size() - 1 - k]) << (k % 8 * 8);
    }
    return n;
}

template <std::size_t N>
Bytes toBytes(const Num<N>& n) {
    Bytes bigEndian;
    for (std::size_t k = N * 8; k-- > 0;) {
        const auto byte = static_cast<unsigned char>(n[k / 8] >> (k % 8 * 8));
        if (byte != 0 || !bigEndian.empty()) {
            bigEndian.push_back(byte);
        }
    }
    return bigEndian;
}

// The integers modulo an odd prime p < 2^(64N); elements are kept times R = 2^(64N) mod p.
template <std::size_t N>
class Field {
public:
    explicit Field(const Num<N>& prime) : p(prime) {
        // -p^-1 mod 2^64 by Newton's iteration: each step doubles the bits that are right.
        Limb inverse = 1;
        for (int i = 0; i < 6; ++i) {
            inverse *= 2 - p[0] * inverse;
        }
        pInverse = 0 - inverse;
        Num<N> r2 = small<N>(1);
        for (std::size_t i = 0; i < 128 * N; ++i) {
            r2 = add(r2, r2);
        }
        rSquared = r2;
        unity = multiply(rSquared, small<N>(1));
    }

    const Num<N>& prime() const { return p; }
    const Num<N>& one() const { return unity; }

    Num<N> add(const Num<N>& a, const Num<N>& b) const {
        Num<N> sum = a;
        if (addTo(sum, b) != 0 || !lessThan(sum, p)) {
            subtractFrom(sum, p);
        }
        return sum;
    }

    Num<N> subtract(const Num<N>& a, const Num<N>& b) const {
        Num<N> difference = a;
        if (subtractFrom(difference, b) != 0) {
            addTo(difference, p);
        }
        return difference;
    }

    // Montgomery multiplication, coarsely integrated operand scanning: a * b / R mod p.
    Num<N> multiply(const Num<N>& a, const Num<N>& b) const {
        std::array<Limb, N + 2> t{};
        for (std::size_t i = 0; i < N; ++i) {
            Limb carry = 0;
            for (std::size_t j = 0; j < N; ++j) {
                const Wide s = static_cast<Wide>(a[j]) * b[i] + t[j] + carry;
                t[j] = static_cast<Limb>(s);
                carry = static_cast<Limb>(s >> 64);
            }
            Wide s = static_cast<Wide>(t[N]) + carry;
            t[N] = static_cast<Limb>(s);
            t[N + 1] = static_cast<Limb>(s >> 64);

            const Limb m = t[0] * pInverse;
            s = static_cast<Wide>(m) * p[0] + t[0];
            carry = static_cast<Limb>(s >> 64);
            for (std::size_t j = 1; j < N; ++j) {
                s = static_cast<Wide>(m) * p[j] + t[j] + carry;
                t[j - 1] = static_cast<Limb>(s);
                carry = static_cast<Limb>(s >> 64);
            }
            s = static_cast<Wide>(t[N]) + carry;
            t[N - 1] = static_cast<Limb>(s);
            t[N] = t[N + 1] + static_cast<Limb>(s >> 64);
        }
        Num<N> r{};
        for (std::size_t i = 0; i < N; ++i) {
            r[i] = t[i];
        }
        if (t[N] != 0 || !lessThan(r, p)) {
            subtractFrom(r, p);
        }
        return r;
    }

    Num<N> square(const Num<N>& a) const { return multiply(a, a); }

    // `plain` must be below p.
    Num<N> enter(const Num<N>& plain) const { return multiply(plain, rSquared); }
    Num<N> leave(const Num<N>& element) const { return multiply(element, small<N>(1)); }

    Num<N> power(const Num<N>& base, const Num<N>& exponent) const {
        Num<N> result = unity;
        for (std::size_t bit = N * 64; bit-- > 0;) {
            result = square(result);
            if ((exponent[bit / 64] >> (bit % 64) & 1) != 0) {
                result = multiply(result, base);
            }
        }
        return result;
    }

private:
    Num<N> p;
    Limb pInverse = 0;
    Num<N> rSquared{};
    Num<N> unity{};
};

// a*x^2 + y^2 = 1 + d*x^2*y^2, with a = -1 (edwards25519) or 1 (edwards448).
template <std::size_t N>
struct Curve {
    Field<N> field;
    Num<N> a;
    Num<N> d;
};

template <std::size_t N>
Num<N> allOnes() {
    Num<N> n;
    n.fill(~Limb{0});
    return n;
}

const Curve<4>& ed25519() {
    static const Curve<4> curve = [] {
        Num<4> p = allOnes<4>();
        p[3] >>= 1;
        p[0] -= 18; // 2^255 - 19
        const Field<4> field(p);
        // d = -121665 / 121666
        const Num<4> numerator = field.enter(field.subtract(small<4>(0), small<4>(121665)));
        Num<4> pMinus2 = p;
        subtractFrom(pMinus2, small<4>(2));
        const Num<4> inverse = field.power(field.enter(small<4>(121666)), pMinus2);
        return Curve<4>{field, field.subtract(small<4>(0), field.one()),
                        field.multiply(numerator, inverse)};
    }();
    return curve;
}

const Curve<7>& ed448() {
    static const Curve<7> curve = [] {
        Num<7> p = allOnes<7>();
        p[3] = 0xFFFFFFFEFFFFFFFFu; // 2^448 - 2^224 - 1
        const Field<7> field(p);
        return Curve<7>{field, field.one(),
                        field.subtract(small<7>(0), field.enter(small<7>(39081)))};
    }();
    return curve;
}

template <std::size_t N>
std::optional<Num<N>> element(const Curve<N>& curve, const Bytes& bigEndian) {
    const std::optional<Num<N>> n = fromBytes<N>(bigEndian);
    if (!n || !lessThan(*n, curve.field.prime())) {
        return std::nullopt;
    }
    return curve.field.enter(*n);
}

template <std::size_t N>
bool onCurve(const Curve<N>& curve, const Bytes& xBytes, const Bytes& yBytes) {
    const std::optional<Num<N>> x = element(curve, xBytes);
    const std::optional<Num<N>> y = element(curve, yBytes);
    if (!x || !y) {
        return false;
    }
    const Field<N>& f = curve.field;
    const Num<N> x2 = f.square(*x);
    const Num<N> y2 = f.square(*y);
    const Num<N> left = f.add(f.multiply(curve.a, x2), y2);
    const Num<N> right = f.add(f.one(), f.multiply(curve.d, f.multiply(x2, y2)));
    return left == right;
}

// x^2 = u / v with u = y^2 - 1 and v = d*y^2 - a; the root of the parity asked for.
template <std::size_t N>
std::optional<Bytes> recoverX(const Curve<N>& curve, const Bytes& yBytes, bool odd) {
    const std::optional<Num<N>> y = element(curve, yBytes);
    if (!y) {
        return std::nullopt;
    }
    const Field<N>& f = curve.field;
    const Num<N> y2 = f.square(*y);
    const Num<N> u = f.subtract(y2, f.one());
    const Num<N> v = f.subtract(f.multiply(curve.d, y2), curve.a);
    const Num<N>& p = f.prime();
    Num<N> x;
    if constexpr (N == 4) {
        // p = 5 mod 8: x = u v^3 (u v^7)^((p-5)/8), times sqrt(-1) when that squares to -u/v.
        const Num<N> v3 = f.multiply(f.square(v), v);
        const Num<N> v7 = f.multiply(f.square(v3), v);
        Num<N> exponent = p;
        subtractFrom(exponent, small<N>(5));
        x = f.multiply(f.multiply(u, v3), f.power(f.multiply(u, v7), shiftedRight(exponent, 3)));
        const Num<N> vx2 = f.multiply(v, f.square(x));
        if (vx2 != u) {
            if (vx2 != f.subtract(small<N>(0), u)) {
                return std::nullopt;
            }
            Num<N> quarter = p;
            subtractFrom(quarter, small<N>(1));
            x = f.multiply(x, f.power(f.enter(small<N>(2)), shiftedRight(quarter, 2)));
        }
    } else {
        // p = 3 mod 4: x = u^3 v (u^5 v^3)^((p-3)/4).
        const Num<N> u2 = f.square(u);
        const Num<N> u3 = f.multiply(u2, u);
        const Num<N> u5 = f.multiply(u3, u2);
        const Num<N> v3 = f.multiply(f.square(v), v);
        Num<N> exponent = p;
        subtractFrom(exponent, small<N>(3));
        x = f.multiply(f.multiply(u3, v), f.power(f.multiply(u5, v3), shiftedRight(exponent, 2)));
        if (f.multiply(v, f.square(x)) != u) {
            return std::nullopt;
        }
    }
    Num<N> plain = f.leave(x);
    if (plain == Num<N>{} && odd) {
        return std::nullopt;
    }
    if ((plain[0] & 1) != (odd ? 1u : 0u)) {
        Num<N> negated = p;
        subtractFrom(negated, plain);
        plain = negated;
    }
    return toBytes(plain);
}

} // namespace

bool isEdwardsPoint(EdwardsCurve curve, const Bytes& x, const Bytes& y) {
    return curve == EdwardsCurve::Ed25519 ? onCurve(ed25519(), x, y) : onCurve(ed448(), x, y);
}

std::optional<Bytes> edwardsX(EdwardsCurve curve, const Bytes& y, bool odd) {
    return curve == EdwardsCurve::Ed25519 ? recoverX(ed25519(), y, odd) : recoverX(ed448(), y, odd);
}

} // namespace KeyModel::detail
