// PuTTY's stored text of a key's public numbers, and the SSH wire form (RFC 4253 6.6, RFC 5656,
// RFC 8709), each built from the other. Parsing is strict and never throws for bad data: the
// text comes from a cache anyone may have edited, the wire form from a file being imported.
#include "KeyModel/HostKey.h"

#include "EdwardsCurve.h"
#include "HexDigit.h"
#include "PrimeCurve.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <utility>

namespace KeyModel {

namespace {

using detail::EdwardsCurve;

enum class Kind { Ssh1Rsa, Rsa, Dsa, Ecdsa, EdDsa };

struct KeyType {
    std::string_view putty;
    std::string_view openSsh; // empty: no SSH-2 form
    Kind kind;
    unsigned bits;              // ECDSA, EdDSA: the size reported and the coordinates' bound
    std::size_t encodedSize;    // ECDSA: bytes per coordinate; EdDSA: bytes of the key
    std::string_view curveName; // ECDSA
    EdwardsCurve edwards;       // EdDSA
};

// RSA and DSA numbers wider than OpenSSH accepts (16384 bits) are not keys anyone has.
constexpr unsigned maxIntegerBits = 16384;

constexpr std::array<KeyType, 8> keyTypes{{
    {"rsa", "", Kind::Ssh1Rsa, 0, 0, "", EdwardsCurve::Ed25519},
    {"rsa2", "ssh-rsa", Kind::Rsa, 0, 0, "", EdwardsCurve::Ed25519},
    {"dss", "ssh-dss", Kind::Dsa, 0, 0, "", EdwardsCurve::Ed25519},
    {"ecdsa-sha2-nistp256", "ecdsa-sha2-nistp256", Kind::Ecdsa, 256, 32, "nistp256",
     EdwardsCurve::Ed25519},
    {"ecdsa-sha2-nistp384", "ecdsa-sha2-nistp384", Kind::Ecdsa, 384, 48, "nistp384",
     EdwardsCurve::Ed25519},
    {"ecdsa-sha2-nistp521", "ecdsa-sha2-nistp521", Kind::Ecdsa, 521, 66, "nistp521",
     EdwardsCurve::Ed25519},
    // The Ed448 key is 57 bytes: 456 bits, as PuTTY counts it.
    {"ssh-ed25519", "ssh-ed25519", Kind::EdDsa, 256, 32, "", EdwardsCurve::Ed25519},
    {"ssh-ed448", "ssh-ed448", Kind::EdDsa, 456, 57, "", EdwardsCurve::Ed448},
}};

const KeyType* findPutty(std::string_view name) {
    for (const KeyType& type : keyTypes) {
        if (type.putty == name) {
            return &type;
        }
    }
    return nullptr;
}

const KeyType* findOpenSsh(std::string_view name) {
    for (const KeyType& type : keyTypes) {
        if (!type.openSsh.empty() && type.openSsh == name) {
            return &type;
        }
    }
    return nullptr;
}

// Numbers are big-endian magnitudes without leading zero bytes; zero is empty.
std::size_t bitLength(const Bytes& n) {
    if (n.empty()) {
        return 0;
    }
    std::size_t bits = (n.size() - 1) * 8;
    for (unsigned top = n[0]; top != 0; top >>= 1) {
        ++bits;
    }
    return bits;
}

// "0x" and hex digits (either case, leading zeros allowed) as a magnitude of at most maxBits.
std::optional<Bytes> parseHex(std::string_view text, std::size_t maxBits, std::string& error) {
    if (text.size() < 3 || text[0] != '0' || text[1] != 'x') {
        error = "is not 0x and hex digits";
        return std::nullopt;
    }
    std::string_view digits = text.substr(2);
    for (const char c : digits) {
        if (detail::hexValue(c) < 0) {
            error = "is not 0x and hex digits";
            return std::nullopt;
        }
    }
    while (!digits.empty() && digits[0] == '0') {
        digits.remove_prefix(1);
    }
    if (digits.size() > (maxBits + 3) / 4) {
        error = "is wider than " + std::to_string(maxBits) + " bits";
        return std::nullopt;
    }
    Bytes n((digits.size() + 1) / 2);
    for (std::size_t i = 0; i < digits.size(); ++i) {
        // Digits fill from the right: the last one is the low nibble of the last byte.
        const std::size_t fromRight = digits.size() - 1 - i;
        n[n.size() - 1 - fromRight / 2] |=
            static_cast<unsigned char>(detail::hexValue(digits[i]) << (fromRight % 2 * 4));
    }
    if (bitLength(n) > maxBits) {
        error = "is wider than " + std::to_string(maxBits) + " bits";
        return std::nullopt;
    }
    return n;
}

// PuTTY's form: lower case, no leading zeros, "0x0" for zero.
std::string formatHex(const Bytes& n) {
    static const char digits[] = "0123456789abcdef";
    std::string text = "0x";
    for (const unsigned char byte : n) {
        if (text.size() > 2 || byte >= 0x10) {
            text += digits[byte >> 4];
        }
        text += digits[byte & 0xF];
    }
    return n.empty() ? "0x0" : text;
}

std::vector<std::string_view> splitFields(std::string_view data) {
    std::vector<std::string_view> fields;
    for (;;) {
        const std::size_t comma = data.find(',');
        fields.push_back(data.substr(0, comma));
        if (comma == std::string_view::npos) {
            return fields;
        }
        data.remove_prefix(comma + 1);
    }
}

Bytes stripLeadingZeros(const unsigned char* begin, const unsigned char* end) {
    while (begin != end && *begin == 0) {
        ++begin;
    }
    return Bytes(begin, end);
}

class WireWriter {
public:
    void string(const unsigned char* data, std::size_t size) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            wire.push_back(static_cast<unsigned char>(size >> shift));
        }
        wire.insert(wire.end(), data, data + size);
    }
    void string(const Bytes& data) { string(data.data(), data.size()); }
    void string(std::string_view text) {
        string(reinterpret_cast<const unsigned char*>(text.data()), text.size());
    }
    // RFC 4251: two's complement; a positive number whose top bit is set gets a zero byte.
    void mpint(const Bytes& magnitude) {
        if (!magnitude.empty() && magnitude[0] >= 0x80) {
            Bytes padded(1, 0);
            padded.insert(padded.end(), magnitude.begin(), magnitude.end());
            string(padded);
        } else {
            string(magnitude);
        }
    }
    Bytes take() { return std::move(wire); }

private:
    Bytes wire;
};

