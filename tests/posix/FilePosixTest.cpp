#include "PAL/File.h"

#include "PAL/LogUtil.h"
#include "support/ScopedLogSettings.h"
#include "support/TempDir.h"
#include "support/Unprivileged.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Results that only real permissions and limits produce; the logs stay off so that no record
// needs a descriptor of its own.
class FileErrors : public testing::Test {
protected:
    FileErrors() {
        PAL::setLogFileName("");
        PAL::setTraceFileName("");
    }
    hktest::ScopedLogSettings saved;
    hktest::TempDir dir;
};

TEST_F(FileErrors, TheNewFileIsForItsOwnerOnly) {
    const mode_t previous = ::umask(0);
    PAL::File file(dir.file("mine"));
    const int result = file.create(true);
    ::umask(previous);
    ASSERT_EQ(0, result);
    struct stat info {};
    ASSERT_EQ(0, ::stat(dir.file("mine").c_str(), &info));
    EXPECT_EQ(static_cast<mode_t>(S_IRUSR | S_IWUSR), info.st_mode & 0777);
}

TEST_F(FileErrors, OtherErrorNumbersAreReturnedAsTheyAre) {
    hktest::writeFile(dir.file("plain"), "");
    EXPECT_EQ(ENOTDIR, PAL::File(dir.file("plain") + "/inner").create(true));
    EXPECT_EQ(ENOTDIR, PAL::File(dir.file("plain") + "/inner").remove());
    ASSERT_EQ(0, ::mkdir(dir.file("sub").c_str(), 0700));
    EXPECT_EQ(EISDIR, PAL::File(dir.file("sub")).remove());
}

TEST_F(FileErrors, NoFreeDescriptorIsMinusSeven) {
    rlimit previous{};
    ASSERT_EQ(0, ::getrlimit(RLIMIT_NOFILE, &previous));
    // Everything but the call itself happens first: with no descriptor to spare, even a
    // sanitizer's own checks of the fixture can fail.
    PAL::File file(dir.file("nofd"));
    rlimit none = previous;
    none.rlim_cur = 0;
    ASSERT_EQ(0, ::setrlimit(RLIMIT_NOFILE, &none));
    const int result = file.create(true);
    ::setrlimit(RLIMIT_NOFILE, &previous);
    EXPECT_EQ(-7, result);
}

TEST_F(FileErrors, AnAbsolutePathMayHoldExactly260Characters) {
    const std::string base = dir.path().string() + "/";
    const std::string fits = base + std::string(260 - base.size(), 'f');
    EXPECT_EQ(fits, PAL::File(fits).getPath());
    const std::string relative = std::string(261 - base.size(), 'g');
    hktest::ScopedCwd cwd(dir.path());
    EXPECT_EQ(relative, PAL::File(relative).getPath());
}

// Root ignores file modes: as "nobody" the child may neither create nor delete in a directory
// that root owns (this user's own, made read-only, when the suite runs unprivileged).
TEST_F(FileErrors, AccessDeniedIsMinusOne) {
    hktest::writeFile(dir.file("owned"), "x");
    ASSERT_EQ(0, ::chmod(dir.path().c_str(), ::geteuid() == 0 ? 0755 : 0555));
    EXPECT_TRUE(hktest::runUnprivileged([&] {
        EXPECT_EQ(-1, PAL::File(dir.file("denied")).create(true));
        EXPECT_EQ(-1, PAL::File(dir.file("owned")).remove());
    }));
    ::chmod(dir.path().c_str(), 0755);
}

} // namespace
