#include "PAL/Exception.h"
#include "PAL/LogUtil.h"
#include "PAL/Registry.h"

#include "support/InMemoryRegistry.h"
#include "support/ScopedLogSettings.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

using PAL::RegistryApi;
using PAL::RegistryConstants;
using PAL::RegistryKey;
using PAL::RegistryKeyDescriptor;
using Op = hktest::InMemoryRegistry::Op;

constexpr std::uint32_t HKCU = 0x80000001u;
const std::string CachePath = "Software\\SimonTatham\\PuTTY\\SshHostKeys";
const std::string DefaultCachePath = ".DEFAULT\\Software\\SimonTatham\\PuTTY\\SshHostKeys";

class RegistryKeyTest : public testing::Test {
protected:
    // Failed opens log; without a log file their records go nowhere.
    RegistryKeyTest() {
        PAL::setLogFileName("");
        PAL::setTraceFileName("");
    }

    void seed(const std::vector<std::string>& names) {
        registry.addKey(HKCU, CachePath);
        for (const std::string& name : names) {
            registry.setValue(HKCU, CachePath, name, "0x1,0x2");
        }
    }

    hktest::ScopedLogSettings quiet;
    hktest::InMemoryRegistry registry;
    hktest::ScopedRegistryApi scope{registry};
    const RegistryKeyDescriptor cache{RegistryConstants::CurrentUser, CachePath};
};

// Opening

TEST_F(RegistryKeyTest, OpenFailureOnTheDefaultUsersCacheThrowsAndLogsOneRecord) {
    hktest::TempDir dir;
    hktest::ScopedLogSettings restore;
    PAL::setLogDirectory(dir.path().string());
    PAL::setLogFileName("hkprune.log");
    PAL::setLogLevel(PAL::LOG_INFO);

    // HKEY_USERS\.DEFAULT exists; the cache below it does not.
    const RegistryKeyDescriptor defaultCache(RegistryConstants::Users, DefaultCachePath);
    try {
        RegistryKey key(defaultCache);
        FAIL() << "opened a missing key";
    } catch (const PAL::RegistryKeyError& e) {
        // The registry header is named as the place of the throw, whatever file holds it.
        const std::string site = "provider/include/PAL/Registry:88";
        EXPECT_EQ("RegistryKey::getKey():" + site, e.getLocation());
        // Two blanks before the colon: the descriptor text ends in one.
        EXPECT_EQ("RegistryKey::getKey():" + site +
                      " : error opening key<0x80000003 (Users) : " + DefaultCachePath + ">  : (2)",
                  e.what());
        EXPECT_EQ(2, e.getCode());
        EXPECT_EQ(RegistryConstants::Users, e.getKey().getRoot());
        EXPECT_EQ(DefaultCachePath, e.getKey().getSubKey());

        // The record names the same file and line as the exception.
        std::string log = hktest::readFile(dir.file("hkprune.log"));
        EXPECT_EQ(1, std::count(log.begin(), log.end(), '\n')) << log;
        // The line end is the platform's text mode: CRLF on Windows.
        log.erase(std::remove(log.begin(), log.end(), '\r'), log.end());
        const std::string record = " ERROR PAL Throw exception " + site + e.what() + "\n";
        ASSERT_GE(log.size(), record.size()) << log;
        EXPECT_EQ(record, log.substr(log.size() - record.size())) << log;
    }
    EXPECT_EQ(0u, registry.calls(Op::Close));
}

struct OpenFailure {
    const char* what;
    std::int32_t root;
    RegistryApi::Status injected; // 0: none, the registry answers by itself
    RegistryApi::Status code;
    const char* descriptor;
};