class WireReader {
public:
    explicit WireReader(const Bytes& wire) : data(wire) {}

    bool string(Bytes& out) {
        if (data.size() - pos < 4) {
            return false;
        }
        std::size_t size = 0;
        for (int i = 0; i < 4; ++i) {
            size = size << 8 | data[pos + static_cast<std::size_t>(i)];
        }
        pos += 4;
        if (data.size() - pos < size) {
            return false;
        }
        out.assign(data.begin() + static_cast<std::ptrdiff_t>(pos),
                   data.begin() + static_cast<std::ptrdiff_t>(pos + size));
        pos += size;
        return true;
    }

    // A non-negative mpint in its one valid encoding: no zero byte that is not needed.
    bool mpint(Bytes& magnitude, std::size_t maxBits) {
        Bytes raw;
        if (!string(raw)) {
            return false;
        }
        if (!raw.empty() && raw[0] >= 0x80) {
            return false;
        }
        if (!raw.empty() && raw[0] == 0 && (raw.size() == 1 || raw[1] < 0x80)) {
            return false;
        }
        magnitude = stripLeadingZeros(raw.data(), raw.data() + raw.size());
        return bitLength(magnitude) <= maxBits;
    }

    bool atEnd() const { return pos == data.size(); }

private:
    const Bytes& data;
    std::size_t pos = 0;
};

// -1, 0 or 1 as a is below, equal to or above b; both without leading zero bytes.
int compare(const Bytes& a, const Bytes& b) {
    if (a.size() != b.size()) {
        return a.size() < b.size() ? -1 : 1;
    }
    const auto [ai, bi] = std::mismatch(a.begin(), a.end(), b.begin());
    return ai == a.end() ? 0 : *ai < *bi ? -1 : 1;
}

