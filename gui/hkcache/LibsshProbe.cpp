// The SSH seam on libssh: the only file that includes its headers. libssh runs the transport,
// the key exchange and the check of the server's signature; we open the TCP connection
// ourselves (TcpConnection) so that every platform tells refused from timed out.
#include "SshProbe.h"

#include "KeyModel/Digest.h"
#include "PAL/TcpConnection.h"
#include "PAL/UniqueHandle.h"

#include <libssh/callbacks.h>
#include <libssh/libssh.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace hkcache {
namespace {

using Clock = std::chrono::steady_clock;

void endSession(ssh_session session) {
    ssh_disconnect(session);
    ssh_free(session);
}
using Session = PAL::UniquePointer<ssh_session, endSession>;
using Key = PAL::UniquePointer<ssh_key, ssh_key_free>;
using Text = PAL::UniquePointer<char*, ssh_string_free_char>;

// The server's text ends libssh's error message when it disconnects: what went wrong is told by
// how far the key exchange got (libssh's connect status), by who closed the socket, by the clock
// and by what libssh found of the server's key; the message is only shown.
constexpr float KexInitRead = 0.6f;   // the server's algorithm lists read, none yet agreed
constexpr float MethodsAgreed = 0.8f; // every algorithm agreed, the server's key awaited

// The host-key algorithms asked for when the one wanted is not offered, to say what is.
const char* const EveryAlgorithm = "ssh-ed25519,ecdsa-sha2-nistp256,ecdsa-sha2-nistp384,"
                                   "ecdsa-sha2-nistp521,rsa-sha2-512,rsa-sha2-256,ssh-rsa,"
                                   "ssh-dss"; // libssh leaves out what it was built without

// What one connection showed besides libssh's error.
struct Seen {
    float reached = 0;
    // Set when the server's key was not of its signature's type (ssh_keytypes_e).
    int keyType = -1;
    int signatureType = -1;
    std::string offeredType; // of the key proved
};

void statusReached(void* user, float status) {
    Seen& seen = *static_cast<Seen*>(user);
    seen.reached = std::max(seen.reached, status);
}

// libssh 0.10 tells a key that does not fit its signature only in its log, from this function of
// both its crypto back ends: "Incompatible public key provided (<signature's>) expecting
// (<key's>)", the numbers its key types. Its log settings are its caller's thread's own.
void logged(int, const char* function, const char* text, void* user) {
    Seen* const seeing = static_cast<Seen*>(user);
    const char* numbers = text ? std::strchr(text, '(') : nullptr;
    int signature = -1;
    int key = -1;
    if (seeing && function && std::strcmp(function, "pki_signature_from_blob") == 0 && numbers &&
        std::sscanf(numbers, "(%d) expecting (%d)", &signature, &key) == 2) {
        seeing->signatureType = signature;
        seeing->keyType = key;
    }
}

std::string typeName(int type) {
    const char* name = ssh_key_type_to_char(static_cast<enum ssh_keytypes_e>(type));
    return name ? name : "key type " + std::to_string(type);
}

// The key type an algorithm of `algorithms` signs with is `keyType`.
bool offered(const std::string& keyType, const std::string& algorithms) {
    for (std::size_t at = 0; at <= algorithms.size();) {
        std::size_t end = algorithms.find(',', at);
        end = end == std::string::npos ? algorithms.size() : end;
        const std::string algorithm = algorithms.substr(at, end - at);
        if (algorithm == keyType ||
            (keyType == "ssh-rsa" && algorithm.rfind("rsa-sha2-", 0) == 0)) {
            return true;
        }
        at = end + 1;
    }
    return false;
}

// The key the session holds, or none.
struct ServerKey {
    KeyModel::Bytes wire;
    std::string type;
};

ServerKey serverKey(ssh_session session) {
    ssh_key key = nullptr;
    if (ssh_get_server_publickey(session, &key) != SSH_OK) {
        return {};
    }
    const Key owned(key);
    char* text = nullptr;
    if (ssh_pki_export_pubkey_base64(key, &text) != SSH_OK) {
        return {};
    }
    const Text base64(text);
    return {KeyModel::base64Decode(base64.get()).value_or(KeyModel::Bytes{}),
            typeName(ssh_key_type(key))};
}

bool configure(ssh_session session, PAL::TcpConnection::Native socket, const std::string& host,
               unsigned port, const std::string& algorithms, std::chrono::milliseconds left) {
    int off = 0;
    socket_t fd = socket_t(socket);
    long seconds = long(left.count() / 1000);
    long microseconds = long(left.count() % 1000 * 1000);
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
// the reset can overtake the refusal; it is never a server's answer about its key. (libssh's own
// words open its message; a server's text never can.)
bool droppedEarly(const ProbeResult& result) {
    return result.outcome == ProbeResult::Failed && result.reason.rfind("Socket error", 0) == 0;
}

// One connection's result, and how far it got.
struct Attempt {
    ProbeResult result;
    Seen seen;
    bool stoppedAtNegotiation() const {
        return result.outcome == ProbeResult::Failed && seen.reached >= KexInitRead &&
               seen.reached < MethodsAgreed;
    }
};

class LibsshProbe : public SshProbe {
public:
    ProbeResult probe(const std::string& host, unsigned port, const std::string& algorithms,
                      std::chrono::milliseconds timeout) override {
        static std::once_flag initialised;
        std::call_once(initialised, [] { ssh_init(); });
        const Clock::time_point deadline = Clock::now() + timeout;
        Attempt first = attempt(host, port, algorithms, deadline);
        for (int again = 0; again < 2 && droppedEarly(first.result) && Clock::now() < deadline;
             ++again) {
            first = attempt(host, port, algorithms, deadline);
        }
        if (!first.stoppedAtNegotiation()) {
            return first.result;
        }
        // No algorithm agreed: the host key's, when any other type gets further.
        const Attempt any = attempt(host, port, EveryAlgorithm, deadline);
        if (any.seen.reached < MethodsAgreed) {
            return first.result;
        }
        ProbeResult result{ProbeResult::NotOffered, {}, first.result.reason};
        if (any.result.outcome == ProbeResult::Proved) {
            result.reason = "server offers " + any.seen.offeredType + " " +
                            KeyModel::sha256Fingerprint(any.result.key);
        }
        return result;
    }

private:
    static Attempt attempt(const std::string& host, unsigned port, const std::string& algorithms,
                           Clock::time_point deadline) {
        // Closed after the session is freed, unless libssh has closed it (below).
        PAL::TcpConnection connection(host, port, deadline);
        if (!connection.connected()) {
            return {{ProbeResult::Unreachable, {}, connection.reason()}, {}};
        }
        // Rounded up: libssh's own deadline falls no earlier than ours, and its 0 means 10 s.
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return {{ProbeResult::Unreachable, {}, "connection timed out"}, {}};
        }
        // Both outlive the session, which calls back into them.
        Attempt done;
        ssh_callbacks_struct callbacks{};
        callbacks.userdata = &done.seen;
        callbacks.connect_status_function = statusReached;
        ssh_callbacks_init(&callbacks);
        const Session session(ssh_new());
        if (!session) {
            return {{ProbeResult::Failed, {}, "out of memory"}, {}};
        }
        if (!configure(session.get(), connection.native(), host, port, algorithms, left) ||
            ssh_set_callbacks(session.get(), &callbacks) != SSH_OK) {
            done.result = {ProbeResult::Failed, {}, ssh_get_error(session.get())};
            return done;
        }
        ssh_set_log_callback(logged);
        ssh_set_log_userdata(&done.seen);
        ssh_set_log_level(SSH_LOG_WARN);
        const int connected = ssh_connect(session.get());
        ssh_set_log_userdata(nullptr);
        ProbeResult& result = done.result;
        if (connected == SSH_OK) {
            const ServerKey key = serverKey(session.get());
            done.seen.offeredType = key.type;
            if (key.wire.empty()) {
                result = {ProbeResult::Failed, {}, "the server's key could not be read"};
            } else if (!offered(key.type, algorithms)) {
                result = {ProbeResult::Failed,
                          {},
                          "the server sent a key of type " + key.type + " for " + algorithms};
            } else {
                result = {ProbeResult::Proved, key.wire, {}};
            }
        } else {
            result.reason = ssh_get_error(session.get());
            // A server that disconnects, or any error libssh meets before the key exchange
            // ends, has libssh close the socket; a proof it refuses leaves it open.
            const bool libsshClosed = ssh_get_fd(session.get()) == SSH_INVALID_SOCKET;
            if (Clock::now() >= deadline) {
                result = {ProbeResult::Unreachable, {}, "connection timed out"};
            } else if (done.seen.keyType >= 0) {
                result.outcome = ProbeResult::Failed;
                result.reason = "the server sent a key of type " + typeName(done.seen.keyType) +
                                " for " + typeName(done.seen.signatureType);
            } else if (done.seen.reached >= MethodsAgreed && !libsshClosed) {
                result.outcome = ProbeResult::BadProof;
                if (result.reason.empty()) {
                    result.reason = "the server's signature could not be read";
                }
            } else {
                result.outcome = ProbeResult::Failed;
            }
        }
        // libssh closes a socket it was given when its connection fails, and in ssh_free unless
        // ssh_disconnect gave it back: closed twice, the number may be another thread's socket.
        if (ssh_get_fd(session.get()) == SSH_INVALID_SOCKET) {
            connection.release();
        } else {
            ssh_disconnect(session.get());
        }
        return done;
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
