// Arithmetic modulo the two fixed primes 2^255 - 19 and 2^448 - 2^224 - 1. Neither libcrypto nor
// BCrypt offers it on both platforms; it is small, and it only decides which x belongs to a y,
// so it need not run in constant time. Ed25519 keys are common and an import recovers x for
// each, so that field has limbs of its own that make its square root a few microseconds; Ed448
// keys are rare and use a plain Montgomery form.
#include "EdwardsCurve.h"

#include "PrimeField.h"

#include <array>
#include <cstdint>
#include <tuple>
#include <type_traits>

namespace KeyModel::detail {

namespace {

using namespace field;

// 2^255 - 19 in five limbs of 51 bits; a product's carry out of the top wraps around times 19.
// Every operation leaves each limb below 2^51 + 2^14, which keeps products within 128 bits.
class Field25519 {
public:
    using Element = std::array<Limb, 5>;
    using Plain = Num<4>;

    Field25519() {
        p.fill(~Limb{0});
        p[3] >>= 1;
        p[0] -= 18;
    }

    const Plain& prime() const { return p; }
    Element one() const { return Element{1, 0, 0, 0, 0}; }

    Element add(const Element& a, const Element& b) const {
        Element r;
        for (std::size_t i = 0; i < 5; ++i) {
            r[i] = a[i] + b[i];
        }
        return carried(r);
    }

    // a + 2p - b: 2p's limbs exceed any b's.
    Element subtract(const Element& a, const Element& b) const {
        Element r;
        r[0] = a[0] + 0xFFFFFFFFFFFDA - b[0];
        for (std::size_t i = 1; i < 5; ++i) {
            r[i] = a[i] + 0xFFFFFFFFFFFFE - b[i];
        }
        return carried(r);
    }

    Element multiply(const Element& a, const Element& b) const {
        const Limb b1 = b[1] * 19, b2 = b[2] * 19, b3 = b[3] * 19, b4 = b[4] * 19;
        Wide r[5];
        r[0] = wide(a[0], b[0]) + wide(a[1], b4) + wide(a[2], b3) + wide(a[3], b2) + wide(a[4], b1);
        r[1] =
            wide(a[0], b[1]) + wide(a[1], b[0]) + wide(a[2], b4) + wide(a[3], b3) + wide(a[4], b2);
        r[2] = wide(a[0], b[2]) + wide(a[1], b[1]) + wide(a[2], b[0]) + wide(a[3], b4) +
               wide(a[4], b3);
        r[3] = wide(a[0], b[3]) + wide(a[1], b[2]) + wide(a[2], b[1]) + wide(a[3], b[0]) +
               wide(a[4], b4);
        r[4] = wide(a[0], b[4]) + wide(a[1], b[3]) + wide(a[2], b[2]) + wide(a[3], b[1]) +
               wide(a[4], b[0]);
        return reduced(r);
    }

    // The product's terms that appear twice are doubled once.
    Element square(const Element& a) const {
        const Limb a0 = a[0] * 2, a1 = a[1] * 2, a2 = a[2] * 38, a4 = a[4] * 19, a4x2 = a4 * 2;
        Wide r[5];
        r[0] = wide(a[0], a[0]) + wide(a4x2, a[1]) + wide(a2, a[3]);
        r[1] = wide(a0, a[1]) + wide(a4x2, a[2]) + wide(a[3], a[3] * 19);
        r[2] = wide(a0, a[2]) + wide(a[1], a[1]) + wide(a4x2, a[3]);
        r[3] = wide(a0, a[3]) + wide(a1, a[2]) + wide(a[4], a4);
        r[4] = wide(a0, a[4]) + wide(a1, a[3]) + wide(a[2], a[2]);
        return reduced(r);
    }

    Element enter(const Plain& n) const {
        return Element{n[0] & mask, (n[0] >> 51 | n[1] << 13) & mask,
                       (n[1] >> 38 | n[2] << 26) & mask, (n[2] >> 25 | n[3] << 39) & mask,
                       n[3] >> 12};
    }

