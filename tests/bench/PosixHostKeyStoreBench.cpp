// Listing and deleting through the host-key store at 1 K to 1 M lines: open + count + every
// name (what hkprune -c -l does), one name by index (the next, and one far away), and a delete
// of a line in the middle (what hkprune -c -d does). Listing and deleting should grow linearly
// with the file, the next index not at all.
#include "../posix/HostKeyStoreTesting.h"

#include "support/ScopedEnv.h"
#include "support/TempDir.h"

#include <benchmark/benchmark.h>

#include <filesystem>

namespace {

using PAL::RegistryApi;
using PAL::detail::PosixHostKeyStore;

std::string hostName(std::int64_t i) {
    return "host" + std::to_string(i) + ".example.net";
}

// A file as plink writes it: ed25519 keys with a few RSA ones between them.
std::string hostKeys(std::int64_t lines) {
    std::string text;
    for (std::int64_t i = 0; i < lines; ++i) {
        if (i % 10 == 3) {
            text += "rsa2@22:" + hostName(i) + " 0x10001,0x" + std::string(512, 'c') + "\n";
        } else {
            text += "ssh-ed25519@22:" + hostName(i) + " 0x" + std::string(64, 'a') + ",0x" +
                    std::string(64, 'b') + "\n";
        }
    }
    return text;
}

struct Fixture {
    explicit Fixture(std::int64_t lines)
        : path(dir.file("sshhostkeys")), env("PUTTYSSHHOSTKEYS", path), bytes(hostKeys(lines)),
          middle("ssh-ed25519@22:" + hostName(lines / 2)) {
        hktest::writeFile(path, bytes);
    }
    hktest::TempDir dir;
    std::string path;
    hktest::ScopedEnv env;
    std::string bytes;
    std::string middle;
    PosixHostKeyStore store;
};

void openAndList(benchmark::State& state) {
    Fixture f(state.range(0));
    for (auto _ : state) {
        auto names = hktest::listNames(f.store);
        benchmark::DoNotOptimize(names.data());
    }
    state.SetComplexityN(state.range(0));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// Every value by name alone, `step` indices apart: 1 is the way a listing walks; a far jump
// back rescans from the start, linear in the file by design.
void enumValues(benchmark::State& state, std::uint32_t step) {
    Fixture f(state.range(0));
    RegistryApi::Handle key = RegistryApi::NotOpen;
    f.store.openKey(hktest::currentUser(), hktest::cachePath(), &key);
    char name[256];
    std::uint32_t index = 0;
    for (auto _ : state) {
        std::uint32_t length = sizeof name;
        benchmark::DoNotOptimize(
            f.store.enumValue(key, index, name, &length, nullptr, nullptr, nullptr));
        index = (index + step) % static_cast<std::uint32_t>(state.range(0));
    }
    f.store.closeKey(key);
    state.SetComplexityN(state.range(0));
}
void enumNextValue(benchmark::State& state) {
    enumValues(state, 1);
}
void enumFarValue(benchmark::State& state) {
    enumValues(state, 7919);
}

void deleteOne(benchmark::State& state) {
    Fixture f(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        hktest::writeFile(f.path, f.bytes);
        state.ResumeTiming();
        if (hktest::deleteName(f.store, f.middle.c_str()) != RegistryApi::Success) {
            state.SkipWithError("delete failed");
            break;
        }
    }
    state.SetComplexityN(state.range(0));
}

BENCHMARK(openAndList)
    ->RangeMultiplier(10)
    ->Range(1000, 1000000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity();
BENCHMARK(enumNextValue)->RangeMultiplier(10)->Range(1000, 1000000)->Complexity();
BENCHMARK(enumFarValue)->RangeMultiplier(10)->Range(1000, 100000)->Complexity();
BENCHMARK(deleteOne)
    ->RangeMultiplier(10)
    ->Range(1000, 1000000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity();

} // namespace
