// The store against the real thing: OpenSSH servers on loopback with throwaway host keys, and
// PuTTY's own plink storing, trusting and refusing their keys. Needs openssh-server and
// putty-tools (scripts/install-deps); skipped, saying so, only when the programs are missing.
#include "HostKeyStoreTesting.h"

#include "PAL/Registry.h"

#include "support/ScopedEnv.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <ostream>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

extern char** environ;

namespace {

using PAL::RegistryApi;
using PAL::detail::locateHostKeyFile;
using PAL::detail::PosixHostKeyStore;
using Env = std::vector<std::pair<std::string, std::optional<std::string>>>;

std::string findProgram(const std::string& name) {
    std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
    path += ":/usr/sbin:/usr/bin:/sbin:/bin";
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find(':', start);
        std::string dir = path.substr(start, end == std::string::npos ? end : end - start);
        std::string candidate = dir + "/" + name;
        if (!dir.empty() && dir[0] == '/' && access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    return "";
}

struct Result {
    int exitCode = -1;  // -1: killed or not run
    std::string output; // standard output and standard error together
};

// This process's environment with `changes` applied in order (an empty optional removes a
// variable).
std::vector<std::string> environmentWith(const Env& changes) {
    std::map<std::string, std::optional<std::string>> merged;
    for (char** e = environ; *e; ++e) {
        std::string var = *e;
        std::size_t equals = var.find('=');
        merged[var.substr(0, equals)] = var.substr(equals + 1);
    }
    for (const auto& change : changes) {
        merged[change.first] = change.second;
    }
    std::vector<std::string> vars;
    for (const auto& var : merged) {
        if (var.second) {
            vars.push_back(var.first + "=" + *var.second);
        }
    }
    return vars;
}

// Runs a program in a session of its own (no terminal: plink's questions come from standard
// input), feeding it `input`; killed after `timeout`.
Result run(const std::vector<std::string>& argv, const Env& env = {}, const std::string& input = "",
           std::chrono::seconds timeout = std::chrono::seconds(30)) {
    Result result;
    int in[2];
    int out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
        return result;
    }
    std::vector<std::string> vars = environmentWith(env);
    std::vector<char*> args;
    for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& v : vars) {
        envp.push_back(v.data());
    }
    envp.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        setsid();
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(out[1], 2);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    if (!input.empty()) {
        (void)!write(in[1], input.data(), input.size());
    }
    close(in[1]);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    char buffer[4096];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        pollfd p{out[0], POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) {
            kill(pid, SIGKILL);
            break;
        }
        ssize_t n = read(out[0], buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        result.output.append(buffer, static_cast<std::size_t>(n));
    }
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) {
        result.exitCode = WEXITSTATUS(status);
    }
    return result;
}

int freePort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    close(fd);
    return port;
}

