#include "TcpConnection.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <memory>
#include <mutex>

namespace hkcache {
namespace {

using Clock = std::chrono::steady_clock;

// Winsock is started once for the process and left to its end.
bool winsockStarted(std::string& why) {
    static int error = -1;
    static std::once_flag once;
    std::call_once(once, [] {
        WSADATA data;
        error = WSAStartup(MAKEWORD(2, 2), &data);
    });
    if (error != 0) {
        why = "WSAStartup failed: " + std::to_string(error);
    }
    return error == 0;
}

std::string wsaText(int error) {
    char* text = nullptr;
    const DWORD size = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, DWORD(error), 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message = size ? std::string(text, size) : "error " + std::to_string(error);
    LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == '.' || message.back() == ' ')) {
        message.pop_back();
    }
    return message;
}

struct FreeAddresses {
    void operator()(addrinfo* list) const { freeaddrinfo(list); }
};

struct CloseSocket {
    SOCKET socket;
    ~CloseSocket() {
        if (socket != INVALID_SOCKET) {
            closesocket(socket);
        }
    }
};

long millisecondsLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? long(left) : 0;
}

// One address: the connected socket, or INVALID_SOCKET with the reason. A refused connection
// shows in the except set, which is why it is waited for here and not in the library.
SOCKET connectTo(const TcpAddress& address, Clock::time_point deadline, std::string& why) {
    CloseSocket owned{socket(address.family, address.type, address.protocol)};
    u_long nonBlocking = 1;
    if (owned.socket == INVALID_SOCKET ||
        ioctlsocket(owned.socket, FIONBIO, &nonBlocking) == SOCKET_ERROR) {
        why = wsaText(WSAGetLastError());
        return INVALID_SOCKET;
    }
    int error = connect(owned.socket, reinterpret_cast<const sockaddr*>(address.sockaddr.data()),
                        int(address.sockaddr.size())) == 0
                    ? 0
                    : WSAGetLastError();
    if (error == WSAEWOULDBLOCK) {
        fd_set writable;
        fd_set failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(owned.socket, &writable);
        FD_SET(owned.socket, &failed);
        const long left = millisecondsLeft(deadline);
        timeval wait{left / 1000, (left % 1000) * 1000};
        const int ready = select(0, nullptr, &writable, &failed, &wait);
        if (ready == 0) {
            why = "connection timed out";
            return INVALID_SOCKET;
        }
        int size = sizeof error;
        if (ready == SOCKET_ERROR) {
            error = WSAGetLastError();
        } else if (getsockopt(owned.socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error),
                              &size) == SOCKET_ERROR) {
            error = WSAGetLastError();
        }
    }
    u_long blocking = 0;
    if (error == 0 && ioctlsocket(owned.socket, FIONBIO, &blocking) == SOCKET_ERROR) {
        error = WSAGetLastError();
    }
    if (error != 0) {
        why = wsaText(error);
        return INVALID_SOCKET;
    }
    const SOCKET connected = owned.socket;
    owned.socket = INVALID_SOCKET;
    return connected;
}

} // namespace

const TcpConnection::Native TcpConnection::Invalid = INVALID_SOCKET;

Resolved systemResolve(const std::string& host, unsigned port, bool numericOnly) {
    addrinfo hints{};
    hints.ai_flags = numericOnly ? AI_NUMERICHOST : 0;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    const int error = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (error != 0) {
        return {{}, wsaText(error)};
    }
    const std::unique_ptr<addrinfo, FreeAddresses> addresses(found);
    Resolved resolved;
    for (const addrinfo* address = found; address; address = address->ai_next) {
        resolved.addresses.push_back(
            {address->ai_family, address->ai_socktype, address->ai_protocol,
             std::string(reinterpret_cast<const char*>(address->ai_addr), address->ai_addrlen)});
    }
    return resolved;
}

TcpConnection::TcpConnection(const std::string& host, unsigned port, Clock::time_point deadline) {
    if (!winsockStarted(why)) {
        return;
    }
    const Resolved resolved = resolveBefore(host, port, deadline);
    why = resolved.why;
    for (const TcpAddress& address : resolved.addresses) {
        socket = connectTo(address, deadline, why);
        if (socket != Invalid || millisecondsLeft(deadline) == 0) {
            break;
        }
    }
}

TcpConnection::~TcpConnection() {
    if (socket != Invalid) {
        closesocket(socket);
    }
}

} // namespace hkcache