const OpenFailure OpenFailures[] = {
    // The path does not exist.
    {"missing key", RegistryConstants::CurrentUser, 0, RegistryApi::NotFound,
     "<0x80000001 (Current User) : Software\\SimonTatham\\PuTTY\\SshHostKeys> "},
    // The registry refuses the open.
    {"access denied", RegistryConstants::CurrentUser, RegistryApi::AccessDenied,
     RegistryApi::AccessDenied,
     "<0x80000001 (Current User) : Software\\SimonTatham\\PuTTY\\SshHostKeys> "},
    // An unknown root reaches the registry as the all-bits-set handle, which it refuses.
    {"invalid root", 7, 0, RegistryApi::InvalidHandle,
     "<0xFFFFFFFF (Invalid Root Key) : Software\\SimonTatham\\PuTTY\\SshHostKeys> "},
};

TEST_F(RegistryKeyTest, OpenFailuresCarryTheStatusAndLeaveNothingOpen) {
    for (const OpenFailure& row : OpenFailures) {
        SCOPED_TRACE(row.what);
        hktest::InMemoryRegistry fresh;
        hktest::ScopedRegistryApi use(fresh);
        if (row.injected != 0) {
            fresh.addKey(HKCU, CachePath);
            fresh.failOn(Op::Open, row.injected);
        }
        try {
            RegistryKey key(RegistryKeyDescriptor(row.root, CachePath));
            ADD_FAILURE() << "opened";
        } catch (const PAL::RegistryKeyError& e) {
            EXPECT_EQ(static_cast<int>(row.code), e.getCode());
            const std::string tail = std::string("error opening key") + row.descriptor + " : (" +
                                     std::to_string(row.code) + ")";
            const std::string text = e.what();
            ASSERT_GE(text.size(), tail.size());
            EXPECT_EQ(tail, text.substr(text.size() - tail.size()));
        }
        EXPECT_EQ(0u, fresh.calls(Op::Close));
        EXPECT_EQ(0u, fresh.openHandles());
    }
}

TEST_F(RegistryKeyTest, OpensBelowTheSignExtendedRootHandle) {
    seed({"rsa2@22:host1"});
    RegistryKey key(cache);
    EXPECT_NE(RegistryApi::NotOpen, key.getHandle());
    EXPECT_EQ(1u, registry.openHandles());
}

// Closing

TEST_F(RegistryKeyTest, DestroyingAnOpenKeyClosesItOnce) {
    seed({});
    { RegistryKey key(cache); }
    EXPECT_EQ(1u, registry.calls(Op::Close));
    EXPECT_EQ(0u, registry.openHandles());
}

TEST_F(RegistryKeyTest, CloseThenDestroyClosesOnce) {
    seed({});
    {
        RegistryKey key(cache);
        key.close();
        EXPECT_EQ(RegistryApi::NotOpen, key.getHandle());
        key.close();
    }
    EXPECT_EQ(1u, registry.calls(Op::Close));
    EXPECT_EQ(0u, registry.openHandles());
}

TEST_F(RegistryKeyTest, AFailedCloseIsNotRetried) {
    seed({});
    registry.failOn(Op::Close, RegistryApi::InvalidHandle);
    {
        RegistryKey key(cache);
        key.close();
    }
    EXPECT_EQ(1u, registry.calls(Op::Close));
}

TEST_F(RegistryKeyTest, EveryOperationFailsAfterClose) {
    seed({"rsa2@22:host1"});
    RegistryKey key(cache);
    key.close();
    EXPECT_FALSE(key.getKeyInfo().valid);
    EXPECT_EQ(0u, key.getValueCount());
    EXPECT_TRUE(key.getValueNames().empty());
    EXPECT_EQ(RegistryApi::InvalidHandle, key.deleteValue("rsa2@22:host1"));
    EXPECT_EQ(std::vector<std::string>{"rsa2@22:host1"}, registry.valueNames(HKCU, CachePath));
}

// Counting and listing

TEST_F(RegistryKeyTest, NamesComeInIndexOrder) {
    seed({"rsa2@22:host1", "ssh-ed25519@2222:127.0.0.1", "ecdsa-sha2-nistp256@22:example.org"});
    RegistryKey key(cache);
    EXPECT_EQ(3u, key.getValueCount());
    EXPECT_EQ((std::vector<std::string>{"rsa2@22:host1", "ssh-ed25519@2222:127.0.0.1",
                                        "ecdsa-sha2-nistp256@22:example.org"}),
              key.getValueNames());
}

