// Numbers of N 64-bit limbs and the integers modulo an odd prime below 2^(64N), in Montgomery
// form: the arithmetic EdwardsCurve.cpp needs, and the NIST curves' check where the platform
// has none. Not constant time: these check public keys.
#ifndef KEYMODEL_SRC_PRIMEFIELD_H
#define KEYMODEL_SRC_PRIMEFIELD_H

#include "KeyModel/HostKey.h"

#include <array>
#include <cstdint>
#include <optional>

namespace KeyModel::detail::field {

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
    using Element = Num<N>;
    using Plain = Num<N>;

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
    // Elements are kept below p: one value, one form.
    bool equal(const Num<N>& a, const Num<N>& b) const { return a == b; }

private:
    Num<N> p;
    Limb pInverse = 0;
    Num<N> rSquared{};
    Num<N> unity{};
};

} // namespace KeyModel::detail::field

#endif // KEYMODEL_SRC_PRIMEFIELD_H