bool listening(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

// One sshd on 127.0.0.1 with a host key of its own, run in the foreground and stopped by its
// pid.
class Sshd {
public:
    Sshd(const std::string& sshd, const std::string& keygen, const hktest::TempDir& dir,
         const std::string& name) {
        std::string key = dir.file(name + "_host_ed25519");
        if (run({keygen, "-q", "-t", "ed25519", "-N", "", "-f", key}).exitCode != 0) {
            return;
        }
        for (int tries = 0; tries < 5 && pid <= 0; ++tries) {
            port = freePort();
            std::string config = dir.file(name + "_sshd_config");
            std::ofstream(config) << "Port " << port << "\nListenAddress 127.0.0.1\nHostKey " << key
                                  << "\nPidFile " << dir.file(name + ".pid")
                                  << "\nUsePAM no\nStrictModes no\nAuthorizedKeysFile "
                                  << dir.file("authorized_keys")
                                  << "\nPasswordAuthentication no\n"
                                     "KbdInteractiveAuthentication no\n"
                                     "PermitRootLogin prohibit-password\n";
            start(sshd, config, dir.file(name + ".log"));
        }
    }
    ~Sshd() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
    Sshd(const Sshd&) = delete;
    Sshd& operator=(const Sshd&) = delete;

    bool running() const { return pid > 0; }
    std::string portText() const { return std::to_string(port); }

private:
    void start(const std::string& sshd, const std::string& config, const std::string& log) {
        pid_t child = fork();
        if (child == 0) {
            setsid();
            int null = open("/dev/null", O_RDWR);
            dup2(null, 0);
            dup2(null, 1);
            dup2(null, 2);
            execl(sshd.c_str(), sshd.c_str(), "-D", "-f", config.c_str(), "-E", log.c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 200; ++i) {
            if (listening(port)) {
                pid = child;
                return;
            }
            if (waitpid(child, nullptr, WNOHANG) == child) {
                return; // it gave up (the port was taken meanwhile, say)
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }

    int port = 0;
    pid_t pid = -1;
};

std::string userName() {
    passwd* entry = getpwuid(geteuid());
    return entry ? entry->pw_name : "root";
}

class PuttyClient : public ::testing::Test {
protected:
    void SetUp() override {
        std::string missing;
        for (auto* program : {&plink, &puttygen, &sshd, &keygen}) {
            if (program->empty()) {
                missing += " " + std::string(program == &plink      ? "plink"
                                             : program == &puttygen ? "puttygen"
                                             : program == &sshd     ? "sshd"
                                                                    : "ssh-keygen");
            }
        }
        if (!missing.empty()) {
            GTEST_SKIP() << "not installed:" << missing
                         << " (scripts/install-deps installs openssh-server and putty-tools)";
        }
        // sshd run as root wants its privilege separation directory.
        if (geteuid() == 0) {
            mkdir("/run/sshd", 0755);
        }
        std::filesystem::create_directory(dir.path() / "home");
        // The client key, and its public half as the only authorised key.
        const Env toolEnv = {{"HOME", dir.file("home")}, {"PUTTYDIR", dir.file("keys")}};
        ASSERT_EQ(0, run({puttygen, "-q", "-t", "ed25519", "-o", clientKey, "--random-device",
                          "/dev/urandom", "--new-passphrase", "/dev/null"},
                         toolEnv)
                         .exitCode);
        ASSERT_EQ(
            0, run({puttygen, clientKey, "-O", "public-openssh", "-o", dir.file("authorized_keys")},
                   toolEnv)
                   .exitCode);
        first = std::make_unique<Sshd>(sshd, keygen, dir, "first");
        second = std::make_unique<Sshd>(sshd, keygen, dir, "second");
        ASSERT_TRUE(first->running() && second->running())
            << "sshd did not start; see " << dir.file("first.log");
    }

    // plink logging in to one of the servers and running `echo ok`; "y" answers its question
    // whether to store an unknown key.
    Result plinkTo(const Sshd& server, const Env& env, bool batch, const std::string& answer) {
        std::vector<std::string> argv = {plink};
        if (batch) {
            argv.push_back("-batch");
        }
        for (const char* a : {"-P", "", "-i", "", "-l", "", "127.0.0.1", "echo", "ok"}) {
            argv.push_back(a);
        }
        argv[argv.size() - 8] = server.portText();
        argv[argv.size() - 6] = clientKey;
        argv[argv.size() - 4] = userName();
        Env all = {{"HOME", dir.file("home")},
                   {"PUTTYDIR", std::nullopt},
                   {"PUTTYSSHHOSTKEYS", std::nullopt},
                   {"XDG_CONFIG_HOME", std::nullopt}};
        for (const auto& change : env) {
            all.push_back(change);
        }
        return run(argv, all, answer);
    }

    std::string plink = findProgram("plink");
    std::string puttygen = findProgram("puttygen");
    std::string sshd = findProgram("sshd");
    std::string keygen = findProgram("ssh-keygen");
    hktest::TempDir dir;
    std::string clientKey = dir.file("client.ppk");
    std::unique_ptr<Sshd> first;
    std::unique_ptr<Sshd> second;
};

TEST_F(PuttyClient, ADeletedKeyIsUnknownToPlinkAndTheOtherStillTrusted) {
    const std::string puttyDir = dir.file("putty");
    const Env env = {{"PUTTYDIR", puttyDir}};
    // plink stores both servers' keys.
    for (const Sshd* server : {first.get(), second.get()}) {
        Result stored = plinkTo(*server, env, false, "y\n");
        ASSERT_EQ(0, stored.exitCode) << stored.output;
        ASSERT_NE(std::string::npos, stored.output.find("ok")) << stored.output;
    }
    const std::string firstName = "ssh-ed25519@" + first->portText() + ":127.0.0.1";
    const std::string secondName = "ssh-ed25519@" + second->portText() + ":127.0.0.1";
    const std::string before = hktest::readFile(puttyDir + "/sshhostkeys");

    // The current user's cache, opened as hkprune opens it (on the native builds' own backend),
    // is the file plink wrote, with exactly plink's names.
    hktest::ScopedEnv dirVar("PUTTYDIR", puttyDir);
    hktest::ScopedEnv noKeys("PUTTYSSHHOSTKEYS", std::nullopt);
    hktest::nameTheCache();
    {
        PAL::RegistryKey cache(PAL::currentUserCache());
        ASSERT_EQ((std::vector<std::string>{firstName, secondName}), cache.getValueNames())
            << before;
        ASSERT_EQ(RegistryApi::Success, cache.deleteValue(firstName));
        EXPECT_EQ(std::vector<std::string>{secondName}, cache.getValueNames());
    }

    // plink now refuses the first server as unknown and still trusts the second.
    Result refused = plinkTo(*first, env, true, "");
    EXPECT_NE(0, refused.exitCode) << refused.output;
    EXPECT_NE(std::string::npos, refused.output.find("host key is not cached")) << refused.output;
    EXPECT_EQ(std::string::npos, refused.output.find("ok\n")) << refused.output;
    Result trusted = plinkTo(*second, env, true, "");
    EXPECT_EQ(0, trusted.exitCode) << trusted.output;
    EXPECT_EQ("ok\n", trusted.output);
    // The second line is untouched, byte for byte.
    EXPECT_EQ(before.substr(before.find(secondName)), hktest::readFile(puttyDir + "/sshhostkeys"));
}

struct PlaceRow {
    const char* what;
    std::vector<std::string> dirs;                         // made below the test's directory first
    std::vector<std::pair<const char*, const char*>> vars; // name, value below the directory
};

void PrintTo(const PlaceRow& row, std::ostream* out) {
    *out << row.what;
}

class PuttyPlaces : public PuttyClient, public ::testing::WithParamInterface<PlaceRow> {};

// The store looks for the file where plink stores it. Each place is found before the user's
// real home would be looked at, so plink never writes outside the test's directory.
TEST_P(PuttyPlaces, TheStoreFindsTheFileWherePlinkPutsIt) {
    const PlaceRow& row = GetParam();
    for (const std::string& d : row.dirs) {
        std::filesystem::create_directories(dir.path() / d);
    }
    Env env;
    std::vector<std::unique_ptr<hktest::ScopedEnv>> scoped;
    for (const char* name : {"HOME", "PUTTYDIR", "PUTTYSSHHOSTKEYS", "XDG_CONFIG_HOME"}) {
        // A home of the test's own unless the row names one: plink keeps its random seed
        // there whatever the host-key file.
        std::optional<std::string> value;
        if (std::strcmp(name, "HOME") == 0) {
            value = dir.file("home");
        }
        for (const auto& var : row.vars) {
            if (std::strcmp(var.first, name) == 0) {
                value = dir.file(var.second);
            }
        }
        env.push_back({name, value});
        scoped.push_back(std::make_unique<hktest::ScopedEnv>(name, value));
    }
    Result stored = plinkTo(*first, env, false, "y\n");
    ASSERT_EQ(0, stored.exitCode) << stored.output;
    const std::string located = locateHostKeyFile();
    EXPECT_EQ(0u,
              hktest::readFile(located).find("ssh-ed25519@" + first->portText() + ":127.0.0.1 0x"))
        << row.what << ": nothing stored at " << located;
    PosixHostKeyStore store;
    EXPECT_EQ(1u, hktest::listNames(store).size()) << row.what;
}

INSTANTIATE_TEST_SUITE_P(
    Places, PuttyPlaces,
    ::testing::Values(
        PlaceRow{"PUTTYSSHHOSTKEYS", {"elsewhere"}, {{"PUTTYSSHHOSTKEYS", "elsewhere/keys"}}},
        PlaceRow{"PUTTYDIR", {"pd"}, {{"PUTTYDIR", "pd"}, {"HOME", "h"}}},
        PlaceRow{
            "~/.config/putty before ~/.putty", {"h/.config/putty", "h/.putty"}, {{"HOME", "h"}}},
        PlaceRow{"~/.putty", {"h/.putty"}, {{"HOME", "h"}}},
        PlaceRow{"XDG_CONFIG_HOME/putty",
                 {"x/putty", "h/.putty"},
                 {{"HOME", "h"}, {"XDG_CONFIG_HOME", "x"}}},
        PlaceRow{"not ~/.config with XDG_CONFIG_HOME set",
                 {"x", "h/.config/putty", "h/.putty"},
                 {{"HOME", "h"}, {"XDG_CONFIG_HOME", "x"}}}));

} // namespace