TEST_F(RegistryKeyTest, KeyWithoutValuesListsNothing) {
    seed({});
    RegistryKey key(cache);
    EXPECT_EQ(0u, key.getValueCount());
    EXPECT_TRUE(key.getValueNames().empty());
    EXPECT_EQ(0u, registry.calls(Op::EnumValue));
}

TEST_F(RegistryKeyTest, FailedInfoQueryListsNothing) {
    seed({"rsa2@22:host1"});
    RegistryKey key(cache);
    registry.failOn(Op::QueryInfo, RegistryApi::AccessDenied, 1, 3);
    const PAL::RegistryKeyInfo info = key.getKeyInfo();
    EXPECT_FALSE(info.valid);
    EXPECT_EQ(0u, info.valueCount);
    EXPECT_EQ(0u, key.getValueCount());
    EXPECT_TRUE(key.getValueNames().empty());
    EXPECT_EQ(0u, registry.calls(Op::EnumValue));
}

struct MidwayFailure {
    const char* what;
    Op op;
    unsigned nth;   // which call of op fails
    unsigned count; // and how many after it
    RegistryApi::Status status;
};

// Three values a, b, c; the call that reads index 1 fails. The listing takes the count with
// one info query, then makes one enumeration call per index.
const MidwayFailure MidwayFailures[] = {
    // Values removed after the count was taken: the registry has no more items.
    {"no more items", Op::EnumValue, 2, 1, RegistryApi::NoMoreItems},
    {"refused enumeration", Op::EnumValue, 2, 1, RegistryApi::AccessDenied},
    // Too long for every buffer tried: a cut name is not the value's, so it is not listed.
    {"never fits", Op::EnumValue, 2, 5, RegistryApi::MoreData},
};

TEST_F(RegistryKeyTest, AnIndexThatFailsIsSkippedSilently) {
    for (const MidwayFailure& row : MidwayFailures) {
        SCOPED_TRACE(row.what);
        hktest::TempDir dir;
        hktest::ScopedLogSettings restore;
        PAL::setLogDirectory(dir.path().string());
        PAL::setLogFileName("hkprune.log");
        PAL::setTraceFileName("hkprune.log");
        PAL::setLogLevel(PAL::LOG_INFO);
        PAL::setTraceMaskBits(PAL::TRACE_ALL);

        hktest::InMemoryRegistry fresh;
        hktest::ScopedRegistryApi use(fresh);
        for (const char* name : {"a", "b", "c"}) {
            fresh.setValue(HKCU, CachePath, name);
        }
        RegistryKey key(cache);
        fresh.failOn(row.op, row.status, row.nth, row.count);
        EXPECT_EQ((std::vector<std::string>{"a", "c"}), key.getValueNames());
        EXPECT_EQ("", hktest::readFile(dir.file("hkprune.log")));
    }
}

// Reports the longest name as a number of characters that take `bytesPerCharacter` bytes each,
// as the ANSI calls see it in a multibyte code page.
class CharacterFigures : public hktest::InMemoryRegistry {
public:
    explicit CharacterFigures(std::uint32_t bytes) : bytesPerCharacter(bytes) {}
    Status queryInfoKey(Handle key, std::uint32_t* subKeys, std::uint32_t* maxSubKey,
                        std::uint32_t* maxClass, std::uint32_t* values, std::uint32_t* maxName,
                        std::uint32_t* maxData, std::uint64_t* written) override {
        const Status status = InMemoryRegistry::queryInfoKey(key, subKeys, maxSubKey, maxClass,
                                                             values, maxName, maxData, written);
        if (status == Success && maxName != nullptr) {
            *maxName /= bytesPerCharacter;
        }
        return status;
    }

private:
    std::uint32_t bytesPerCharacter;
};