bool isEven(const Bytes& n) {
    return n.empty() || (n.back() & 1) == 0;
}

bool isZeroOrOne(const Bytes& n) {
    return n.empty() || (n.size() == 1 && n[0] == 1);
}

// Why numbers that parse are still no key of `type` (RSA's e, n; DSA's p, q, g, y; a point's
// x, y), or nothing. Only what is plainly wrong: such a key verifies no signature, and a cache
// that holds it shows a fingerprint for nothing.
std::string notAKey(const KeyType& type, const std::vector<Bytes>& n) {
    switch (type.kind) {
    case Kind::Ssh1Rsa:
    case Kind::Rsa: {
        const Bytes three{3};
        if (compare(n[0], three) < 0 || isEven(n[0])) {
            return "the exponent is below 3 or even";
        }
        return isEven(n[1]) ? "the modulus is zero or even" : "";
    }
    case Kind::Dsa:
        if (std::any_of(n.begin(), n.end(), isZeroOrOne)) {
            return "a number is 0 or 1";
        }
        return compare(n[1], n[0]) >= 0 || compare(n[2], n[0]) >= 0 || compare(n[3], n[0]) >= 0
                   ? "q, g or y is not below p"
                   : "";
    case Kind::Ecdsa:
        return detail::isPrimeCurvePoint(type.bits, n[0], n[1]) ? "" : "not a point on the curve";
    case Kind::EdDsa:
        return detail::isEdwardsPoint(type.edwards, n[0], n[1]) ? "" : "not a point on the curve";
    }
    return "";
}

ParsedKey failure(std::string error) {
    return ParsedKey{std::nullopt, std::move(error)};
}

// The fields of `data` as numbers, the first `skip` fields left out.
std::optional<std::vector<Bytes>> parseNumbers(const std::vector<std::string_view>& fields,
                                               std::size_t skip, std::size_t maxBits,
                                               std::string& error) {
    std::vector<Bytes> numbers;
    for (std::size_t i = skip; i < fields.size(); ++i) {
        std::string why;
        std::optional<Bytes> n = parseHex(fields[i], maxBits, why);
        if (!n) {
            error = "number " + std::to_string(i + 1) + " " + why;
            return std::nullopt;
        }
        numbers.push_back(std::move(*n));
    }
    return numbers;
}

// RFC 8032: y little-endian in the key's bytes, x's parity in the top bit of the last.
Bytes encodeEdwards(const KeyType& type, const Bytes& x, const Bytes& y) {
    Bytes key(type.encodedSize, 0);
    for (std::size_t i = 0; i < y.size(); ++i) {
        key[i] = y[y.size() - 1 - i];
    }
    if (!x.empty() && (x.back() & 1) != 0) {
        key.back() |= 0x80;
    }
    return key;
}

// How PuTTY's text of a key of some type is laid out: its field count, the fields before the
// numbers, and the numbers' bound.
struct FieldLayout {
    std::size_t expected = 2;
    std::size_t skip = 0;
    std::size_t maxBits = 0;
};

FieldLayout fieldLayout(const KeyType& type) {
    FieldLayout layout;
    layout.maxBits = type.bits;
    switch (type.kind) {
    case Kind::Ssh1Rsa:
    case Kind::Rsa:
        layout.maxBits = maxIntegerBits;
        break;
    case Kind::Dsa:
        layout.expected = 4;
        layout.maxBits = maxIntegerBits;
        break;
    case Kind::Ecdsa:
        layout.expected = 3;
        layout.skip = 1;
        break;
    case Kind::EdDsa:
        break;
    }
    return layout;
}

