// The in-memory registry held to the same contract as the real backends.
#include "support/InMemoryRegistry.h"
#include "support/RegistryApiContract.h"

namespace {

class InMemoryBackend final : public hktest::RegistryBackend {
public:
    PAL::RegistryApi& api() override { return registry; }

    hktest::ScratchKey createKey(const std::vector<std::string>& valueNames) override {
        const hktest::ScratchKey key = missingKey();
        registry.addKey(key.root, key.path);
        for (const std::string& name : valueNames) {
            registry.setValue(key.root, key.path, name, "0x1,0x2");
        }
        return key;
    }

    hktest::ScratchKey missingKey() override { return {0x80000001u, "Software\\hkprune-contract"}; }

    // Everything goes with the object.
    void removeKey() override {}

private:
    hktest::InMemoryRegistry registry;
};

std::unique_ptr<hktest::RegistryBackend> makeInMemory() {
    return std::make_unique<InMemoryBackend>();
}

using hktest::RegistryApiContract;
INSTANTIATE_TEST_SUITE_P(InMemory, RegistryApiContract,
                         testing::Values(hktest::BackendFactory{"InMemory", &makeInMemory}),
                         hktest::backendName);

} // namespace