struct LongerNameRow {
    const char* what;
    std::uint32_t bytesPerCharacter;
    bool grows;           // b becomes the long name while a is being read
    unsigned infoQueries; // the listing's two a pass, then one per retry
};

// A pass queries the key before and after; a name that answers 234 (longer than the buffer) is
// read again after a fresh query into a buffer that grows on every retry, and listed in full.
TEST_F(RegistryKeyTest, ANameLongerThanTheBufferIsReadAgainInFull) {
    const std::string longName(40, 'x');
    const LongerNameRow rows[] = {
        {"every name fits", 1, false, 2},
        {"grown during the listing", 1, true, 5}, // a second pass: the key changed
        {"two bytes per character counted", 2, false, 3},
        {"three bytes per character counted", 3, false, 4},
    };
    for (const LongerNameRow& row : rows) {
        SCOPED_TRACE(row.what);
        CharacterFigures fresh(row.bytesPerCharacter);
        hktest::ScopedRegistryApi use(fresh);
        for (const std::string& name :
             {std::string("a"), row.grows ? "b" : longName, std::string("c")}) {
            fresh.setValue(HKCU, CachePath, name);
        }
        RegistryKey key(cache);
        if (row.grows) {
            fresh.beforeCall(
                Op::EnumValue, [&] { fresh.renameValue(HKCU, CachePath, "b", longName); }, 2);
        }
        EXPECT_EQ((std::vector<std::string>{"a", longName, "c"}), key.getValueNames());
        EXPECT_EQ(row.infoQueries, fresh.calls(Op::QueryInfo));
    }
}

// Windows leaves the buffer of a cut name undefined: here full to its end, without a NUL.
class UnterminatedCuts : public CharacterFigures {
public:
    UnterminatedCuts() : CharacterFigures(2) {}
    Status enumValue(Handle key, std::uint32_t index, char* name, std::uint32_t* nameLength,
                     std::uint32_t* type, unsigned char* data, std::uint32_t* dataSize) override {
        const std::uint32_t room = nameLength != nullptr ? *nameLength : 0;
        const Status status =
            InMemoryRegistry::enumValue(key, index, name, nameLength, type, data, dataSize);
        if (status == MoreData && room > 0) {
            name[room - 1] = 'x';
        }
        return status;
    }
};

struct ConcurrentChangeRow {
    const char* what;
    bool clockMoves;
    bool storedAgain;       // the value deleted is stored again at once: the count stays
    unsigned changedPasses; // passes under which another program deletes the first value
    std::vector<std::string> names;
    unsigned enumerations;
};

// Values a, b, c, d; another program deletes the first value while index 1 is being read, so
// that the pass skips the value that moves up into index 1.
TEST_F(RegistryKeyTest, APassThatTheKeyChangedUnderIsListedAgain) {
    const ConcurrentChangeRow rows[] = {
        {"nothing changes: one pass", true, false, 0, {"a", "b", "c", "d"}, 4},
        {"a delete and a store keep the count", true, true, 1, {"b", "c", "d", "a"}, 8},
        {"a delete under a clock that stays", false, false, 1, {"b", "c", "d"}, 7},
        // Bounded: the last pass is listed as it saw the key.
        {"changes under every pass",
         true,
         true,
         RegistryKey::ListingPasses,
         {"d", "b", "c", "d"},
         4 * RegistryKey::ListingPasses},
    };
    for (const ConcurrentChangeRow& row : rows) {
        SCOPED_TRACE(row.what);
        hktest::InMemoryRegistry fresh;
        hktest::ScopedRegistryApi use(fresh);
        if (!row.clockMoves) {
            fresh.stopClock();
        }
        for (const char* name : {"a", "b", "c", "d"}) {
            fresh.setValue(HKCU, CachePath, name);
        }
        RegistryKey key(cache);
        for (unsigned pass = 0; pass < row.changedPasses; ++pass) {
            const auto change = [&fresh, &row] {
                const std::string first = fresh.valueNames(HKCU, CachePath).front();
                RegistryKey other(RegistryKeyDescriptor(RegistryConstants::CurrentUser, CachePath));
                other.deleteValue(first);
                if (row.storedAgain) {
                    fresh.setValue(HKCU, CachePath, first);
                }
            };
            fresh.beforeCall(Op::EnumValue, change, 4 * pass + 2);
        }
        EXPECT_EQ(row.names, key.getValueNames());
        EXPECT_EQ(row.enumerations, fresh.calls(Op::EnumValue));
    }
}

