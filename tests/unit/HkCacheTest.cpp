// hkcache in-process on the in-memory registry: arguments in, standard output, standard error
// and the exit status out.
#include "HkCache.h"
#include "Caches.h"
#include "ExitStatus.h"

#include "support/HkCacheRun.h"
#include "support/InMemoryRegistry.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

using hktest::InMemoryRegistry;

using hktest::Base64A;
using hktest::CachePath;
using hktest::CurrentUser;
using hktest::FingerprintA;
using hktest::FingerprintB;
using hktest::KeyA;
using hktest::KeyB;
using hktest::Outcome;
using hktest::Users;

// .reg text as reg export writes it.
std::string utf16(const std::string& ascii) {
    std::string out = "\xff\xfe";
    for (const char c : ascii) {
        out.append(1, c).append(1, '\0');
    }
    return out;
}

class HkCacheTest : public testing::Test {
protected:
    HkCacheTest() : inForce(registry) {}

    void set(const std::string& name, const std::string& data) {
        registry.setValue(CurrentUser, CachePath, name, data);
    }

    void seed() {
        set("rsa2@22:host1", KeyA);
        set("rsa2@2222:host1", KeyB);
        set("rsa@22:old", KeyA);
        set("ssh-ed25519@22:broken", "0xzz");
        set("rsa2@22:::1", KeyA);
    }

    Outcome run(const std::vector<std::string>& args) { return hktest::runHkCacheWith(args); }

    static std::string currentName() { return hktest::currentCacheName(); }

    InMemoryRegistry registry;
    hktest::ScopedRegistryApi inForce;
};

TEST_F(HkCacheTest, EachFormatListsTheCacheAndWarnsOncePerKeyItCannotShow) {
    seed();
    set("rsa2@22:t\x1b]0;x\x07", KeyA); // would retitle a terminal
    struct Row {
        const char* format;
        std::string out;
        std::vector<std::string> warnedAbout;
    };
    const Row rows[] = {
        // Fingerprints as ssh-keygen -l prints them; SSH-1 has none, unreadable data no size.
        {"text",
         "rsa2@22:host1 rsa2 8 " + FingerprintA + "\nrsa2@2222:host1 rsa2 16 " + FingerprintB +
             "\nrsa@22:old rsa 8 -\nssh-ed25519@22:broken ssh-ed25519 - -\nrsa2@22:::1 rsa2 8 " +
             FingerprintA + "\nrsa2@22:t\\x1b]0;x\\x07 rsa2 8 " + FingerprintA + "\n",
         {"ssh-ed25519@22:broken"}},
        // OpenSSH's host forms; SSH-1 and unreadable keys are left out.
        {"known_hosts",
         "host1 ssh-rsa " + Base64A +
             "\n[host1]:2222 ssh-rsa AAAAB3NzaC1yc2EAAAADAQABAAAAAwDR5Q==\n::1 ssh-rsa " + Base64A +
             "\n",
         {"rsa@22:old", "ssh-ed25519@22:broken", "rsa2@22:t\\x1b]0;x\\x07"}},
        // PuTTY's own lines: the data as stored, nothing parsed.
        {"putty",
         "rsa2@22:host1 " + KeyA + "\nrsa2@2222:host1 " + KeyB + "\nrsa@22:old " + KeyA +
             "\nssh-ed25519@22:broken 0xzz\nrsa2@22:::1 " + KeyA + "\nrsa2@22:t\x1b]0;x\x07 " +
             KeyA + "\n",
         {}},
        // What reg export writes, PuTTY for Windows' names (escaped from PuTTY for Unix's);
        // a name that PuTTY for Windows would not have stored is left out.
        {"reg",
         utf16("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\" + CachePath +
               "]\r\n\"rsa2@22:host1\"=\"" + KeyA + "\"\r\n\"rsa2@2222:host1\"=\"" + KeyB +
               "\"\r\n\"rsa@22:old\"=\"" + KeyA + "\"\r\n\"ssh-ed25519@22:broken\"=\"0xzz\"\r\n" +
               "\"rsa2@22:::1\"=\"" + KeyA + "\"\r\n" +
               (hkcache::hostsEscaped() ? "" : "\"rsa2@22:t%1B]0;x%07\"=\"" + KeyA + "\"\r\n") +
               "\r\n"),
         hkcache::hostsEscaped() ? std::vector<std::string>{"rsa2@22:t\\x1b]0;x\\x07"}
                                 : std::vector<std::string>{}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.format);
        const Outcome result = run({"list", "--format", row.format});
        EXPECT_EQ(0, result.status);
        EXPECT_EQ(row.out, result.out);
        std::size_t lines = 0;
        for (const std::string& name : row.warnedAbout) {
            EXPECT_NE(std::string::npos,
                      result.err.find("hkcache: warning: " + currentName() + ": " + name + ": "))
                << result.err;
        }
        for (char c : result.err) {
            lines += c == '\n';
        }
        EXPECT_EQ(row.warnedAbout.size(), lines) << result.err;
    }
}

