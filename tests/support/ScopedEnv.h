// Sets or unsets one environment variable and restores its earlier state on destruction.
#ifndef HK_TESTS_SCOPEDENV_H
#define HK_TESTS_SCOPEDENV_H

#include <optional>
#include <string>

namespace hktest {

class ScopedEnv {
public:
    // `value` empty optional: unset the variable.
    ScopedEnv(const std::string& name, const std::optional<std::string>& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name;
    std::optional<std::string> previous;
};

// Portable setenv/unsetenv (putenv-style on Windows).
void setEnv(const std::string& name, const std::optional<std::string>& value);

} // namespace hktest

#endif // HK_TESTS_SCOPEDENV_H