    // The one value below p.
    Plain leave(const Element& a) const {
        Element h = carried(a);
        h = carried(h);
        // h < 2^255 now; q is 1 when h >= p.
        Limb q = (h[0] + 19) >> 51;
        for (std::size_t i = 1; i < 5; ++i) {
            q = (h[i] + q) >> 51;
        }
        h[0] += 19 * q;
        for (std::size_t i = 0; i < 4; ++i) {
            h[i + 1] += h[i] >> 51;
            h[i] &= mask;
        }
        h[4] &= mask;
        return Plain{h[0] | h[1] << 51, h[1] >> 13 | h[2] << 38, h[2] >> 26 | h[3] << 25,
                     h[3] >> 39 | h[4] << 12};
    }

    bool equal(const Element& a, const Element& b) const { return leave(a) == leave(b); }

    // a^((p-5)/8) = a^(2^252 - 3) by a fixed chain: 250 squarings and 11 multiplications.
    Element powerP58(const Element& a) const {
        const Element a2 = square(a);
        const Element a9 = multiply(squared(a2, 2), a);
        const Element a11 = multiply(a9, a2);
        const Element e5 = multiply(square(a11), a9); // a^(2^5 - 1)
        const Element e10 = multiply(squared(e5, 5), e5);
        const Element e20 = multiply(squared(e10, 10), e10);
        const Element e40 = multiply(squared(e20, 20), e20);
        const Element e50 = multiply(squared(e40, 10), e10);
        const Element e100 = multiply(squared(e50, 50), e50);
        const Element e200 = multiply(squared(e100, 100), e100);
        const Element e250 = multiply(squared(e200, 50), e50);
        return multiply(squared(e250, 2), a);
    }

private:
    static constexpr Limb mask = (Limb{1} << 51) - 1;

    static Wide wide(Limb a, Limb b) { return static_cast<Wide>(a) * b; }

    Element squared(Element a, int times) const {
        while (times-- > 0) {
            a = square(a);
        }
        return a;
    }

    static Element reduced(Wide (&r)[5]) {
        Element h;
        for (std::size_t i = 0; i < 4; ++i) {
            r[i + 1] += r[i] >> 51;
            h[i] = static_cast<Limb>(r[i]) & mask;
        }
        h[4] = static_cast<Limb>(r[4]) & mask;
        h[0] += static_cast<Limb>(r[4] >> 51) * 19;
        h[1] += h[0] >> 51;
        h[0] &= mask;
        return h;
    }

    static Element carried(Element h) {
        for (std::size_t i = 0; i < 4; ++i) {
            h[i + 1] += h[i] >> 51;
            h[i] &= mask;
        }
        h[0] += (h[4] >> 51) * 19;
        h[4] &= mask;
        h[1] += h[0] >> 51;
        h[0] &= mask;
        return h;
    }

