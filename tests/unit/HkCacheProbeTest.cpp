// verify and fetch against a fake server: each outcome of the SSH seam gives its result word and
// exit status.
#include "SshProbe.h"

#include "KeyModel/Digest.h"

#include "support/HkCacheRun.h"
#include "support/InMemoryRegistry.h"

#include <gtest/gtest.h>

#include <map>
#include <new>

namespace {

using hkcache::ProbeResult;
using hktest::FingerprintA;
using hktest::FingerprintB;

const KeyModel::Bytes WireA = *KeyModel::base64Decode(hktest::Base64A);
const KeyModel::Bytes WireB = *KeyModel::base64Decode(hktest::Base64B);

// Serves what each port is set to, and an RSA key alone.
struct FakeServers : hkcache::SshProbe {
    std::map<unsigned, ProbeResult> ports;
    ProbeResult probe(const std::string&, unsigned port, const std::string& algorithms,
                      std::chrono::milliseconds) override {
        if (algorithms != "rsa-sha2-512,rsa-sha2-256") {
            return {ProbeResult::NotOffered, {}, "no match"};
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
                     {6, {ProbeResult::Failed, {}, "broken"}}};
    for (unsigned port = 1; port <= 6; ++port) {
        registry.setValue(hktest::CurrentUser, hktest::CachePath,
                          "rsa2@" + std::to_string(port) + ":h", hktest::KeyA);
    }
    registry.setValue(hktest::CurrentUser, hktest::CachePath, "rsa@7:h", hktest::KeyA);
    const std::string a = " " + FingerprintA;
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
        {{"verify", "nothere"}, "", 1},
        {{"fetch", "g:1", "--fingerprint", FingerprintA + "="}, "added rsa2@1:g" + a + "\n", 0},
        {{"fetch", "g:2", "h:5", "--fingerprint", FingerprintA}, "", 1},
        {{"fetch", "h:3", "h:5", "--trust-on-first-use", "--dry-run"}, "", 4},
        {{"fetch", "h:1"}, "", 2},
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

} // namespace