TEST_F(RegistryKeyTest, ACutNameIsReadOnlyAsFarAsItsBuffer) {
    UnterminatedCuts cuts;
    hktest::ScopedRegistryApi use(cuts);
    const std::string longName(40, 'x');
    cuts.setValue(HKCU, CachePath, longName);
    RegistryKey key(cache);
    EXPECT_EQ(std::string(21, 'x'), key.getValue(0).name); // 20 characters counted, and a NUL
    EXPECT_EQ(std::vector<std::string>{longName}, key.getValueNames());
}

TEST_F(RegistryKeyTest, NameOfExactlyTheLongestLengthFits) {
    const std::string longest(40, 'x');
    seed({"a", longest});
    RegistryKey key(cache);
    EXPECT_EQ(40u, key.getKeyInfo().maxValueNameLength);
    const PAL::RegistryValue value = key.getValue(1);
    EXPECT_TRUE(value.found);
    EXPECT_EQ(longest, value.name);
    EXPECT_EQ(0u, value.dataSize);
}

TEST_F(RegistryKeyTest, MoreDataCountsAsFoundWithWhatTheBufferHolds) {
    seed({"rsa2@22:host1"});
    RegistryKey key(cache);
    // The registry wrote nothing: the buffer is still all zero bytes.
    registry.failOn(Op::EnumValue, RegistryApi::MoreData);
    const PAL::RegistryValue value = key.getValue(0);
    EXPECT_TRUE(value.found);
    EXPECT_EQ("", value.name);
    EXPECT_EQ((std::vector<std::string>{"rsa2@22:host1"}), key.getValueNames());
}

TEST_F(RegistryKeyTest, IndexPastTheEndIsNotFound) {
    seed({"rsa2@22:host1"});
    RegistryKey key(cache);
    const PAL::RegistryValue value = key.getValue(1);
    EXPECT_FALSE(value.found);
    EXPECT_EQ("", value.name);
}

// Reading data

TEST_F(RegistryKeyTest, DataBufferIsSizedToTheValueAndFilled) {
    seed({"rsa2@22:host1"});
    RegistryKey key(cache);
    for (std::uint32_t start : {0u, 3u, 64u}) {
        SCOPED_TRACE(start);
        PAL::ByteBuffer data(start);
        const PAL::RegistryValue value = key.getValue(0, &data);
        EXPECT_TRUE(value.found);
        EXPECT_EQ("rsa2@22:host1", value.name);
        EXPECT_EQ(1u, value.type); // REG_SZ
        // REG_SZ data keeps its terminating NUL.
        ASSERT_EQ(8u, value.dataSize);
        ASSERT_EQ(8u, data.getSize());
        EXPECT_EQ(0, std::memcmp("0x1,0x2", data.getData(), 8));
    }
}

TEST_F(RegistryKeyTest, DataReadPastTheEndIsNotFound) {
    seed({"rsa2@22:host1"});
    RegistryKey key(cache);
    PAL::ByteBuffer data(0);
    EXPECT_FALSE(key.getValue(1, &data).found);
}

TEST_F(RegistryKeyTest, DataThatFailsOnTheSecondReadIsNotFound) {
    seed({"rsa2@22:host1"});
    RegistryKey key(cache);
    PAL::ByteBuffer data(0);
    registry.failOn(Op::EnumValue, RegistryApi::MoreData, 2);
    const PAL::RegistryValue value = key.getValue(0, &data);
    EXPECT_FALSE(value.found);
    EXPECT_EQ("rsa2@22:host1", value.name);
}