// The numbers of PuTTY's text of a key of `type`, only when they are a key; else why not.
std::optional<std::vector<Bytes>> keyNumbers(const KeyType& type, std::string_view data,
                                             std::string& error) {
    const std::vector<std::string_view> fields = splitFields(data);
    const FieldLayout layout = fieldLayout(type);
    if (fields.size() != layout.expected) {
        error = "expected " + std::to_string(layout.expected) + " fields separated by commas";
        return std::nullopt;
    }
    if (type.kind == Kind::Ecdsa && fields[0] != type.curveName) {
        error = "field 1 is not " + std::string(type.curveName);
        return std::nullopt;
    }
    std::optional<std::vector<Bytes>> numbers =
        parseNumbers(fields, layout.skip, layout.maxBits, error);
    if (!numbers) {
        return std::nullopt;
    }
    if (std::string why = notAKey(type, *numbers); !why.empty()) {
        error = std::move(why);
        return std::nullopt;
    }
    return numbers;
}

// RFC 5656: the uncompressed point, each coordinate padded to the field's size.
Bytes ecdsaPoint(const KeyType& type, const Bytes& x, const Bytes& y) {
    Bytes point(1 + 2 * type.encodedSize, 0);
    point[0] = 0x04;
    std::copy(x.begin(), x.end(),
              point.begin() + static_cast<std::ptrdiff_t>(1 + type.encodedSize - x.size()));
    std::copy(y.begin(), y.end(), point.end() - static_cast<std::ptrdiff_t>(y.size()));
    return point;
}

// The key that checked numbers `n` of `type` are. An SSH-1 key has no wire form.
HostKey hostKeyOf(const KeyType& type, const std::vector<Bytes>& n) {
    HostKey key;
    key.puttyType = std::string(type.putty);
    key.openSshType = std::string(type.openSsh);
    key.bits = type.bits;
    WireWriter wire;
    wire.string(type.openSsh);
    switch (type.kind) {
    case Kind::Ssh1Rsa:
        key.bits = static_cast<unsigned>(bitLength(n[1]));
        return key;
    case Kind::Rsa:
        key.bits = static_cast<unsigned>(bitLength(n[1]));
        wire.mpint(n[0]);
        wire.mpint(n[1]);
        break;
    case Kind::Dsa:
        key.bits = static_cast<unsigned>(bitLength(n[0]));
        for (const Bytes& number : n) {
            wire.mpint(number);
        }
        break;
    case Kind::Ecdsa:
        wire.string(type.curveName);
        wire.string(ecdsaPoint(type, n[0], n[1]));
        break;
    case Kind::EdDsa:
        wire.string(encodeEdwards(type, n[0], n[1]));
        break;
    }
    key.wire = wire.take();
    return key;
}

// Each reader below takes a key of its kind from the wire after the type name: PuTTY's text of
// it, and its size in `bits`; nullopt when it is not exactly one valid key.

std::optional<std::string> readIntegerKey(const KeyType& type, WireReader& reader, unsigned& bits) {
    const int count = type.kind == Kind::Rsa ? 2 : 4;
    // RSA's size is its modulus n (after e), DSA's its p (first).
    const int sized = type.kind == Kind::Rsa ? 1 : 0;
    std::string data;
    std::vector<Bytes> n(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        Bytes& number = n[static_cast<std::size_t>(i)];
        if (!reader.mpint(number, maxIntegerBits)) {
            return std::nullopt;
        }
        if (i == sized) {
            bits = static_cast<unsigned>(bitLength(number));
        }
        data += (i == 0 ? "" : ",") + formatHex(number);
    }
    if (!notAKey(type, n).empty()) {
        return std::nullopt;
    }
    return data;
}

std::optional<std::string> readEcdsaKey(const KeyType& type, WireReader& reader) {
    Bytes curve;
    Bytes point;
    if (!reader.string(curve) ||
        std::string_view(reinterpret_cast<const char*>(curve.data()), curve.size()) !=
            type.curveName ||
        !reader.string(point) || point.size() != 1 + 2 * type.encodedSize || point[0] != 0x04) {
        return std::nullopt;
    }
    const unsigned char* middle = point.data() + 1 + type.encodedSize;
    const std::vector<Bytes> n{stripLeadingZeros(point.data() + 1, middle),
                               stripLeadingZeros(middle, point.data() + point.size())};
    const Bytes& x = n[0];
    const Bytes& y = n[1];
    if (bitLength(x) > type.bits || bitLength(y) > type.bits || !notAKey(type, n).empty()) {
        return std::nullopt;
    }
    return std::string(type.curveName) + "," + formatHex(x) + "," + formatHex(y);
}

