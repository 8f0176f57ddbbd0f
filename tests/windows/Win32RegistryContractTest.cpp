// The advapi32 backend held to the registry contract, on a real registry (Wine's in CI): each
// test gets its own scratch key under HKEY_CURRENT_USER and removes it.
#include "PAL/RegistryApi.h"

#include "support/RegistryApiContract.h"

#include "PAL/Windows.h"

#include <string>

namespace {

const char* const ScratchParent = "Software\\hkprune-tests";

class Win32Backend final : public hktest::RegistryBackend {
public:
    PAL::RegistryApi& api() override { return PAL::platformRegistryApi(); }

    hktest::ScratchKey createKey(const std::vector<std::string>& valueNames) override {
        missingKey();
        HKEY key = nullptr;
        if (RegCreateKeyA(HKEY_CURRENT_USER, path.c_str(), &key) != ERROR_SUCCESS) {
            ADD_FAILURE() << "cannot create HKCU\\" << path;
            return {0x80000001u, path};
        }
        static const char data[] = "0x1,0x2";
        for (const std::string& name : valueNames) {
            EXPECT_EQ(ERROR_SUCCESS,
                      RegSetValueExA(key, name.c_str(), 0, REG_SZ,
                                     reinterpret_cast<const BYTE*>(data), sizeof data))
                << name;
        }
        RegCloseKey(key);
        return {0x80000001u, path};
    }

    hktest::ScratchKey missingKey() override {
        static unsigned counter = 0;
        path = std::string(ScratchParent) + "\\contract-" + std::to_string(GetCurrentProcessId()) +
               "-" + std::to_string(++counter);
        return {0x80000001u, path};
    }

    void removeKey() override {
        if (path.empty()) {
            return;
        }
        EXPECT_EQ(ERROR_SUCCESS, RegDeleteTreeA(HKEY_CURRENT_USER, path.c_str())) << path;
        // Only goes when no other test left a key in it.
        RegDeleteKeyA(HKEY_CURRENT_USER, ScratchParent);
        path.clear();
    }

private:
    std::string path;
};

std::unique_ptr<hktest::RegistryBackend> makeWin32() {
    return std::make_unique<Win32Backend>();
}

using hktest::RegistryApiContract;
INSTANTIATE_TEST_SUITE_P(Win32, RegistryApiContract,
                         testing::Values(hktest::BackendFactory{"Win32", &makeWin32}),
                         hktest::backendName);

} // namespace
