// PuTTY for Unix's host-key file held to the registry contract, through the native builds'
// own backend: the scratch key is the current user's cache, the file a fresh one per test.
#include "HostKeyStoreTesting.h"

#include "support/RegistryApiContract.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace {

class HostKeyFileBackend final : public hktest::RegistryBackend {
public:
    PAL::RegistryApi& api() override { return PAL::platformRegistryApi(); }

    hktest::ScratchKey createKey(const std::vector<std::string>& valueNames) override {
        std::string lines;
        for (const std::string& name : valueNames) {
            lines += name + " 0x1,0x2\n";
        }
        hktest::writeFile(path, lines);
        return {0x80000001u, hktest::cachePath()};
    }

    hktest::ScratchKey missingKey() override { return {0x80000001u, hktest::cachePath()}; }

    // The directory goes with the object.
    void removeKey() override {}

    bool valueNamesIgnoreCase() const override { return false; }

private:
    hktest::TempDir dir;
    std::string path = dir.file("sshhostkeys");
    hktest::ScopedEnv env{"PUTTYSSHHOSTKEYS", path};
};

std::unique_ptr<hktest::RegistryBackend> makeHostKeyFile() {
    return std::make_unique<HostKeyFileBackend>();
}

using hktest::RegistryApiContract;
INSTANTIATE_TEST_SUITE_P(HostKeyFile, RegistryApiContract,
                         testing::Values(hktest::BackendFactory{"HostKeyFile", &makeHostKeyFile}),
                         hktest::backendName);

} // namespace
