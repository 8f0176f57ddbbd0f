#include "TcpConnection.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace hkcache {
namespace {

using Clock = std::chrono::steady_clock;

struct FreeAddresses {
    void operator()(addrinfo* list) const { freeaddrinfo(list); }
};

struct CloseSocket {
    int fd;
    ~CloseSocket() {
        if (fd >= 0) {
            close(fd);
        }
    }
};

int millisecondsLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? int(left) : 0;
}

// One address: the connected socket, or -1 with the reason.
int connectTo(const TcpAddress& address, Clock::time_point deadline, std::string& why) {
    CloseSocket owned{socket(address.family, address.type | SOCK_CLOEXEC, address.protocol)};
    const int flags = owned.fd < 0 ? -1 : fcntl(owned.fd, F_GETFL);
    if (flags < 0 || fcntl(owned.fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        why = std::strerror(errno);
        return -1;
    }
    int error = connect(owned.fd, reinterpret_cast<const sockaddr*>(address.sockaddr.data()),
                        socklen_t(address.sockaddr.size())) == 0
                    ? 0
                    : errno;
    if (error == EINPROGRESS) {
        pollfd wait{owned.fd, POLLOUT, 0};
        int ready;
        while ((ready = poll(&wait, 1, millisecondsLeft(deadline))) < 0 && errno == EINTR) {
        }
        if (ready == 0) {
            why = "connection timed out";
            return -1;
        }
        socklen_t size = sizeof error;
        if (ready < 0 || getsockopt(owned.fd, SOL_SOCKET, SO_ERROR, &error, &size) < 0) {
            error = errno;
        }
    }
    // The library is handed a socket in the mode it would have made itself.
    if (error == 0 && fcntl(owned.fd, F_SETFL, flags) < 0) {
        error = errno;
    }
    if (error != 0) {
        why = std::strerror(error);
        return -1;
    }
    const int fd = owned.fd;
    owned.fd = -1;
    return fd;
}

} // namespace

const TcpConnection::Native TcpConnection::Invalid = -1;

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
    const Resolved resolved = resolveBefore(host, port, deadline);
    why = resolved.why;
    for (const TcpAddress& address : resolved.addresses) {
        socket = connectTo(address, deadline, why);
        if (socket >= 0 || millisecondsLeft(deadline) == 0) {
            break;
        }
    }
}

TcpConnection::~TcpConnection() {
    if (socket >= 0) {
        close(socket);
    }
}

} // namespace hkcache