TEST_F(HkCacheTest, JsonHasEveryFieldAndStaysUtf8) {
    set("rsa2@22:h\xe9st\xc2\x9b\xe2\x80\xae\xc3\xa9", KeyA);
    set("rsa@22:old", KeyA);
    const Outcome result = run({"list", "-f", "json"});
    EXPECT_EQ(0, result.status);
    // A byte that is not UTF-8 becomes U+FFFD; CSI and a bidi override, JSON escapes.
    std::string cache = "\"cache\":\"";
    for (char c : currentName()) {
        cache += c == '\\' ? "\\\\" : std::string(1, c); // a registry path's backslashes
    }
    cache += "\"";
    EXPECT_EQ("{\"keys\": [\n  {" + cache +
                  ",\"name\":\"rsa2@22:h\xef\xbf\xbdst\\u009b\\u202e\xc3\xa9\","
                  "\"host\":\"h\xef\xbf\xbdst\\u009b\\u202e\xc3\xa9\","
                  "\"port\":22,\"type\":\"rsa2\",\"openssh_type\":\"ssh-rsa\",\"bits\":8,"
                  "\"fingerprint\":\"" +
                  FingerprintA + "\",\"key\":\"" + Base64A + "\"},\n  {" + cache +
                  ",\"name\":\"rsa@22:old\",\"host\":\"old\",\"port\":22,\"type\":\"rsa\","
                  "\"openssh_type\":null,\"bits\":8,\"fingerprint\":null,\"key\":null}\n]}\n",
              result.out);
    EXPECT_EQ("{\"keys\": []}\n", run({"list", "-f", "json", "nothere"}).out);
}

