// Windows: Winsock, started once; connect waited for with select.
#include "PAL/TcpConnection.h"
#include "PAL/Windows.h"
#include "platform/AddressList.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <mutex>

namespace PAL {
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
    UniquePointer<char*, LocalFree> text;
    const DWORD size = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, DWORD(error), 0, reinterpret_cast<char*>(text.put()), 0, nullptr);
    std::string message = size ? std::string(text.get(), size) : "error " + std::to_string(error);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == '.' || message.back() == ' ')) {
        message.pop_back();
    }
    return message;
}

using Addresses = UniquePointer<addrinfo*, freeaddrinfo>;

long millisecondsLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? long(left) : 0;
}

// One address: the connected socket, or none with the reason. A refused connection shows in
// the except set, which is why it is waited for here and not in the library.
Socket connectTo(const TcpAddress& address, Clock::time_point deadline, std::string& why) {
    Socket owned(socket(address.family, address.type, address.protocol));
    const SOCKET handle = owned.get();
    u_long nonBlocking = 1;
    if (handle == INVALID_SOCKET || ioctlsocket(handle, FIONBIO, &nonBlocking) == SOCKET_ERROR) {
        why = wsaText(WSAGetLastError());
        return {};
    }
    int error = connect(handle, reinterpret_cast<const sockaddr*>(address.sockaddr.data()),
                        int(address.sockaddr.size())) == 0
                    ? 0
                    : WSAGetLastError();
    if (error == WSAEWOULDBLOCK) {
        fd_set writable;
        fd_set failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(handle, &writable);
        FD_SET(handle, &failed);
        const long left = millisecondsLeft(deadline);
        timeval wait{left / 1000, (left % 1000) * 1000};
        const int ready = select(0, nullptr, &writable, &failed, &wait);
        if (ready == 0) {
            why = "connection timed out";
            return {};
        }
        int size = sizeof error;
        if (ready == SOCKET_ERROR) {
            error = WSAGetLastError();
        } else if (getsockopt(handle, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error),
                              &size) == SOCKET_ERROR) {
            error = WSAGetLastError();
        }
    }
    u_long blocking = 0;
    if (error == 0 && ioctlsocket(handle, FIONBIO, &blocking) == SOCKET_ERROR) {
        error = WSAGetLastError();
    }
    if (error != 0) {
        why = wsaText(error);
        return {};
    }
    return owned;
}

} // namespace

SocketTraits::Type SocketTraits::invalid() noexcept {
    return INVALID_SOCKET;
}

void SocketTraits::close(Type socket) noexcept {
    closesocket(socket);
}

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
    const Addresses addresses(found);
    return platform::addressesOf(found);
}

TcpConnection::TcpConnection(const std::string& host, unsigned port, Clock::time_point deadline) {
    if (!winsockStarted(why)) {
        return;
    }
    const Resolved resolved = resolveBefore(host, port, deadline);
    why = resolved.why;
    for (const TcpAddress& address : resolved.addresses) {
        socket = connectTo(address, deadline, why);
        if (socket || millisecondsLeft(deadline) == 0) {
            break;
        }
    }
}

} // namespace PAL
