// A cached host key: PuTTY's stored text of its public numbers on one side, the SSH wire form
// (what fingerprints hash and what OpenSSH writes in base64) on the other.
#ifndef KEYMODEL_HOSTKEY_H
#define KEYMODEL_HOSTKEY_H

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace KeyModel {

using Bytes = std::vector<unsigned char>;

struct HostKey {
    std::string puttyType;   // as in the value name: rsa2, dss, ecdsa-sha2-nistp256, ...
    std::string openSshType; // ssh-rsa, ssh-dss, ecdsa-sha2-nistp256, ssh-ed25519, ...;
                             // empty for an SSH-1 rsa key, which has no SSH-2 form
    unsigned bits = 0;       // RSA/DSA: bits of n/p; ECDSA: the curve's; EdDSA: 256 or 456
    Bytes wire;              // SSH wire form; empty for an SSH-1 rsa key
};

// What parsing PuTTY's stored data gave: a key, or the reason there is none.
struct ParsedKey {
    std::optional<HostKey> key;
    std::string error;
};

// Parses the data PuTTY stores for a key of `puttyType` (the part of the value name before
// the '@'). Never throws for bad data: an unknown type or malformed data gives an error.
ParsedKey parsePuttyKey(std::string_view puttyType, std::string_view data);

// PuTTY's type name and stored text for a key in SSH wire form; nullopt when the wire form is
// malformed or of a type PuTTY does not cache. parsePuttyKey of the result gives `wire` back.
struct PuttyKeyText {
    std::string puttyType;
    std::string data;
    unsigned bits = 0; // as HostKey::bits
};
std::optional<PuttyKeyText> puttyKeyFromWire(const Bytes& wire);
// The same in two steps, for a reader that keeps many keys and writes them later: the number
// that costs arithmetic to recover (an Edwards key's x) goes to `recovered` (left empty for
// other keys), and puttyKeyFromWireWith takes it back instead of recovering it again.
std::optional<PuttyKeyText> puttyKeyFromWire(const Bytes& wire, Bytes& recovered);
std::optional<PuttyKeyText> puttyKeyFromWireWith(const Bytes& wire, const Bytes& recovered);

// The OpenSSH type name that PuTTY's name stands for ("rsa2" -> "ssh-rsa"), and back;
// empty when there is none.
std::string openSshTypeOf(std::string_view puttyType);
std::string puttyTypeOf(std::string_view openSshType);
// Every type name there is, PuTTY's and then OpenSSH's, each once.
std::vector<std::string> keyTypeNames();

} // namespace KeyModel

#endif // KEYMODEL_HOSTKEY_H
