#include "FingerprintName.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct ParseRow {
    const char* valueName;
    const char* keyType;
    const char* port;
    const char* hostName;
    bool valid;
};

const ParseRow ParseTable[] = {
    {"rsa@22:host1", "rsa", "22", "host1", true},
    {"rsa@22:", "rsa", "22", "", false},              // nothing after the ":"
    {"rsa@22", "rsa", "", "", false},                 // no ":" after the "@"
    {"rsa:22@host1", "rsa:22", "", "", false},        // the ":" before the "@" does not count
    {"@22:host1", "", "22", "host1", true},           // empty key type still parses as valid
    {"rsa@:host1", "rsa", "", "host1", true},         // empty port too
    {"rsa@22:host1:x", "rsa", "22", "host1:x", true}, // later ":" belong to the host name
    {"a@b@c:d", "a", "b@c", "d", true},               // later "@" belong to the port
    {"host1", "", "", "", false},                     // some other value under the key
    {"", "", "", "", false},
    {"ssh-ed25519@2222:127.0.0.1", "ssh-ed25519", "2222", "127.0.0.1", true},
    {"rsa2@22:fe80::1", "rsa2", "22", "fe80::1", true}, // the host starts after the first ":"
};

TEST(FingerprintNameParse, Table) {
    for (const ParseRow& row : ParseTable) {
        SCOPED_TRACE(row.valueName);
        const FingerprintName name{std::string(row.valueName)};
        EXPECT_EQ(row.keyType, name.getKeyType());
        EXPECT_EQ(row.port, name.getPort());
        EXPECT_EQ(row.hostName, name.getHostName());
        EXPECT_EQ(row.valid, name.isValid());
    }
}

TEST(FingerprintNameParse, KeepsBytesAboveAsciiAndBlanks) {
    const std::string text = "rsa2@22:h\xC3\xB4st \xE9 ";
    const FingerprintName name(text);
    EXPECT_TRUE(name.isValid());
    EXPECT_EQ("h\xC3\xB4st \xE9 ", name.getHostName());
    EXPECT_EQ(text, name.toString());
}

TEST(FingerprintNameSetters, ValidExactlyWhenAllThreePartsAreSet) {
    FingerprintName name;
    EXPECT_FALSE(name.isValid());
    EXPECT_EQ("", name.toString());
    name.setPort("22");
    EXPECT_FALSE(name.isValid());
    name.setHostName("host1");
    EXPECT_FALSE(name.isValid());
    EXPECT_EQ("", name.toString()); // no key type yet
    name.setKeyType("rsa");
    EXPECT_TRUE(name.isValid());
    EXPECT_EQ("rsa@22:host1", name.toString());
    name.setPort("");
    EXPECT_FALSE(name.isValid());
    EXPECT_EQ("", name.toString());
}

TEST(FingerprintNameSetters, OrderDoesNotMatter) {
    FingerprintName a;
    a.setKeyType("rsa");
    a.setHostName("host1");
    a.setPort("22");
    FingerprintName b;
    b.setPort("22");
    b.setKeyType("rsa");
    b.setHostName("host1");
    EXPECT_TRUE(a.isValid());
    EXPECT_EQ(a.toString(), b.toString());
}

TEST(FingerprintNameSetters, HostNameWithColonIsComposedUnchanged) {
    FingerprintName name;
    name.setKeyType("rsa2");
    name.setPort("22");
    name.setHostName("fe80::1");
    EXPECT_EQ("rsa2@22:fe80::1", name.toString());
}

FingerprintName requested(const std::string& keyType, const std::string& port,
                          const std::string& hostName) {
    FingerprintName name;
    name.setPort(port);
    name.setHostName(hostName);
    name.setKeyType(keyType);
    return name;
}

struct MatchRow {
    const char* keyType;
    const char* port;
    const char* hostName;
    const char* valueName;
    bool matches;
};

const MatchRow MatchTable[] = {
    // key type only
    {"rsa", "", "", "rsa@22:host1", true},
    {"rsa", "", "", "rsa@2222:host2", true},
    {"rsa", "", "", "dsa@22:host1", false},
    {"rsa", "", "", "RSA@22:host1", false},  // case counts
    {"rsa", "", "", "rsa2@22:host1", false}, // a longer type is another type
    // host name and port
    {"", "22", "host1", "rsa@22:host1", true},
    {"", "22", "host1", "ssh-ed25519@22:host1", true},
    {"", "22", "host1", "rsa@2222:host1", false},
    {"", "22", "host1", "rsa@22:HOST1", false},
    // ports are text
    {"", "22", "", "rsa@022:host1", false},
    {"", "022", "", "rsa@022:host1", true},
    // nothing requested: every well-formed name, and only those
    {"", "", "", "rsa@22:host1", true},
    {"", "", "", "@:x", true},
    {"", "", "", "host1", false},
    {"", "", "", "rsa@22:", false},
    {"", "", "", "rsa@22", false},
    {"", "", "", "", false},
    // full name
    {"rsa", "22", "host1", "rsa@22:host1", true},
    {"rsa", "22", "host1", "rsa@22:host1 ", false}, // nothing trimmed
    {"rsa", "22", "host1", "rsa@22:host10", false},
    {"rsa", "22", "host1", "rsa@22:host1:x", false},
    // an IPv6 host: it starts after the first ":", whichever filters are given
    {"", "", "", "rsa2@22:fe80::1", true},
    {"rsa2", "", "", "rsa2@22:fe80::1", true},
    {"", "22", "", "rsa2@22:fe80::1", true},
    {"", "", "fe80::1", "rsa2@22:fe80::1", true},
    {"", "", "1", "rsa2@22:fe80::1", false},
    {"", "22", "fe80::1", "rsa2@22:fe80::1", true},
    {"rsa2", "22", "fe80::1", "rsa2@22:fe80::1", true},
    {"rsa2", "22", ":1", "rsa2@22:fe80::1", false},
    // an empty part of the value name only matches a wildcard
    {"", "22", "host1", "@22:host1", true},
    {"rsa", "", "host1", "@22:host1", false},
};

TEST(FingerprintNameMatches, Table) {
    for (const MatchRow& row : MatchTable) {
        SCOPED_TRACE(std::string("t=") + row.keyType + " p=" + row.port + " h=" + row.hostName +
                     " value=" + row.valueName);
        EXPECT_EQ(row.matches,
                  requested(row.keyType, row.port, row.hostName).matches(row.valueName));
    }
}

TEST(FingerprintNameMatches, OwnValidityPlaysNoPart) {
    FingerprintName onlyHost;
    onlyHost.setHostName("host1");
    ASSERT_FALSE(onlyHost.isValid());
    EXPECT_TRUE(onlyHost.matches("rsa@22:host1"));
}

} // namespace
