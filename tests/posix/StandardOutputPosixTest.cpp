// Standard output that cannot be written, as a shell sets it up: the run fails with -1 and says
// so in one line on standard error, as other command-line tools do.
#include "HkCache.h"
#include "HkPrune.h"

#include "support/HkCacheRun.h"

#include "support/InMemoryRegistry.h"
#include "support/ScopedLogSettings.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

struct UnwritableRow {
    const char* how;
    void (*arrange)();
    const char* line;
};

void toDevFull() {
    std::freopen("/dev/full", "w", stdout);
}

void closed() {
    close(STDOUT_FILENO);
}

TEST(StandardOutputDeathTest, AWriteErrorFailsTheRunWithOneLine) {
    hktest::ScopedLogSettings logSettings;
    hktest::InMemoryRegistry registry;
    hktest::ScopedRegistryApi api(registry);
    registry.setValue(0x80000001u, "Software\\SimonTatham\\PuTTY\\SshHostKeys", "rsa2@22:host1");
    const UnwritableRow rows[] = {
        {"> /dev/full", toDevFull, "^hkprune: write error: No space left on device\n$"},
        {">&-", closed, "^hkprune: write error: Bad file descriptor\n$"},
    };
    const char* const lines[][3] = {{"hkprune", "-c", "-l"}, {"hkprune", "-q", nullptr}};
    for (const UnwritableRow& row : rows) {
        for (const auto& argv : lines) {
            SCOPED_TRACE(std::string(row.how) + " " + argv[1]);
            const int argc = argv[2] ? 3 : 2;
            EXPECT_EXIT(
                {
                    row.arrange();
                    std::exit(hkpruneMain(argc, argv));
                },
                testing::ExitedWithCode(255), row.line);
        }
    }
}

TEST(StandardOutputDeathTest, AListingLostToAFullDiskFailsTheRun) {
    hktest::InMemoryRegistry registry;
    hktest::ScopedRegistryApi api(registry);
    registry.setValue(hktest::CurrentUser, hktest::CachePath, "rsa2@22:host1", hktest::KeyA);
    char program[] = "hkcache", list[] = "list";
    char* argv[] = {program, list, nullptr};
    EXPECT_EXIT((toDevFull(), std::exit(hkcacheMain(2, argv))), testing::ExitedWithCode(2),
                "^hkcache: write error: No space left on device\n$");
}

} // namespace