// `known`: the x recovered before for this very wire form, taken as it is; `recovered` gets x.
std::optional<std::string> readEdDsaKey(const KeyType& type, WireReader& reader, const Bytes* known,
                                        Bytes* recovered) {
    Bytes key;
    if (!reader.string(key) || key.size() != type.encodedSize) {
        return std::nullopt;
    }
    const bool odd = (key.back() & 0x80) != 0;
    key.back() &= 0x7F;
    Bytes bigEndian(key.rbegin(), key.rend());
    const Bytes y = stripLeadingZeros(bigEndian.data(), bigEndian.data() + bigEndian.size());
    const std::optional<Bytes> x = known ? *known : detail::edwardsX(type.edwards, y, odd);
    if (!x) {
        return std::nullopt;
    }
    if (recovered) {
        *recovered = *x;
    }
    return formatHex(*x) + "," + formatHex(y);
}

} // namespace

ParsedKey parsePuttyKey(std::string_view puttyType, std::string_view data) {
    const KeyType* type = findPutty(puttyType);
    if (type == nullptr) {
        return failure("unknown key type");
    }
    std::string error;
    const std::optional<std::vector<Bytes>> numbers = keyNumbers(*type, data, error);
    if (!numbers) {
        return failure(std::move(error));
    }
    return ParsedKey{hostKeyOf(*type, *numbers), std::string()};
}

namespace {

std::optional<PuttyKeyText> fromWire(const Bytes& wire, const Bytes* known, Bytes* recovered) {
    WireReader reader(wire);
    Bytes name;
    if (!reader.string(name)) {
        return std::nullopt;
    }
    const KeyType* type =
        findOpenSsh(std::string_view(reinterpret_cast<const char*>(name.data()), name.size()));
    if (type == nullptr) {
        return std::nullopt;
    }
    unsigned bits = type->bits;
    std::optional<std::string> data;
    switch (type->kind) {
    case Kind::Ssh1Rsa:
        return std::nullopt;
    case Kind::Rsa:
    case Kind::Dsa:
        data = readIntegerKey(*type, reader, bits);
        break;
    case Kind::Ecdsa:
        data = readEcdsaKey(*type, reader);
        break;
    case Kind::EdDsa:
        data = readEdDsaKey(*type, reader, known, recovered);
        break;
    }
    if (!data || !reader.atEnd()) {
        return std::nullopt;
    }
    return PuttyKeyText{std::string(type->putty), std::move(*data), bits};
}

} // namespace

std::optional<PuttyKeyText> puttyKeyFromWire(const Bytes& wire) {
    return fromWire(wire, nullptr, nullptr);
}

std::optional<PuttyKeyText> puttyKeyFromWire(const Bytes& wire, Bytes& recovered) {
    recovered.clear();
    return fromWire(wire, nullptr, &recovered);
}

std::optional<PuttyKeyText> puttyKeyFromWireWith(const Bytes& wire, const Bytes& recovered) {
    return fromWire(wire, recovered.empty() ? nullptr : &recovered, nullptr);
}

std::string openSshTypeOf(std::string_view puttyType) {
    const KeyType* type = findPutty(puttyType);
    return type == nullptr ? std::string() : std::string(type->openSsh);
}

std::string puttyTypeOf(std::string_view openSshType) {
    const KeyType* type = findOpenSsh(openSshType);
    return type == nullptr ? std::string() : std::string(type->putty);
}

std::vector<std::string> keyTypeNames() {
    std::vector<std::string> names;
    for (const KeyType& type : keyTypes) {
        names.emplace_back(type.putty);
    }
    for (const KeyType& type : keyTypes) {
        if (!type.openSsh.empty() &&
            std::find(names.begin(), names.end(), type.openSsh) == names.end()) {
            names.emplace_back(type.openSsh);
        }
    }
    return names;
}

} // namespace KeyModel
