// The NIST prime curves' point check (RFC 5656 keys), one file per platform: libcrypto on POSIX
// (PosixCurve.cpp); on Windows arithmetic of our own (Win32Curve.cpp), as Wine's BCrypt imports
// a point off the curve, or with x >= p, without complaint.
#ifndef KEYMODEL_SRC_PRIMECURVE_H
#define KEYMODEL_SRC_PRIMECURVE_H

#include "KeyModel/HostKey.h"

namespace KeyModel::detail {

// `bits`: 256, 384 or 521, for nistpBITS. Coordinates are big-endian magnitudes. True when both
// are below the field's prime and y^2 = x^3 - 3x + b.
bool isPrimeCurvePoint(unsigned bits, const Bytes& x, const Bytes& y);

} // namespace KeyModel::detail

#endif // KEYMODEL_SRC_PRIMECURVE_H
