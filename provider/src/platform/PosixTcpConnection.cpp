// POSIX: sockets with BSD calls; connect waited for with poll.
#include "PAL/TcpConnection.h"
#include "platform/AddressList.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace PAL {
namespace {

using Clock = std::chrono::steady_clock;

using Addresses = UniquePointer<addrinfo*, freeaddrinfo>;

int millisecondsLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? int(left) : 0;
}

// One address: the connected socket, or -1 with the reason.
Socket connectTo(const TcpAddress& address, Clock::time_point deadline, std::string& why) {
    Socket owned(socket(address.family, address.type | SOCK_CLOEXEC, address.protocol));
    const int fd = owned.get();
    const int flags = fd < 0 ? -1 : fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        why = std::strerror(errno);
        return {};
    }
    int error = connect(fd, reinterpret_cast<const sockaddr*>(address.sockaddr.data()),
                        socklen_t(address.sockaddr.size())) == 0
                    ? 0
                    : errno;
    if (error == EINPROGRESS) {
        pollfd wait{fd, POLLOUT, 0};
        int ready;
        while ((ready = poll(&wait, 1, millisecondsLeft(deadline))) < 0 && errno == EINTR) {
        }
        if (ready == 0) {
            why = "connection timed out";
            return {};
        }
        socklen_t size = sizeof error;
        if (ready < 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) < 0) {
            error = errno;
        }
    }
    // The library is handed a socket in the mode it would have made itself.
    if (error == 0 && fcntl(fd, F_SETFL, flags) < 0) {
        error = errno;
    }
    if (error != 0) {
        why = std::strerror(error);
        return {};
    }
    return owned;
}

} // namespace

SocketTraits::Type SocketTraits::invalid() noexcept {
    return -1;
}

void SocketTraits::close(Type socket) noexcept {
    ::close(socket);
}

Resolved systemResolve(const std::string& host, unsigned port, bool numericOnly) {
    addrinfo hints{};
    hints.ai_flags = numericOnly ? AI_NUMERICHOST : 0;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int error = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (error != 0) {
        return {{}, error == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(error)};
    }
    const Addresses addresses(found);
    return platform::addressesOf(found);
}

TcpConnection::TcpConnection(const std::string& host, unsigned port, Clock::time_point deadline) {
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
