#include "PAL/File.h"

#include "PAL/LogUtil.h"
#include "support/ScopedLogSettings.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <io.h>
#include <sys/stat.h>

namespace {

TEST(FileWindows, ARemoveOfAReadOnlyFileIsDeniedWithMinusOne) {
    hktest::ScopedLogSettings saved;
    PAL::setLogFileName("");
    PAL::setTraceFileName("");
    hktest::TempDir dir;
    const std::string path = dir.file("readonly.txt");
    hktest::writeFile(path, "x");
    ASSERT_EQ(0, ::_chmod(path.c_str(), _S_IREAD));
    const int result = PAL::File(path).remove();
    ::_chmod(path.c_str(), _S_IREAD | _S_IWRITE);
    EXPECT_EQ(-1, result);
    EXPECT_EQ("x", hktest::readFile(path));
}

TEST(FileWindows, DriveAndBackslashesComeFromTheRunTime) {
    hktest::ScopedLogSettings saved;
    PAL::setLogFileName("");
    const PAL::File file("C:\\temp\\..\\bin\\tool.exe\\");
    EXPECT_EQ("C:\\bin\\tool.exe", file.getPath());
    EXPECT_EQ("tool.exe", file.getFileName());
    EXPECT_EQ("C:\\temp", PAL::File("C:/temp\\").getPath());
}

} // namespace