    Plain p{};
};

// Four bits of the exponent at a time: the exponents here are long runs of ones, where plain
// square-and-multiply would multiply at nearly every bit.
template <typename F>
typename F::Element power(const F& f, const typename F::Element& base,
                          const typename F::Plain& exponent) {
    using Element = typename F::Element;
    std::array<Element, 16> powers;
    powers[0] = f.one();
    for (std::size_t i = 1; i < powers.size(); ++i) {
        powers[i] = f.multiply(powers[i - 1], base);
    }
    Element result = f.one();
    bool started = false;
    for (std::size_t nibble = exponent.size() * 16; nibble-- > 0;) {
        if (started) {
            for (int i = 0; i < 4; ++i) {
                result = f.square(result);
            }
        }
        const auto window =
            static_cast<std::size_t>(exponent[nibble / 16] >> (nibble % 16 * 4) & 0xF);
        if (window != 0) {
            result = started ? f.multiply(result, powers[window]) : powers[window];
            started = true;
        }
    }
    return result;
}

template <typename Plain>
Plain minusSmall(Plain n, Limb value) {
    Plain v{};
    v[0] = value;
    subtractFrom(n, v);
    return n;
}

// a*x^2 + y^2 = 1 + d*x^2*y^2, with a = -1 (edwards25519) or 1 (edwards448).
template <typename F>
struct Curve {
    F field;
    typename F::Element a;
    typename F::Element d;
    typename F::Element sqrtMinusOne; // edwards25519 only: 2^((p-1)/4)
};

const Curve<Field25519>& ed25519() {
    static const Curve<Field25519> curve = [] {
        const Field25519 f;
        // d = -121665 / 121666
        const auto zero = f.enter(Num<4>{});
        const auto numerator = f.subtract(zero, f.enter(small<4>(121665)));
        const auto inverse = power(f, f.enter(small<4>(121666)), minusSmall(f.prime(), 2));
        const auto two = f.enter(small<4>(2));
        return Curve<Field25519>{f, f.subtract(zero, f.one()), f.multiply(numerator, inverse),
                                 power(f, two, shiftedRight(minusSmall(f.prime(), 1), 2))};
    }();
    return curve;
}

const Curve<Field<7>>& ed448() {
    static const Curve<Field<7>> curve = [] {
        Num<7> p;
        p.fill(~Limb{0});
        p[3] = 0xFFFFFFFEFFFFFFFFu; // 2^448 - 2^224 - 1
        const Field<7> f(p);
        return Curve<Field<7>>{f, f.one(), f.subtract(small<7>(0), f.enter(small<7>(39081))),
                               Num<7>{}};
    }();
    return curve;
}

template <typename F>
std::optional<typename F::Element> element(const F& f, const Bytes& bigEndian) {
    using Plain = typename F::Plain;
    const std::optional<Plain> n = fromBytes<std::tuple_size<Plain>::value>(bigEndian);
    if (!n || !lessThan(*n, f.prime())) {
        return std::nullopt;
    }
    return f.enter(*n);
}

template <typename F>
bool onCurve(const Curve<F>& curve, const Bytes& xBytes, const Bytes& yBytes) {
    const F& f = curve.field;
    const auto x = element(f, xBytes);
    const auto y = element(f, yBytes);
    if (!x || !y) {
        return false;
    }
    const auto x2 = f.square(*x);
    const auto y2 = f.square(*y);
    const auto left = f.add(f.multiply(curve.a, x2), y2);
    const auto right = f.add(f.one(), f.multiply(curve.d, f.multiply(x2, y2)));
    return f.equal(left, right);
}

// x^2 = u / v with u = y^2 - 1 and v = d*y^2 - a; the root of the parity asked for.
template <typename F>
std::optional<Bytes> recoverX(const Curve<F>& curve, const Bytes& yBytes, bool odd) {
    const F& f = curve.field;
    const auto y = element(f, yBytes);
    if (!y) {
        return std::nullopt;
    }
    using Element = typename F::Element;
    using Plain = typename F::Plain;
    const Element y2 = f.square(*y);
    const Element u = f.subtract(y2, f.one());
    const Element v = f.subtract(f.multiply(curve.d, y2), curve.a);
    Element x;
    if constexpr (std::is_same_v<F, Field25519>) {
        // p = 5 mod 8: x = u v^3 (u v^7)^((p-5)/8), times sqrt(-1) when that squares to -u/v.
        const Element v3 = f.multiply(f.square(v), v);
        const Element v7 = f.multiply(f.square(v3), v);
        x = f.multiply(f.multiply(u, v3), f.powerP58(f.multiply(u, v7)));
        const Element vx2 = f.multiply(v, f.square(x));
        if (!f.equal(vx2, u)) {
            if (!f.equal(vx2, f.subtract(f.enter(Plain{}), u))) {
                return std::nullopt;
            }
            x = f.multiply(x, curve.sqrtMinusOne);
        }
    } else {
        // p = 3 mod 4: x = u^3 v (u^5 v^3)^((p-3)/4).
        const Element u2 = f.square(u);
        const Element u3 = f.multiply(u2, u);
        const Element u5 = f.multiply(u3, u2);
        const Element v3 = f.multiply(f.square(v), v);
        x = f.multiply(f.multiply(u3, v),
                       power(f, f.multiply(u5, v3), shiftedRight(minusSmall(f.prime(), 3), 2)));
        if (!f.equal(f.multiply(v, f.square(x)), u)) {
            return std::nullopt;
        }
    }
    Plain plain = f.leave(x);
    if (plain == Plain{} && odd) {
        return std::nullopt;
    }
    if ((plain[0] & 1) != (odd ? 1u : 0u)) {
        Plain negated = f.prime();
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
