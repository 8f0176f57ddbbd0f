// Listing a host-key cache of n values through PAL::RegistryKey on the in-memory registry. Each
// index costs one info query and one enumeration call, so the whole should grow linearly.
#include "PAL/Registry.h"

#include "support/InMemoryRegistry.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

const char* const CachePath = "Software\\SimonTatham\\PuTTY\\SshHostKeys";

void BM_GetValueNames(benchmark::State& state) {
    const auto count = static_cast<std::size_t>(state.range(0));
    hktest::InMemoryRegistry registry;
    for (std::size_t i = 0; i < count; ++i) {
        registry.setValue(0x80000001u, CachePath,
                          "ssh-ed25519@22:host" + std::to_string(i) + ".example.org",
                          "0x4547,0x2560");
    }
    hktest::ScopedRegistryApi use(registry);
    PAL::RegistryKey key(
        PAL::RegistryKeyDescriptor(PAL::RegistryConstants::CurrentUser, CachePath));

    for (auto _ : state) {
        std::vector<std::string> names = key.getValueNames();
        if (names.size() != count) {
            state.SkipWithError("names missing");
            break;
        }
        benchmark::DoNotOptimize(names.data());
    }
    state.SetComplexityN(state.range(0));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

BENCHMARK(BM_GetValueNames)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);

} // namespace
