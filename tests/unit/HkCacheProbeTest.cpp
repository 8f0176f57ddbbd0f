// verify and fetch against a fake server: each outcome of the SSH seam gives its result word and
// exit status.
#include "SshProbe.h"

#include "KeyModel/Digest.h"
#include "PAL/ParallelRuns.h"
#include "PAL/TcpConnection.h"

#include "support/HkCacheRun.h"
#include "support/InMemoryRegistry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <new>
#include <system_error>
#include <thread>

namespace {

using hkcache::ProbeResult;
using hktest::FingerprintA;
using hktest::FingerprintB;

const KeyModel::Bytes WireA = *KeyModel::base64Decode(hktest::Base64A);
const KeyModel::Bytes WireB = *KeyModel::base64Decode(hktest::Base64B);

// Serves what each port is set to for RSA, and for the other types what `others` holds.
struct FakeServers : hkcache::SshProbe {
    std::map<unsigned, ProbeResult> ports;
    std::map<unsigned, ProbeResult> others;
    std::atomic<int> calls{0};
    ProbeResult probe(const std::string&, unsigned port, const std::string& algorithms,
                      std::chrono::milliseconds) override {
        ++calls;
        if (algorithms != "rsa-sha2-512,rsa-sha2-256") {
            return others.count(port) ? others.at(port)
                                      : ProbeResult{ProbeResult::NotOffered, {}, "no match"};
        }
        return ports.at(port);
    }
};

TEST(HkCacheProbeTest, EachOutcomeHasItsWordAndStatus) {
    hktest::InMemoryRegistry registry;
    const hktest::ScopedRegistryApi inForce(registry);
    FakeServers servers;
    hkcache::setSshProbe(&servers);
    servers.ports = {{1, {ProbeResult::Proved, WireA, ""}},
                     {2, {ProbeResult::Proved, WireB, ""}},
                     {3, {ProbeResult::BadProof, WireA, "bad signature"}},
                     {4, {ProbeResult::NotOffered, {}, "no match"}},
                     {5, {ProbeResult::Unreachable, {}, "refused"}},
                     {6, {ProbeResult::Failed, {}, "broken"}},
                     {8, {ProbeResult::Proved, WireA, ""}}};
    servers.others = {{8, {ProbeResult::BadProof, WireB, "bad signature"}}};
    for (unsigned port = 1; port <= 6; ++port) {
        registry.setValue(hktest::CurrentUser, hktest::CachePath,
                          "rsa2@" + std::to_string(port) + ":h", hktest::KeyA);
    }
    registry.setValue(hktest::CurrentUser, hktest::CachePath, "rsa@7:h", hktest::KeyA);
    const std::string a = " " + FingerprintA;
    std::string cache; // in JSON
    for (char c : hktest::currentCacheName()) {
        cache += c == '\\' ? "\\\\" : std::string(1, c);
    }
    struct Row {
        std::vector<std::string> args;
        std::string out;
        int status;
    };
    const Row rows[] = {
        {{"verify", "-p", "1"}, "match rsa2@1:h" + a + "\n", 0},
        {{"verify", "-p", "2"}, "MISMATCH rsa2@2:h" + a + " -> " + FingerprintB + "\n", 3},
        // Whatever key it showed, a server that could not sign is never a match.
        {{"verify", "-p", "3"},
         "BAD PROOF rsa2@3:h" + a + " -> " + FingerprintA + " (bad signature)\n",
         3},
        {{"verify", "-p", "4"}, "not offered rsa2@4:h" + a + " (no match)\n", 4},
        {{"verify", "-p", "5"}, "unreachable rsa2@5:h" + a + " (refused)\n", 4},
        {{"verify", "-p", "6"}, "failed rsa2@6:h" + a + " (broken)\n", 4},
        {{"verify", "-p", "7"}, "not checked rsa@7:h - (an SSH-1 key)\n", 4},
        {{"verify", "-p", "2", "-f", "jsonl"},
         "{\"cache\":\"" + cache +
             "\",\"name\":\"rsa2@2:h\",\"host\":\"h\",\"port\":2,\"type\":\"rsa2\","
             "\"result\":\"MISMATCH\",\"fingerprint\":\"" +
             FingerprintA + "\",\"server_fingerprint\":\"" + FingerprintB + "\",\"reason\":null}\n",
         3},
        {{"verify", "nothere"}, "", 1},
        {{"fetch", "g:1", "--fingerprint", FingerprintA + "="}, "added rsa2@1:g" + a + "\n", 0},
        {{"fetch", "g:2", "h:5", "--fingerprint", FingerprintA}, "", 1},
        {{"fetch", "h:3", "h:5", "--trust-on-first-use", "--dry-run"}, "", 4},
        {{"fetch", "h:1"}, "", 2},
        {{"verify", "-p", "1", "--timeout", "NaN"}, "", 2},
        // Refused as import refuses it, before any server is asked.
        {{"fetch", "a b:1", "--fingerprint", FingerprintA}, "", 2},
        // The RSA key is stored; the types whose proof failed still count.
        {{"fetch", "g:8", "--fingerprint", FingerprintA}, "added rsa2@8:g" + a + "\n", 4},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.args.at(0) + " " + row.args.at(1));
        const hktest::Outcome result = hktest::runHkCacheWith(row.args);
        EXPECT_EQ(row.out, result.out) << result.err;
        EXPECT_EQ(row.status, result.status) << result.err;
    }
    EXPECT_EQ(0u, hktest::runHkCacheWith({"verify", "nothere"})
                      .err.rfind("hkcache: no cached key for nothere in ", 0));
    EXPECT_EQ(3, hktest::runHkCacheWith({"verify", "-j", "3"}).status);
    hkcache::setSshProbe(nullptr);
}

