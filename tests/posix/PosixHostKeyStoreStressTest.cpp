// Deletes while another process keeps adding keys the way PuTTY does (no lock: copy to
// <file>.tmp, rename). The store swaps its file in only while no .tmp is under way and looks
// again after the swap, so no key that the writer added is lost, no delete reported as done is
// undone by the writer, lines stay whole, and statuses say what happened.
#include "HostKeyStoreTesting.h"

#include "support/ScopedEnv.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <iostream>
#include <iterator>
#include <new>
#include <set>
#include <sstream>
#include <thread>

namespace {

using PAL::RegistryApi;
using PAL::detail::PosixHostKeyStore;

constexpr int Rounds = 1000;

std::string keyData(const std::string& name) {
    return "0x" + std::to_string(std::hash<std::string>{}(name)) + ",0x10001";
}
std::string line(const std::string& name) {
    return name + " " + keyData(name);
}
std::string deletedName(int i) {
    return "del" + std::to_string(i) + "@22:host";
}
std::string addedName(unsigned j) {
    return "add" + std::to_string(j) + "@22:host";
}

// Shared with the writer process.
struct WriterState {
    std::atomic<bool> stop;
    std::atomic<unsigned> added;
    std::atomic<unsigned> round; // of the store's changes
};

// A process that adds keys the way PuTTY does, two per round of the store's changes, as soon
// as the round starts, so that the two keep crossing (and the file stays the same size,
// whatever the machine's speed).
class PuTTYWriter {
public:
    explicit PuTTYWriter(const std::string& path) {
        void* shared = mmap(nullptr, sizeof(WriterState), PROT_READ | PROT_WRITE,
                            MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (shared == MAP_FAILED) {
            ADD_FAILURE() << "no shared memory";
            return;
        }
        state = new (shared) WriterState{{false}, {0}, {0}};
        pid = fork();
        if (pid == 0) {
            while (!state->stop) {
                unsigned j = state->added;
                if (j < 2 * (state->round + 1)) {
                    hktest::puttyAdd(path, line(addedName(j)));
                    state->added = j + 1;
                } else {
                    std::this_thread::sleep_for(std::chrono::microseconds(50));
                }
            }
            _exit(0);
        }
        EXPECT_GE(pid, 0);
    }
    ~PuTTYWriter() { stop(); }
    PuTTYWriter(const PuTTYWriter&) = delete;
    PuTTYWriter& operator=(const PuTTYWriter&) = delete;

    void startRound(int i) {
        if (state) {
            state->round = static_cast<unsigned>(i);
        }
    }
    // Stops the writer; the number of keys it added.
    unsigned stop() {
        if (pid > 0) {
            state->stop = true;
            int status = 0;
            EXPECT_EQ(pid, waitpid(pid, &status, 0));
            pid = -1;
        }
        if (state) {
            added = state->added;
            munmap(state, sizeof(WriterState));
            state = nullptr;
        }
        return added;
    }

private:
    WriterState* state = nullptr;
    pid_t pid = -1;
    unsigned added = 0;
};

// The names in the file; every line must be one whole line that one of the two wrote.
std::set<std::string> namesPresent(const std::string& path) {
    std::set<std::string> present;
    std::istringstream text(hktest::readFile(path));
    std::string got;
    while (std::getline(text, got)) {
        std::string name = got.substr(0, got.find(' '));
        EXPECT_EQ(line(name), got) << "a torn or foreign line";
        EXPECT_TRUE(present.insert(name).second) << "a duplicate: " << name;
    }
    return present;
}

unsigned lostOf(const std::set<std::string>& present, unsigned added) {
    unsigned lost = 0;
    for (unsigned j = 0; j < added; ++j) {
        lost += present.count(addedName(j)) == 0;
    }
    return lost;
}

TEST(HostKeyStoreStress, DeletesWhilePuTTYAddsKeys) {
    hktest::TempDir dir;
    const std::string path = dir.file("sshhostkeys");
    hktest::ScopedEnv env("PUTTYSSHHOSTKEYS", path);
    std::string initial;
    for (int i = 0; i < Rounds; ++i) {
        initial += line(deletedName(i)) + "\n";
    }
    hktest::writeFile(path, initial);

    PuTTYWriter writer(path);
    hktest::FaultyFiles files; // no faults: it counts the calls
    PosixHostKeyStore store(files);
    std::map<RegistryApi::Status, int> statuses;
    std::vector<RegistryApi::Status> results;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < Rounds; ++i) {
        writer.startRound(i);
        results.push_back(hktest::deleteName(store, deletedName(i).c_str()));
        ++statuses[results.back()];
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    const unsigned added = writer.stop();

    const std::set<std::string> present = namesPresent(path);
    const unsigned lost = lostOf(present, added);
    unsigned undone = 0;
    for (int i = 0; i < Rounds; ++i) {
        undone += results[static_cast<std::size_t>(i)] == 0 && present.count(deletedName(i));
    }
    // 0: deleted. 32: the file changed under every attempt. Never 2: every key deleted was
    // there when its delete began, and a copy of the store's own file that lacks it is the
    // store's doing.
    for (const auto& entry : statuses) {
        EXPECT_TRUE(entry.first == 0 || entry.first == 32) << "status " << entry.first;
    }
    // Nothing of the store's is left behind: only the file itself.
    EXPECT_EQ(std::vector<std::string>{"sshhostkeys"}, hktest::entries(dir.path()));

    std::ostringstream report;
    report << Rounds << " deletes (" << files.calls(hktest::Call::CreateTemp)
           << " new files written, " << files.calls(hktest::Call::Exchange) << " exchanges) in "
           << std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()
           << " ms while PuTTY-style adds ran: " << added << " keys added, " << lost
           << " of them lost; " << undone
           << " keys deleted with success written back by the adder; statuses";
    for (const auto& entry : statuses) {
        report << " " << entry.first << "x" << entry.second;
    }
    std::cout << report.str() << std::endl;
    EXPECT_EQ(0u, lost) << "keys the writer added and a delete lost";
    EXPECT_EQ(0u, undone) << "keys deleted with success that the writer put back";
    RecordProperty("added", static_cast<int>(added));
    RecordProperty("lost", static_cast<int>(lost));
    RecordProperty("undone", static_cast<int>(undone));
}

// A removal of several hosts at once, every type and port of each, as `hkcache remove` makes
// it: one batch per round, and only what it names goes.
TEST(HostKeyStoreStress, BatchesRemovingHostsWhilePuTTYAddsKeys) {
    constexpr int Batches = 200;
    constexpr int HostsPerBatch = 3;
    const char* const types[] = {"rsa2@22:", "ssh-ed25519@22:", "ecdsa-sha2-nistp256@2222:"};
    auto host = [](int i) { return "h" + std::to_string(i) + ".example"; };
    hktest::TempDir dir;
    const std::string path = dir.file("sshhostkeys");
    hktest::ScopedEnv env("PUTTYSSHHOSTKEYS", path);
    std::string initial;
    for (int i = 0; i < Batches * HostsPerBatch; ++i) {
        for (const char* type : types) {
            initial += line(type + host(i)) + "\n";
        }
    }
    hktest::writeFile(path, initial);

    PuTTYWriter writer(path);
    PosixHostKeyStore store;
    std::vector<std::vector<std::string>> asked(Batches);
    std::vector<RegistryApi::Status> results;
    for (int b = 0; b < Batches; ++b) {
        for (int i = b * HostsPerBatch; i < (b + 1) * HostsPerBatch; ++i) {
            for (const char* type : types) {
                asked[static_cast<std::size_t>(b)].push_back(type + host(i));
            }
        }
        writer.startRound(b);
        RegistryApi::Handle key = RegistryApi::NotOpen;
        RegistryApi::Status status =
            store.openKey(hktest::currentUser(), hktest::cachePath(), &key);
        if (status == RegistryApi::Success) {
            status = store.applyChanges(key, asked[static_cast<std::size_t>(b)],
                                        std::vector<RegistryApi::ValueText>{}, nullptr);
            store.closeKey(key);
        }
        results.push_back(status);
    }
    const unsigned added = writer.stop();

    const std::set<std::string> present = namesPresent(path);
    EXPECT_EQ(0u, lostOf(present, added)) << "keys the writer added and a batch lost";
    unsigned stayed = 0;
    int failed = 0;
    for (int b = 0; b < Batches; ++b) {
        const RegistryApi::Status status = results[static_cast<std::size_t>(b)];
        EXPECT_TRUE(status == 0 || status == 32) << "status " << status;
        failed += status != 0;
        for (const std::string& name : asked[static_cast<std::size_t>(b)]) {
            stayed += status == 0 && present.count(name);
        }
    }
    EXPECT_EQ(0u, stayed) << "names removed with success that are still there";
    // Every name left is one the writer added or one of a batch that failed as a whole.
    EXPECT_EQ(added + static_cast<unsigned>(failed * HostsPerBatch) * std::size(types),
              present.size());
    EXPECT_EQ(std::vector<std::string>{"sshhostkeys"}, hktest::entries(dir.path()));
}

} // namespace
