// PAL::RegistryKey on the platform's own registry (Wine's in CI), on the host-key cache of the
// current user: what the tool meets when it runs.
#include "PAL/Exception.h"
#include "PAL/LogUtil.h"
#include "PAL/Registry.h"

#include "support/ScopedLogSettings.h"

#include <gtest/gtest.h>

#include "PAL/Windows.h"

#include <cstdio>
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

// What reg.exe prints for the key `path` below HKEY_CURRENT_USER; Wine's reg very rarely fails
// with no output at all, so an empty answer is asked again.
std::string regQuery(const std::string& path) {
    const std::string command = "reg query \"HKCU\\" + path + "\" 2>&1";
    std::string output;
    for (int attempt = 0; attempt < 3 && output.empty(); ++attempt) {
        if (FILE* pipe = _popen(command.c_str(), "r")) {
            char buffer[512];
            while (std::fgets(buffer, sizeof buffer, pipe)) {
                output += buffer;
            }
            _pclose(pipe);
        }
    }
    return output;
}

// A key of its own: reg.exe takes long enough for the other tests, run at the same time, to
// remove the shared scratch key under it.
TEST_F(Win32RegistryKeyTest, StoredValuesAreWhatRegReads) {
    const std::string path = ScratchPath + "-stored-" + std::to_string(GetCurrentProcessId());
    HKEY created = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyA(HKEY_CURRENT_USER, path.c_str(), &created));
    RegCloseKey(created);
    std::string shown;
    {
        RegistryKey key(RegistryKeyDescriptor(RegistryConstants::CurrentUser, path));
        EXPECT_EQ(RegistryApi::Success, key.setValue("rsa2@22:host1", "0x1"));
        EXPECT_EQ(RegistryApi::Success, key.setValue("ssh-ed25519@22:new.example", "0x23,0x9f"));
        EXPECT_EQ(RegistryApi::Success,
                  key.applyChanges({"rsa2@22:host1"}, {{"dss@2222:h", "0x4"}}));
        shown = regQuery(path);
    }
    RegDeleteTreeA(HKEY_CURRENT_USER, path.c_str());
    RegDeleteKeyA(HKEY_CURRENT_USER, path.c_str());
    EXPECT_NE(std::string::npos,
              shown.find("    ssh-ed25519@22:new.example    REG_SZ    0x23,0x9f"))
        << shown;
    EXPECT_NE(std::string::npos, shown.find("    dss@2222:h    REG_SZ    0x4")) << shown;
    EXPECT_EQ(std::string::npos, shown.find("rsa2@22:host1")) << shown;
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
