// Test code that must run as an ordinary user (root passes every permission check): a child
// process gives root up first and reports back. POSIX only.
#ifndef HK_TESTS_UNPRIVILEGED_H
#define HK_TESTS_UNPRIVILEGED_H

#include <gtest/gtest.h>

#include <grp.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

namespace hktest {

// Who the child becomes when the suite runs as root; ids need no entry in /etc/passwd.
struct Identity {
    uid_t user = 65534;  // nobody
    gid_t group = 65534; // nogroup
    std::vector<gid_t> groups;
};

// The identity `runUnprivileged` gives the child: `who` as root, this process's own otherwise.
inline Identity unprivileged(Identity who = {}) {
    if (::geteuid() != 0) {
        who.user = ::geteuid();
        who.group = ::getegid();
    }
    return who;
}

namespace detail {
inline int failedParts() {
    const ::testing::TestResult* result =
        ::testing::UnitTest::GetInstance()->current_test_info()->result();
    int failed = 0;
    for (int i = 0; i < result->total_part_count(); ++i) {
        failed += result->GetTestPartResult(i).failed();
    }
    return failed;
}
} // namespace detail

// Runs `body` in a forked child, as `who` when this process is root (else as this user), with
// no groups but `who.groups`. Fails when `body` failed an assertion there (its messages are
// printed by the child) or the child could not become `who`.
inline ::testing::AssertionResult runUnprivileged(const std::function<void()>& body,
                                                  const Identity& who = {}) {
    const int failedBefore = detail::failedParts();
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child < 0) {
        return ::testing::AssertionFailure() << "fork: " << std::strerror(errno);
    }
    if (child == 0) {
        if (::geteuid() == 0 && (::setgroups(who.groups.size(), who.groups.data()) != 0 ||
                                 ::setgid(who.group) != 0 || ::setuid(who.user) != 0)) {
            std::_Exit(2);
        }
        try {
            body();
        } catch (...) {
            std::fflush(nullptr);
            std::_Exit(3);
        }
        std::fflush(nullptr);
        std::_Exit(detail::failedParts() > failedBefore ? 1 : 0);
    }
    int status = 0;
    if (::waitpid(child, &status, 0) != child) {
        return ::testing::AssertionFailure() << "waitpid: " << std::strerror(errno);
    }
    const char* const outcomes[] = {nullptr, "failed (see above)", "could not become that user",
                                    "threw"};
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        return ::testing::AssertionSuccess();
    }
    const Identity as = unprivileged(who);
    ::testing::AssertionResult failure = ::testing::AssertionFailure();
    failure << "the child as uid " << as.user << " gid " << as.group << " ";
    if (WIFEXITED(status) && WEXITSTATUS(status) < 4) {
        return failure << outcomes[WEXITSTATUS(status)];
    }
    return WIFSIGNALED(status) ? failure << "ended by signal " << WTERMSIG(status)
                               : failure << "exited with " << WEXITSTATUS(status);
}

} // namespace hktest

#endif // HK_TESTS_UNPRIVILEGED_H