TEST_F(HkCacheTest, FiltersPickKeysByHostTypeAndPort) {
    seed();
    set("rsa2@22:[fe80::1]", KeyA);
    set("dss@22:host2", "0x1,0x2,0x3,0x4");
    struct Row {
        std::vector<std::string> args;
        std::string names; // listed, in order
    };
    const Row rows[] = {
        {{"host1"}, "rsa2@22:host1 rsa2@2222:host1"},
        {{"host1:2222"}, "rsa2@2222:host1"},
        {{"[host1]:22"}, "rsa2@22:host1"},
        {{"host1", "-p", "22"}, "rsa2@22:host1"},
        {{"host1", "old"}, "rsa2@22:host1 rsa2@2222:host1 rsa@22:old"},
        // IPv6 with or without brackets, and a port after brackets.
        {{"::1"}, "rsa2@22:::1"},
        {{"[::1]"}, "rsa2@22:::1"},
        {{"[::1]:22"}, "rsa2@22:::1"},
        {{"fe80::1"}, "rsa2@22:[fe80::1]"},
        // A user before the host, as plink and ssh take it.
        {{"a@b@host1:2222", "u@[::1]:22"}, "rsa2@2222:host1 rsa2@22:::1"},
        // PuTTY's type names, OpenSSH's and ssh-keygen's for the same types.
        {{"-t", "rsa"}, "rsa2@22:host1 rsa2@2222:host1 rsa2@22:::1 rsa2@22:[fe80::1]"},
        {{"-t", "rsa1"}, "rsa@22:old"},
        {{"--fingerprint", FingerprintB + "="}, "rsa2@2222:host1"},
        {{"-t", "ssh-rsa"}, "rsa2@22:host1 rsa2@2222:host1 rsa2@22:::1 rsa2@22:[fe80::1]"},
        {{"-t", "ssh-dss"}, "dss@22:host2"},
        {{"--port", "2222"}, "rsa2@2222:host1"},
    };
    for (const Row& row : rows) {
        std::vector<std::string> args = {"list", "-f", "putty"};
        args.insert(args.end(), row.args.begin(), row.args.end());
        SCOPED_TRACE(row.names);
        const Outcome result = run(args);
        std::string names;
        std::istringstream lines(result.out);
        for (std::string line; std::getline(lines, line);) {
            names += (names.empty() ? "" : " ") + line.substr(0, line.find(' '));
        }
        EXPECT_EQ(row.names, names);
        EXPECT_EQ(0, result.status);
    }
}

TEST_F(HkCacheTest, HostsMatchAsTypedWithThePlatformsCaseAndEscapes) {
    set("rsa2@22:My%20Host", KeyA);
    const bool escaped = hkcache::hostsEscaped();
    const bool folded = hkcache::namesIgnoreCase();
    EXPECT_EQ(escaped ? 0 : 1, run({"list", "My Host"}).status);
    EXPECT_EQ(escaped ? 1 : 0, run({"list", "My%20Host"}).status);
    EXPECT_EQ(escaped && folded ? 0 : 1, run({"list", "my host"}).status);
    EXPECT_EQ(folded ? 0 : 1, run({"list", "-t", "RSA2"}).status);
    // The stored name is kept in every output that names the value.
    EXPECT_EQ("rsa2@22:My%20Host " + KeyA + "\n", run({"list", "-f", "putty"}).out);
}

TEST_F(HkCacheTest, ExitStatusTellsListedFromNothingFromFailure) {
    seed();
    struct Row {
        std::vector<std::string> args;
        int status;
        bool errorLine; // one line on standard error, nothing on standard output
    };
    const Row rows[] = {
        {{"list", "host1"}, 0, false},
        {{"list", "nothere"}, 1, true},
        {{"list", "-t", "ssh-ed448"}, 1, true},
        {{"--version"}, 0, false},
        {{"--help"}, 0, false},
        {{"list", "--help"}, 0, false},
        {{}, 2, true},
        {{"remove"}, 2, true},
        {{"list", "--format", "xml"}, 2, true},
        {{"list", "--format", "x\ny"}, 2, true},
        {{"list", "--port", "0"}, 2, true},
        {{"list", "--port", "65536"}, 2, true},
        {{"list", "--port", "65535"}, 1, true},
        {{"list", "[host1]:65535"}, 1, true},
        {{"list", "host1:65536"}, 2, true},
        {{"list", "--cache", "everyone"}, 2, true},
        {{"list", "--cache", "user:"}, 2, true},
        {{"list", "host:x"}, 2, true},
        {{"list", "[::1"}, 2, true},
        {{"list", "--bogus"}, 2, true},
        {{"list", "--fingerprint", "SHA256:eMsoZyguUYCtJvhRxf7XNPwYCCInRGmHMmIJ7dTYXL"}, 2, true},
        {{"remove", "host1", "--backup", "x", "--no-backup"}, 2, true},
        {{"remove", "host:x"}, 2, true},
        {{"import", "--format", "xml"}, 2, true},
        {{"import", "--host", "[host1"}, 2, true},
        {{"import", "--host", "a\nb", "/dev/null"}, 2, true},
        {{"import", "--host", "a b", "--dry-run", "/dev/null"}, 2, true},
    };
    for (const Row& row : rows) {
        std::string joined;
        for (const std::string& arg : row.args) {
            joined += arg + " ";
        }
        SCOPED_TRACE(joined);
        const Outcome result = run(row.args);
        EXPECT_EQ(row.status, result.status);
        if (row.errorLine) {
            EXPECT_EQ(0u, result.err.rfind("hkcache: ", 0)) << result.err;
            EXPECT_EQ(result.err.size() - 1, result.err.find('\n')) << result.err;
            EXPECT_EQ("", result.out);
        } else {
            EXPECT_EQ("", result.err);
        }
    }
    EXPECT_EQ("hkcache 1.0.0\n", run({"--version"}).out);
}

