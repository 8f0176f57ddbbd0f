// The contract every registry backend is held to, written once and instantiated per backend:
//
//   std::unique_ptr<hktest::RegistryBackend> makeMine() { return std::make_unique<Mine>(); }
//   using hktest::RegistryApiContract; // the macro takes the suite's name unqualified
//   INSTANTIATE_TEST_SUITE_P(Mine, RegistryApiContract,
//                            testing::Values(hktest::BackendFactory{"Mine", &makeMine}),
//                            hktest::backendName);
//
// A backend only has to make one scratch key with given value names and remove it again; a
// store that holds a single key (PuTTY for Unix's host-key file) returns that key every time.
#ifndef HK_TESTS_REGISTRYAPICONTRACT_H
#define HK_TESTS_REGISTRYAPICONTRACT_H

#include "PAL/RegistryApi.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace hktest {

// Where a backend put its scratch key.
struct ScratchKey {
    std::uint32_t root; // 32-bit root handle value: 0x80000001 is HKEY_CURRENT_USER
    std::string path;   // below the root, backslash-separated
};

// One backend under test. A fresh object serves each test.
class RegistryBackend {
public:
    virtual ~RegistryBackend() = default;
    // The implementation under test.
    virtual PAL::RegistryApi& api() = 0;
    // Makes the scratch key hold exactly these values, as strings (REG_SZ) with data of the
    // backend's choice, and says where it is. Called once per test at most.
    virtual ScratchKey createKey(const std::vector<std::string>& valueNames) = 0;
    // Says where a scratch key would be, with nothing there yet; instead of createKey.
    virtual ScratchKey missingKey() = 0;
    // Removes whatever createKey made, or the tested api made at missingKey(); runs after
    // every test, also when neither was called.
    virtual void removeKey() = 0;
    // Whether value names compare ignoring case, as in the registry. PuTTY for Unix's file
    // compares them byte for byte (PuTTY itself tells names of another case apart).
    virtual bool valueNamesIgnoreCase() const { return true; }
};

struct BackendFactory {
    const char* name;
    std::unique_ptr<RegistryBackend> (*make)();
};

inline void PrintTo(const BackendFactory& factory, std::ostream* out) {
    *out << factory.name;
}

// Test-name generator for INSTANTIATE_TEST_SUITE_P.
inline std::string backendName(const testing::TestParamInfo<BackendFactory>& info) {
    return info.param.name;
}

class RegistryApiContract : public testing::TestWithParam<BackendFactory> {
protected:
    void SetUp() override;
    void TearDown() override;

    PAL::RegistryApi& api() { return backend->api(); }
    // Creates the scratch key and opens it into `key`; NotOpen (and a failure) when it cannot.
    PAL::RegistryApi::Handle openScratch(const std::vector<std::string>& valueNames);

    std::unique_ptr<RegistryBackend> backend;
    ScratchKey scratch;
    // Closed by TearDown unless the test closed it and put NotOpen back.
    PAL::RegistryApi::Handle key = PAL::RegistryApi::NotOpen;
};

namespace detail {
// Defined next to the tests: referencing it pulls them out of the support library.
int registryApiContractAnchor();
} // namespace detail

} // namespace hktest

namespace {
[[maybe_unused]] const int registryApiContractLinked = hktest::detail::registryApiContractAnchor();
} // namespace

#endif // HK_TESTS_REGISTRYAPICONTRACT_H
