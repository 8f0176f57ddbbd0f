// The whole program in-process on caches of 1 K to 1 M values: listing everything, listing with
// a filter that matches one name, and deleting one name. Each should grow linearly.
#include "HkPrune.h"

#include "support/ExitTrap.h"
#include "support/InMemoryRegistry.h"
#include "support/ScopedLogSettings.h"
#include "support/StdoutCapture.h"

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

namespace {

constexpr std::uint32_t Users = 0x80000003u;
const std::string DefaultPath = ".DEFAULT\\Software\\SimonTatham\\PuTTY\\SshHostKeys";

std::string hostName(std::int64_t i) {
    return "host" + std::to_string(i) + ".example.org";
}

void seed(hktest::InMemoryRegistry& registry, std::int64_t count) {
    for (std::int64_t i = 0; i < count; ++i) {
        registry.setValue(Users, DefaultPath, "ssh-ed25519@22:" + hostName(i), "0x1,0x2");
    }
}

int runOnce(const std::vector<const char*>& argv) {
    hktest::StdoutCapture capture;
    hktest::ExitTrap trap;
    try {
        return hkpruneMain(static_cast<int>(argv.size()), argv.data());
    } catch (const hktest::ExitCalled& exit) {
        return exit.status;
    }
}

void listAll(benchmark::State& state) {
    hktest::ScopedLogSettings logSettings;
    hktest::InMemoryRegistry registry;
    hktest::ScopedRegistryApi api(registry);
    seed(registry, state.range(0));
    for (auto _ : state) {
        benchmark::DoNotOptimize(runOnce({"hkprune", "-l"}));
    }
    state.SetComplexityN(state.range(0));
}
BENCHMARK(listAll)
    ->RangeMultiplier(10)
    ->Range(1000, 1000000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity();

void listOneHost(benchmark::State& state) {
    hktest::ScopedLogSettings logSettings;
    hktest::InMemoryRegistry registry;
    hktest::ScopedRegistryApi api(registry);
    seed(registry, state.range(0));
    const std::string host = hostName(state.range(0) / 2);
    for (auto _ : state) {
        benchmark::DoNotOptimize(runOnce({"hkprune", "-l", host.c_str()}));
    }
    state.SetComplexityN(state.range(0));
}
BENCHMARK(listOneHost)
    ->RangeMultiplier(10)
    ->Range(1000, 1000000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity();

void deleteOne(benchmark::State& state) {
    hktest::ScopedLogSettings logSettings;
    hktest::InMemoryRegistry registry;
    hktest::ScopedRegistryApi api(registry);
    seed(registry, state.range(0));
    const std::string host = hostName(state.range(0) / 2);
    // The value the loop deletes and puts back.
    const std::string name = "ssh@22:" + host;
    registry.setValue(Users, DefaultPath, name, "0x1,0x2");
    for (auto _ : state) {
        benchmark::DoNotOptimize(runOnce({"hkprune", "-d", "-t", "ssh", "-p", "22", host.c_str()}));
        state.PauseTiming();
        registry.setValue(Users, DefaultPath, name, "0x1,0x2");
        state.ResumeTiming();
    }
    state.SetComplexityN(state.range(0));
}
BENCHMARK(deleteOne)
    ->RangeMultiplier(10)
    ->Range(1000, 1000000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity();

} // namespace
