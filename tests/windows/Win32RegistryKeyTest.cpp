// PAL::RegistryKey on the platform's own registry (Wine's in CI), on the host-key cache of the
// current user: what the tool meets when it runs.
#include "PAL/Exception.h"
#include "PAL/LogUtil.h"
#include "PAL/Registry.h"

#include "support/ScopedLogSettings.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

namespace {

using PAL::RegistryApi;
using PAL::RegistryConstants;
using PAL::RegistryKey;
using PAL::RegistryKeyDescriptor;

// Not the real cache: the tests must not touch a user's keys. Same depth and shape.
const std::string ScratchPath = "Software\\hkprune-tests\\SshHostKeys";

class Win32RegistryKeyTest : public testing::Test {
protected:
    Win32RegistryKeyTest() {
        PAL::setLogFileName("");
        PAL::setTraceFileName("");
        RegDeleteTreeA(HKEY_CURRENT_USER, ScratchPath.c_str());
    }

    ~Win32RegistryKeyTest() override {
        RegDeleteTreeA(HKEY_CURRENT_USER, ScratchPath.c_str());
        RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\hkprune-tests");
    }

    void seed(const std::vector<std::string>& names) {
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyA(HKEY_CURRENT_USER, ScratchPath.c_str(), &key));
        static const char data[] = "0x1,0x2";
        for (const std::string& name : names) {
            ASSERT_EQ(ERROR_SUCCESS,
                      RegSetValueExA(key, name.c_str(), 0, REG_SZ,
                                     reinterpret_cast<const BYTE*>(data), sizeof data));
        }
        RegCloseKey(key);
    }

    hktest::ScopedLogSettings quiet;
    const RegistryKeyDescriptor scratch{RegistryConstants::CurrentUser, ScratchPath};
};

TEST_F(Win32RegistryKeyTest, ListsNamesInTheRegistrysOrder) {
    seed({"rsa2@22:host1", "Ecdsa-sha2-nistp256@22:example.org", "ssh-ed25519@2222:127.0.0.1"});
    RegistryKey key(scratch);
    // Wine keeps names sorted without regard to case.
    EXPECT_EQ((std::vector<std::string>{"Ecdsa-sha2-nistp256@22:example.org", "rsa2@22:host1",
                                        "ssh-ed25519@2222:127.0.0.1"}),
              key.getValueNames());
}

TEST_F(Win32RegistryKeyTest, DeletesAValueWhateverItsCase) {
    seed({"rsa2@22:host1", "rsa2@22:host2"});
    RegistryKey key(scratch);
    EXPECT_EQ(RegistryApi::Success, key.deleteValue("RSA2@22:HOST1"));
    EXPECT_EQ(RegistryApi::NotFound, key.deleteValue("rsa2@22:host1"));
    EXPECT_EQ(std::vector<std::string>{"rsa2@22:host2"}, key.getValueNames());
}

// What a listing compares to tell that another program changed the key under it.
TEST_F(Win32RegistryKeyTest, ADeleteAndAStoreMoveTheLastWriteTimeNotTheCount) {
    seed({"rsa2@22:host1", "rsa2@22:host2"});
    RegistryKey key(scratch);
    const PAL::RegistryKeyInfo before = key.getKeyInfo();
    ASSERT_EQ(ERROR_SUCCESS,
              RegDeleteKeyValueA(HKEY_CURRENT_USER, ScratchPath.c_str(), "rsa2@22:host1"));
    seed({"rsa2@22:host3"});
    const PAL::RegistryKeyInfo after = key.getKeyInfo();
    EXPECT_EQ(before.valueCount, after.valueCount);
    EXPECT_NE(0u, before.lastWriteTime);
    EXPECT_NE(before.lastWriteTime, after.lastWriteTime);
    EXPECT_EQ(after.lastWriteTime, key.getKeyInfo().lastWriteTime);
}

TEST_F(Win32RegistryKeyTest, ReadsValueData) {
    seed({"rsa2@22:host1"});
    RegistryKey key(scratch);
    PAL::ByteBuffer data(0);
    const PAL::RegistryValue value = key.getValue(0, &data);
    EXPECT_TRUE(value.found);
    EXPECT_EQ("rsa2@22:host1", value.name);
    EXPECT_EQ(static_cast<std::uint32_t>(REG_SZ), value.type);
    ASSERT_EQ(8u, value.dataSize);
    EXPECT_EQ(std::string("0x1,0x2", 8),
              std::string(reinterpret_cast<const char*>(data.getData()), 8));
}

TEST_F(Win32RegistryKeyTest, MissingKeyThrowsWithStatusTwo) {
    try {
        RegistryKey key(scratch);
        FAIL() << "opened a missing key";
    } catch (const PAL::RegistryKeyError& e) {
        EXPECT_EQ(2, e.getCode());
        const std::string tail =
            "error opening key<0x80000001 (Current User) : " + ScratchPath + ">  : (2)";
        const std::string text = e.what();
        ASSERT_GE(text.size(), tail.size());
        EXPECT_EQ(tail, text.substr(text.size() - tail.size()));
    }
}

TEST_F(Win32RegistryKeyTest, UnknownRootIsRefusedByTheRegistry) {
    try {
        RegistryKey key(RegistryKeyDescriptor(7, ScratchPath));
        FAIL() << "opened below an unknown root";
    } catch (const PAL::RegistryKeyError& e) {
        EXPECT_EQ(static_cast<int>(ERROR_INVALID_HANDLE), e.getCode());
    }
}

TEST_F(Win32RegistryKeyTest, DefaultUsersProfileOpens) {
    // HKEY_USERS\.DEFAULT exists in every profile, Wine's included.
    RegistryKey key(RegistryKeyDescriptor(RegistryConstants::Users, ".DEFAULT"));
    EXPECT_TRUE(key.getKeyInfo().valid);
}

} // namespace
