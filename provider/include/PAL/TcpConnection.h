// A TCP connection opened with a deadline, per platform (PosixTcpConnection.cpp,
// Win32TcpConnection.cpp), so that a refused connection is told from one that times out on
// both, before the socket is handed to the SSH library.
#ifndef PAL_TCPCONNECTION_H
#define PAL_TCPCONNECTION_H

#include "PAL/UniqueHandle.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace PAL {

// One address a name resolved to, as the socket calls take it.
struct TcpAddress {
    int family = 0;
    int type = 0;
    int protocol = 0;
    std::string sockaddr; // the platform's sockaddr, its bytes
};

struct Resolved {
    std::vector<TcpAddress> addresses;
    std::string why; // when there are none
};

// How a host name becomes addresses: the system's resolver unless a test put another in.
using Resolver = std::function<Resolved(const std::string& host, unsigned port)>;
// Puts `resolver` in force (empty: the system's again); returns the one it replaces.
Resolver setResolver(Resolver resolver);
// The system's resolver, per platform: it blocks as long as the name service takes, unless only
// an address written in numbers is taken.
Resolved systemResolve(const std::string& host, unsigned port, bool numericOnly);
// An address in numbers as it is; else what the resolver in force gives by `deadline`. One that
// takes longer is left to end alone (at most a few hundred at once): the name did not resolve.
Resolved resolveBefore(const std::string& host, unsigned port,
                       std::chrono::steady_clock::time_point deadline);

// A socket, per platform.
struct SocketTraits {
#ifdef _WIN32
    using Type = std::uintptr_t; // SOCKET
#else
    using Type = int;
#endif
    static Type invalid() noexcept;
    static void close(Type socket) noexcept;
};
using Socket = UniqueHandle<SocketTraits>;

class TcpConnection {
public:
    using Native = SocketTraits::Type;

    TcpConnection() = default;
    // Every address `host` resolves to (by `deadline`), in turn, until one connects or `deadline`
    // passes; an unconnected one holds the reason (the last address's).
    TcpConnection(const std::string& host, unsigned port,
                  std::chrono::steady_clock::time_point deadline);

    bool connected() const { return bool(socket); }
    Native native() const { return socket.get(); }
    const std::string& reason() const { return why; }
    // Another owner has closed it.
    void release() { socket.release(); }

private:
    Socket socket;
    std::string why;
};

} // namespace PAL

#endif // PAL_TCPCONNECTION_H