// A name service that does not answer is given up on at the deadline, fractions included.
TEST(HkCacheProbeTest, ANameNotResolvedInTimeIsUnreachable) {
    hktest::InMemoryRegistry registry;
    const hktest::ScopedRegistryApi inForce(registry);
    registry.setValue(hktest::CurrentUser, hktest::CachePath, "rsa2@22:slow.test", hktest::KeyA);
    PAL::setResolver([](const std::string&, unsigned) {
        std::this_thread::sleep_for(std::chrono::seconds(2));
        return PAL::Resolved{{}, "answered late"};
    });
    const hktest::Outcome result = hktest::runHkCacheWith({"verify", "--timeout", "0.3"});
    PAL::setResolver(nullptr);
    EXPECT_EQ("unreachable rsa2@22:slow.test " + FingerprintA + " (name lookup timed out)\n",
              result.out);
}

// Out of memory in a probe's thread ends the run with its message, never the process.
TEST(HkCacheProbeTest, AThrowInAProbeThreadEndsTheRun) {
    hktest::InMemoryRegistry registry;
    const hktest::ScopedRegistryApi inForce(registry);
    struct Throws : hkcache::SshProbe {
        ProbeResult probe(const std::string&, unsigned, const std::string&,
                          std::chrono::milliseconds) override {
            throw std::bad_alloc();
        }
    } servers;
    hkcache::setSshProbe(&servers);
    for (const char* name : {"rsa2@1:t", "rsa2@2:t", "rsa2@3:t"}) {
        registry.setValue(hktest::CurrentUser, hktest::CachePath, name, hktest::KeyA);
    }
    const hktest::Outcome result = hktest::runHkCacheWith({"verify", "-j", "3"});
    EXPECT_EQ(2, result.status);
    EXPECT_EQ("hkcache: out of memory\n", result.err);
    hkcache::setSshProbe(nullptr);
}

// A thread that cannot be started ends the run as out of memory, once the started ones have
// joined: never in std::terminate.
TEST(HkCacheProbeTest, AThreadThatCannotBeStartedEndsTheRun) {
    hktest::InMemoryRegistry registry;
    const hktest::ScopedRegistryApi inForce(registry);
    FakeServers servers;
    hkcache::setSshProbe(&servers);
    for (const char* host : {"a", "b", "c"}) {
        registry.setValue(hktest::CurrentUser, hktest::CachePath, std::string("rsa2@1:") + host,
                          hktest::KeyA);
    }
    servers.ports = {{1, {ProbeResult::Proved, WireA, ""}}};
    static int starts;
    static bool outOfMemory;
    PAL::setThreadStarter([](std::function<void()> work) {
        if (++starts == 2) {
            outOfMemory ? throw std::bad_alloc()
                        : throw std::system_error(
                              std::make_error_code(std::errc::resource_unavailable_try_again));
        }
        return std::thread(std::move(work));
    });
    for (bool each : {false, true}) {
        starts = 0;
        outOfMemory = each;
        const hktest::Outcome result = hktest::runHkCacheWith({"verify", "-j", "3"});
        EXPECT_EQ(2, result.status);
        EXPECT_EQ("hkcache: out of memory\n", result.err);
    }
    PAL::setThreadStarter(nullptr);
    hkcache::setSshProbe(nullptr);
}

// The same host, port and key type cached by two users is asked for once; each cached key is
// compared with what it proved.
TEST(HkCacheProbeTest, AKeyInSeveralCachesIsProbedOnce) {
    if (!hkcache::hostsEscaped()) {
        GTEST_SKIP() << "every user's cache is a file of theirs on POSIX";
    }
    hktest::InMemoryRegistry registry;
    const hktest::ScopedRegistryApi inForce(registry);
    FakeServers servers;
    hkcache::setSshProbe(&servers);
    servers.ports = {{1, {ProbeResult::Proved, WireA, ""}}};
    const std::string sid = "S-1-5-21-0-0-0-1000";
    registry.setValue(hktest::Users, ".DEFAULT\\" + hktest::CachePath, "rsa2@1:h", hktest::KeyA);
    registry.setValue(hktest::Users, sid + "\\" + hktest::CachePath, "rsa2@1:h", hktest::KeyB);
    const hktest::Outcome result = hktest::runHkCacheWith({"verify", "--cache", "all"});
    EXPECT_EQ(1, servers.calls);
    EXPECT_EQ("HKEY_USERS\\.DEFAULT\\" + hktest::CachePath + ": match rsa2@1:h " + FingerprintA +
                  "\nHKEY_USERS\\" + sid + "\\" + hktest::CachePath + ": MISMATCH rsa2@1:h " +
                  FingerprintB + " -> " + FingerprintA + "\n",
              result.out);
    hkcache::setSshProbe(nullptr);
}

} // namespace
