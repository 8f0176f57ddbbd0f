// Listing a host-key cache of n values through PAL::RegistryKey on the in-memory registry: an
// info query before and after one enumeration call per index, so the whole should grow
// linearly, also when one name is very long. One pass visits the names one at a time and holds
// none of them.
#include "PAL/Registry.h"

#include "support/InMemoryRegistry.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

const char* const CachePath = "Software\\SimonTatham\\PuTTY\\SshHostKeys";

// range(1): length of one extra, garbage name among the values (0: none). Its length sets the
// name buffer's size for every entry read.
void BM_ForEachValueName(benchmark::State& state) {
    const auto count = static_cast<std::size_t>(state.range(0));
    const auto longName = static_cast<std::size_t>(state.range(1));
    hktest::InMemoryRegistry registry;
    std::size_t expected = count;
    if (longName > 0) {
        registry.setValue(0x80000001u, CachePath, std::string(longName, 'x'));
        ++expected;
    }
    for (std::size_t i = 0; i < count; ++i) {
        registry.setValue(0x80000001u, CachePath,
                          "ssh-ed25519@22:host" + std::to_string(i) + ".example.org",
                          "0x4547,0x2560");
    }
    hktest::ScopedRegistryApi use(registry);
    PAL::RegistryKey key(
        PAL::RegistryKeyDescriptor(PAL::RegistryConstants::CurrentUser, CachePath));

    for (auto _ : state) {
        std::size_t names = 0;
        key.forEachValueName([&names](const std::string& name) {
            benchmark::DoNotOptimize(name.data());
            ++names;
        });
        if (names != expected) {
            state.SkipWithError("names missing");
            break;
        }
    }
    state.SetComplexityN(state.range(0));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

BENCHMARK(BM_ForEachValueName)
    ->Args({1000, 0})
    ->Args({10000, 0})
    ->Args({100000, 0})
    ->Args({1000000, 0})
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);

// A cache holding one name of a megabyte, as a corrupt host-key file can.
BENCHMARK(BM_ForEachValueName)
    ->Args({1000, 1 << 20})
    ->Args({10000, 1 << 20})
    ->Unit(benchmark::kMillisecond);

} // namespace
