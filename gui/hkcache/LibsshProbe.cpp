// The SSH seam on libssh: the only file that includes its headers. libssh runs the transport,
// the key exchange and the check of the server's signature; we open the TCP connection
// ourselves (TcpConnection) so that every platform tells refused from timed out.
#include "SshProbe.h"
#include "TcpConnection.h"

#include "KeyModel/Digest.h"

#include <libssh/libssh.h>

#include <cstdlib>
#include <memory>
#include <mutex>

namespace hkcache {
namespace {

using Clock = std::chrono::steady_clock;

struct FreeSession {
    void operator()(ssh_session session) const {
        ssh_disconnect(session);
        ssh_free(session);
    }
};
struct FreeKey {
    void operator()(ssh_key key) const { ssh_key_free(key); }
};
struct FreeText {
    void operator()(char* text) const { ssh_string_free_char(text); }
};

// How libssh 0.10 words what went wrong in ssh_connect (its text is all it gives), as seen
// against OpenSSH 9.2 and an impostor; anything else is `failed`.
struct ErrorWords {
    const char* text;
    ProbeResult::Outcome outcome;
};
const ErrorWords ErrorTable[] = {
    {"Failed to verify server hostkey signature", ProbeResult::BadProof},
    {"no match for method server host key algo", ProbeResult::NotOffered},
    {"Timeout connecting", ProbeResult::Unreachable},
};

ProbeResult::Outcome outcomeOf(const std::string& error) {
    for (const ErrorWords& row : ErrorTable) {
        if (error.find(row.text) != std::string::npos) {
            return row.outcome;
        }
    }
    return ProbeResult::Failed;
}

// The wire form of the key the session holds, or nothing when it holds none.
KeyModel::Bytes serverKey(ssh_session session) {
    ssh_key key = nullptr;
    if (ssh_get_server_publickey(session, &key) != SSH_OK) {
        return {};
    }
    const std::unique_ptr<ssh_key_struct, FreeKey> owned(key);
    char* text = nullptr;
    if (ssh_pki_export_pubkey_base64(key, &text) != SSH_OK) {
        return {};
    }
    const std::unique_ptr<char, FreeText> base64(text);
    return KeyModel::base64Decode(base64.get()).value_or(KeyModel::Bytes{});
}

bool configure(ssh_session session, TcpConnection::Native socket, const std::string& host,
               unsigned port, const std::string& algorithms, std::chrono::microseconds left) {
    int off = 0;
    socket_t fd = socket_t(socket);
    long seconds = long(left.count() / 1000000);
    long microseconds = long(left.count() % 1000000);
    // Messages and the session name the host; its config file, agent and keys are never read.
    return ssh_options_set(session, SSH_OPTIONS_PROCESS_CONFIG, &off) == SSH_OK &&
           ssh_options_set(session, SSH_OPTIONS_HOST, host.c_str()) == SSH_OK &&
           ssh_options_set(session, SSH_OPTIONS_PORT, &port) == SSH_OK &&
           ssh_options_set(session, SSH_OPTIONS_FD, &fd) == SSH_OK &&
           ssh_options_set(session, SSH_OPTIONS_HOSTKEYS, algorithms.c_str()) == SSH_OK &&
           ssh_options_set(session, SSH_OPTIONS_TIMEOUT, &seconds) == SSH_OK &&
           ssh_options_set(session, SSH_OPTIONS_TIMEOUT_USEC, &microseconds) == SSH_OK;
}

// Windows may reset a connection that the server closes as it refuses the key exchange, and
// the reset can overtake the refusal; it is never a server's answer about its key.
bool droppedEarly(const ProbeResult& result) {
    return result.outcome == ProbeResult::Failed && result.reason.rfind("Socket error", 0) == 0;
}

class LibsshProbe : public SshProbe {
public:
    ProbeResult probe(const std::string& host, unsigned port, const std::string& algorithms,
                      std::chrono::milliseconds timeout) override {
        static std::once_flag initialised;
        std::call_once(initialised, [] { ssh_init(); });
        const Clock::time_point deadline = Clock::now() + timeout;
        ProbeResult result = probeOnce(host, port, algorithms, deadline);
        for (int again = 0; again < 2 && droppedEarly(result) && Clock::now() < deadline; ++again) {
            result = probeOnce(host, port, algorithms, deadline);
        }
        return result;
    }

private:
    static ProbeResult probeOnce(const std::string& host, unsigned port,
                                 const std::string& algorithms, Clock::time_point deadline) {
        // Closed after the session is freed, unless libssh has closed it (below).
        TcpConnection connection(host, port, deadline);
        if (!connection.connected()) {
            return {ProbeResult::Unreachable, {}, connection.reason()};
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return {ProbeResult::Unreachable, {}, "connection timed out"};
        }
        const std::unique_ptr<ssh_session_struct, FreeSession> session(ssh_new());
        if (!session) {
            return {ProbeResult::Failed, {}, "out of memory"};
        }
        if (!configure(session.get(), connection.native(), host, port, algorithms, left)) {
            return {ProbeResult::Failed, {}, ssh_get_error(session.get())};
        }
        ProbeResult result;
        if (ssh_connect(session.get()) == SSH_OK) {
            result.outcome = ProbeResult::Proved;
        } else {
            result.reason = ssh_get_error(session.get());
            result.outcome = outcomeOf(result.reason);
        }
        result.key = serverKey(session.get());
        if (result.outcome == ProbeResult::Proved && result.key.empty()) {
            result = {ProbeResult::Failed, {}, "the server's key could not be read"};
        }
        // libssh closes a socket it was given when its connection fails, and in ssh_free unless
        // ssh_disconnect gave it back: closed twice, the number may be another thread's socket.
        if (ssh_get_fd(session.get()) == SSH_INVALID_SOCKET) {
            connection.release();
        } else {
            ssh_disconnect(session.get());
        }
        return result;
    }
};

LibsshProbe libssh;
SshProbe* inForce = nullptr;

} // namespace

SshProbe& sshProbe() {
    return inForce ? *inForce : libssh;
}

SshProbe* setSshProbe(SshProbe* probe) {
    SshProbe* const before = inForce;
    inForce = probe;
    return before;
}

} // namespace hkcache
