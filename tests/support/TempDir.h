// A fresh directory under the system's temp directory, removed with everything in it on
// destruction; ScopedCwd makes a directory current for a while.
#ifndef HK_TESTS_TEMPDIR_H
#define HK_TESTS_TEMPDIR_H

#include <filesystem>
#include <string>

namespace hktest {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return dir; }
    // Path of `name` inside the directory, as text.
    std::string file(const std::string& name) const { return (dir / name).string(); }

private:
    std::filesystem::path dir;
};

class ScopedCwd {
public:
    explicit ScopedCwd(const std::filesystem::path& dir);
    ~ScopedCwd();
    ScopedCwd(const ScopedCwd&) = delete;
    ScopedCwd& operator=(const ScopedCwd&) = delete;

private:
    std::filesystem::path previous;
};

// Whole contents of a file ("" when it cannot be read); bytes unchanged.
std::string readFile(const std::string& path);
// Replaces a file's contents with `bytes` exactly.
void writeFile(const std::string& path, const std::string& bytes);

} // namespace hktest

#endif // HK_TESTS_TEMPDIR_H
