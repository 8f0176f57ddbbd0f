// The arithmetic the EdDSA keys need: PuTTY keeps a point's two affine coordinates, the wire
// form keeps y and the parity of x, so going from the wire back to PuTTY's text recovers x.
#ifndef KEYMODEL_EDWARDSCURVE_H
#define KEYMODEL_EDWARDSCURVE_H

#include "KeyModel/HostKey.h"

#include <optional>

namespace KeyModel::detail {

enum class EdwardsCurve { Ed25519, Ed448 };

// Coordinates are big-endian magnitudes. True when both are below the field's prime and the
// point lies on the curve.
bool isEdwardsPoint(EdwardsCurve curve, const Bytes& x, const Bytes& y);

// The x of the given parity that puts (x, y) on the curve (RFC 8032, 5.1.3 and 5.2.3), as a
// big-endian magnitude without leading zeros; nullopt when y is not below the prime or no
// such x exists.
std::optional<Bytes> edwardsX(EdwardsCurve curve, const Bytes& y, bool odd);

} // namespace KeyModel::detail

#endif // KEYMODEL_EDWARDSCURVE_H
