// A TCP connection opened with a deadline, per platform (PosixTcpConnection.cpp,
// Win32TcpConnection.cpp), so that a refused connection is told from one that times out on
// both, before the socket is handed to the SSH library.
#ifndef HK_GUI_HKCACHE_TCPCONNECTION_H
#define HK_GUI_HKCACHE_TCPCONNECTION_H

#include <chrono>
#include <cstdint>
#include <string>

namespace hkcache {

class TcpConnection {
public:
#ifdef _WIN32
    using Native = std::uintptr_t; // SOCKET
#else
    using Native = int;
#endif
    static const Native Invalid;

    TcpConnection() = default;
    // Every address `host` resolves to, in turn, until one connects or `deadline` passes; an
    // unconnected one holds the reason (the last address's).
    TcpConnection(const std::string& host, unsigned port,
                  std::chrono::steady_clock::time_point deadline);
    ~TcpConnection();
    TcpConnection(const TcpConnection&) = delete;
    TcpConnection& operator=(const TcpConnection&) = delete;

    bool connected() const {
        return socket != Invalid;
    }
    Native native() const {
        return socket;
    }
    const std::string& reason() const {
        return why;
    }
    // Another owner has closed it.
    void release() {
        socket = Invalid;
    }

private:
    Native socket = Invalid;
    std::string why;
};

} // namespace hkcache

#endif // HK_GUI_HKCACHE_TCPCONNECTION_H