TEST_F(HkCacheTest, CompletionAnswersFromTheCommandsDefinitions) {
    const struct {
        std::vector<std::string> words;
        std::string out;
    } rows[] = {
        {{"--complete", "re"}, "remove\nrestore\n"}, // the hidden ansible command is not offered
        {{"--complete", "verify", "-f", "j"}, "json\njsonl\n"},
        {{"--complete", "import", "--format", "=", ""}, "known_hosts\nputty\nreg\n"},
        {{"--complete", "fetch", "--type", "ssh-e"}, "ssh-ed25519\nssh-ed448\n"},
        {{"--complete", "remove", "-c", ""}, "current\ndefault\nall\nuser:\n"},
        {{"--complete", "remove", "-c", "user:r"}, ":users\n"},
        {{"--complete", "remove", "--backup", ""}, ":files\n"},
        {{"--complete", "list", "-p", "22", ""}, ":hosts\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.words[1] + " " + row.words.back());
        EXPECT_EQ(row.out, run(row.words).out);
    }
}

// The manual's EXIT STATUS section against the program: every code it names is a status's,
// each status's words stand under its code alone, and fetch's order is worse()'s.
TEST(HkCacheManualTest, ExitStatusSectionAgreesWithTheStatuses) {
    using hkcache::ExitStatus;
    std::ifstream manual(HKCACHE_MANUAL);
    ASSERT_TRUE(manual) << HKCACHE_MANUAL;
    // Its paragraphs: a ".TP" entry's code (".B 2"), -1 for a ".PP"; the text, fonts dropped.
    std::vector<std::pair<int, std::string>> entries;
    std::string all;
    bool inSection = false;
    for (std::string line; std::getline(manual, line);) {
        if (line.rfind(".SH", 0) == 0) {
            inSection = line == ".SH \"EXIT STATUS\"";
        } else if (inSection && (line == ".TP" || line == ".PP")) {
            entries.emplace_back(line == ".TP" ? -2 : -1, "");
        } else if (inSection && !entries.empty() && entries.back().first == -2) {
            entries.back().first = std::stoi(line.substr(line.find(' ')));
            const int* const codes = std::begin(hkcache::ExitCodes);
            EXPECT_TRUE(std::count(codes, std::end(hkcache::ExitCodes), entries.back().first))
                << line;
        } else if (inSection && !entries.empty()) {
            const std::size_t request = line[0] == '.' ? line.find(' ') + 1 : 0;
            const std::string text =
                std::regex_replace(line.substr(request), std::regex("[\"\\\\]"), "") + " ";
            entries.back().second += text;
            all += text;
        }
    }
    // "#": the code, written in the text before the words.
    const std::pair<ExitStatus, std::string> words[] = {
        {ExitStatus::Listed, "at least one key listed"},
        {ExitStatus::Done, "at least one key removed"},
        {ExitStatus::Unchecked, "could not be checked"},
        {ExitStatus::NothingToImport, "no key to import"},
        {ExitStatus::Conflict, "conflict"},
        {ExitStatus::NothingMatched, "nothing matched"},
        {ExitStatus::Mismatch, "MISMATCH"},
        {ExitStatus::Failure, "a failure"},
        {ExitStatus::Interrupted, "# ( SIGINT"},
        {ExitStatus::Terminated, "# ( SIGTERM"},
    };
    for (const auto& [status, text] : words) {
        const int code = hkcache::exitCode(status);
        const std::string wanted = text[0] == '#' ? std::to_string(code) + text.substr(1) : text;
        int under = 0;
        for (const auto& [tag, body] : entries) {
            if (body.find(wanted) != std::string::npos) {
                EXPECT_TRUE(tag == -1 || tag == code) << wanted << " under " << tag;
                under += tag == code || text[0] == '#';
            }
        }
        EXPECT_LT(0, under) << wanted;
    }
    std::smatch order;
    ASSERT_TRUE(std::regex_search(all, order, std::regex(R"((\d+) > (\d+) > (\d+) > (\d+))")));
    const auto rank = [&order](ExitStatus status) {
        return std::find(order.begin() + 1, order.end(),
                         std::to_string(hkcache::exitCode(status))) -
               order.begin();
    };
    const ExitStatus fetched[] = {ExitStatus::Failure, ExitStatus::NothingMatched,
                                  ExitStatus::Conflict, ExitStatus::Unchecked, ExitStatus::Done};
    for (const ExitStatus higher : fetched) {
        for (const ExitStatus lower : fetched) {
            EXPECT_TRUE(rank(higher) >= rank(lower) || hkcache::worse(lower, higher) == higher)
                << hkcache::exitCode(higher) << " over " << hkcache::exitCode(lower);
        }
    }
}

TEST_F(HkCacheTest, NothingMatchedAndUnknownCommandsSayWhat) {
    seed();
    const std::string in = " in " + currentName() + "\n";
    const bool windows = hkcache::hostsEscaped();
    const struct {
        std::vector<std::string> args;
        int status;
        std::string err;
    } rows[] = {
        {{"list", "nosuch"}, 1, "hkcache: no cached key for nosuch" + in},
        {{"remove", "a", "[b]:2", "-t", "rsa2", "-p", "22"},
         1,
         "hkcache: no cached key for a or [b]:2 of type rsa2 on port 22" + in},
        {{"list", "host1", "-p", "22", "--fingerprint", FingerprintB},
         1,
         "hkcache: warning: " + currentName() + ": rsa2@22:host1 " + FingerprintA +
             ": not pinned\nhkcache: no cached key for host1 on port 22 with a pinned fingerprint" +
             in},
        {{"lsit"}, 2, "hkcache: unknown command 'lsit' (did you mean 'list'?)\n"},
        {{"frob", "x"},
         2,
         "hkcache: unknown command 'frob' (commands: list, remove, restore, import, verify, "
         "fetch)\n"},
        {{"/?"},
         windows ? 0 : 2,
         windows ? ""
                 : "hkcache: unknown command '/?' (commands: list, remove, restore, import, "
                   "verify, fetch)\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.args.front());
        const Outcome result = run(row.args);
        EXPECT_EQ(row.status, result.status);
        EXPECT_EQ(row.err, result.err);
        EXPECT_EQ(row.status == 0, result.out.find("Usage") != std::string::npos);
    }
}

TEST_F(HkCacheTest, AListingAnotherProgramChangedIsReadAgain) {
    // While the second value is read, "a" is deleted: that pass skips "b". Stored again, "a"
    // moves to the end and the count stays; under a clock that stays, only the count moves.
    const struct {
        bool storedAgain;
        std::string listed;
    } rows[] = {{true, "rsa2@22:b " + KeyA + "\nrsa2@22:c " + KeyA + "\nrsa2@22:a " + KeyA + "\n"},
                {false, "rsa2@22:b " + KeyA + "\nrsa2@22:c " + KeyA + "\n"}};
    for (const auto& row : rows) {
        InMemoryRegistry fresh;
        hktest::ScopedRegistryApi use(fresh);
        for (const char* name : {"rsa2@22:a", "rsa2@22:b", "rsa2@22:c"}) {
            fresh.setValue(CurrentUser, CachePath, name, KeyA);
        }
        if (!row.storedAgain) {
            fresh.stopClock();
        }
        const auto change = [&fresh, &row] {
            PAL::RegistryApi::Handle key = 0;
            ASSERT_EQ(0u, fresh.openKey(PAL::RegistryApi::rootHandle(CurrentUser),
                                        CachePath.c_str(), &key));
            fresh.deleteValue(key, "rsa2@22:a");
            fresh.closeKey(key);
            if (row.storedAgain) {
                fresh.setValue(CurrentUser, CachePath, "rsa2@22:a", KeyA);
            }
        };
        fresh.beforeCall(InMemoryRegistry::Op::EnumValue, change, 2);
        const Outcome listed = run({"list", "--format", "putty"});
        EXPECT_EQ(row.listed, listed.out);
        EXPECT_EQ(0, listed.status);
    }
}

TEST_F(HkCacheTest, AListingMuchLongerThanItsBufferIsWhole) {
    std::string expected;
    for (int i = 0; i < 20000; ++i) {
        const std::string name = "rsa2@22:host" + std::to_string(i);
        set(name, KeyA);
        expected += name + " " + KeyA + "\n";
    }
    const Outcome listed = run({"list", "--format", "putty"});
    EXPECT_EQ(0, listed.status);
    EXPECT_TRUE(listed.out == expected) << listed.out.size() << " bytes, not " << expected.size();
}

TEST_F(HkCacheTest, UnreadableCacheFailsWithItsNameAndReason) {
    seed();
    registry.failOn(InMemoryRegistry::Op::EnumValue, 5, 2);
    const Outcome result = run({"list"});
    EXPECT_EQ(2, result.status);
    EXPECT_EQ("hkcache: " + currentName() + ": Permission denied\n", result.err);
    // Only a whole pass is listed: a part of one could be missing any value.
    EXPECT_EQ("", result.out);
}

TEST_F(HkCacheTest, MissingCacheHoldsNothing) {
    const Outcome result = run({"list"});
    EXPECT_EQ(1, result.status);
    EXPECT_EQ("hkcache: no cached key in " + currentName() + "\n", result.err);
    EXPECT_EQ("", result.out);
}

TEST_F(HkCacheTest, LoadedProfilesAreEveryUserKeyButTheirClasses) {
    const std::string sid = "S-1-5-21-0-0-0-1000";
    registry.setValue(Users, sid + "\\" + CachePath, "rsa2@22:host1", KeyA);
    registry.addKey(Users, sid + "_Classes");
    std::ostringstream err;
    hkcache::Diagnostics diagnostics(err);
    std::vector<std::string> names;
    for (const hkcache::Cache& cache : hkcache::loadedProfileCaches(diagnostics)) {
        names.push_back(cache.name);
    }
    const std::vector<std::string> expected = {"HKEY_USERS\\.DEFAULT\\" + CachePath,
                                               "HKEY_USERS\\" + sid + "\\" + CachePath};
    EXPECT_EQ(expected, names);
    EXPECT_EQ(1u, hkcache::profileCache(sid, diagnostics).size());
    EXPECT_EQ("", err.str());
    EXPECT_TRUE(hkcache::profileCache("S-1-5-21-9", diagnostics).empty());
    EXPECT_EQ("hkcache: HKEY_USERS\\S-1-5-21-9: no such profile is loaded\n", err.str());
    EXPECT_TRUE(diagnostics.failed());
}

} // namespace
