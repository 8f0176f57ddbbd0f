// The seam between hkcache and the SSH library: one connection that offers one host-key
// algorithm, completes the key exchange and says what key the server proved. Only the file that
// implements it includes the library's headers; tests put a fake in its place.
#ifndef HK_GUI_HKCACHE_SSHPROBE_H
#define HK_GUI_HKCACHE_SSHPROBE_H

#include "KeyModel/HostKey.h"

#include <chrono>
#include <string>

namespace hkcache {

struct ProbeResult {
    enum Outcome {
        Proved,     // the key exchange completed: `key` is the server's, its signature checked
        BadProof,   // the server showed a key but its signature over the exchange did not verify
        NotOffered, // the server serves no key of the algorithms asked for (the reason names
                    // the one it does serve, when it proves one)
        Unreachable,
        Failed, // any other protocol error
    };
    Outcome outcome = Failed;
    KeyModel::Bytes key; // wire form; empty when the server showed none
    std::string reason;  // what went wrong, in the library's or the system's words: shown, never
                         // matched, since a server's own text can be part of it
};

class SshProbe {
public:
    virtual ~SshProbe() = default;
    // `algorithms`: SSH host-key algorithm names, comma-separated, as the client offers them.
    // The whole call, connection included, takes no longer than about `timeout`.
    virtual ProbeResult probe(const std::string& host, unsigned port, const std::string& algorithms,
                              std::chrono::milliseconds timeout) = 0;
};

// The probe in force: the SSH library's unless a test put another in.
SshProbe& sshProbe();
// Puts `probe` in force (null: the library's again); returns the one it replaces, or null.
SshProbe* setSshProbe(SshProbe* probe);

// The algorithms to offer for PuTTY's key type (rsa2: "rsa-sha2-512,rsa-sha2-256"); empty for a
// type the library cannot check.
std::string probeAlgorithms(const std::string& puttyType);

} // namespace hkcache

#endif // HK_GUI_HKCACHE_SSHPROBE_H