// Deleting

TEST_F(RegistryKeyTest, DeleteHandsBackTheRegistryStatus) {
    seed({"rsa2@22:host1", "rsa2@22:host2"});
    RegistryKey key(cache);
    EXPECT_EQ(RegistryApi::Success, key.deleteValue("RSA2@22:HOST1"));
    EXPECT_EQ(RegistryApi::NotFound, key.deleteValue("rsa2@22:host1"));
    registry.failOn(Op::DeleteValue, RegistryApi::AccessDenied);
    EXPECT_EQ(RegistryApi::AccessDenied, key.deleteValue("rsa2@22:host2"));
    EXPECT_EQ(std::vector<std::string>{"rsa2@22:host2"}, registry.valueNames(HKCU, CachePath));
}

TEST_F(RegistryKeyTest, SetStoresTextWithItsNul) {
    seed({});
    RegistryKey key(cache);
    EXPECT_EQ(RegistryApi::Success, key.setValue("rsa2@22:host1", "0x1,0x2"));
    PAL::ByteBuffer data(0);
    const PAL::RegistryValue value = key.getValue(0, &data);
    ASSERT_TRUE(value.found);
    EXPECT_EQ(RegistryApi::RegSz, value.type);
    EXPECT_EQ(std::string("0x1,0x2", 8),
              std::string(reinterpret_cast<const char*>(data.getData()), value.dataSize));
}

// Where the registry has no batch, one call per change; the first failure ends it and says
// how many were made.
TEST_F(RegistryKeyTest, ABatchStopsAtTheFirstFailureAndCountsWhatWasDone) {
    seed({"rsa2@22:host1", "rsa2@22:host2"});
    RegistryKey key(cache);
    registry.failOn(Op::SetValue, RegistryApi::AccessDenied, 2);
    std::size_t applied = 0;
    EXPECT_EQ(RegistryApi::AccessDenied,
              key.applyChanges({"rsa2@22:host1", "rsa2@22:gone"},
                               {{"dss@22:a", "0x1"}, {"dss@22:b", "0x2"}, {"dss@22:c", "0x3"}},
                               &applied));
    EXPECT_EQ(3u, applied);
    EXPECT_EQ(2u, registry.calls(Op::DeleteValue));
    EXPECT_EQ(2u, registry.calls(Op::SetValue));
    EXPECT_EQ((std::vector<std::string>{"rsa2@22:host2", "dss@22:a"}),
              registry.valueNames(HKCU, CachePath));
}

// Byte buffer

TEST(ByteBuffer, ResizeToZeroThenTenGivesFreshStorage) {
    PAL::ByteBuffer buffer(4);
    buffer.resize(0);
    EXPECT_EQ(nullptr, buffer.getData());
    EXPECT_EQ(0u, buffer.getSize());
    buffer.resize(10);
    ASSERT_NE(nullptr, buffer.getData());
    EXPECT_EQ(10u, buffer.getSize());
    std::memset(buffer.getData(), 0xAB, 10); // all ten bytes are writable (ASan checks)
}

TEST(ByteBuffer, ShrinkingKeepsTheStorageAndGrowingKeepsTheBytes) {
    PAL::ByteBuffer buffer(8);
    std::memcpy(buffer.getData(), "abcdefgh", 8);
    const unsigned char* storage = buffer.getData();
    buffer.resize(3);
    EXPECT_EQ(storage, buffer.getData());
    EXPECT_EQ(3u, buffer.getSize());
    buffer.resize(20);
    EXPECT_EQ(20u, buffer.getSize());
    EXPECT_EQ(0, std::memcmp("abc", buffer.getData(), 3));
}

TEST(ByteBuffer, SizeZeroHasNoStorage) {
    PAL::ByteBuffer buffer(0);
    EXPECT_EQ(nullptr, buffer.getData());
    EXPECT_EQ(0u, buffer.getSize());
}

} // namespace
