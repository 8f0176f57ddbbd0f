#include "support/ScopedEnv.h"

#include <cstdlib>

namespace hktest {

void setEnv(const std::string& name, const std::optional<std::string>& value) {
#ifdef _WIN32
    // "NAME=" removes the variable; _putenv_s cannot store an empty value either way.
    _putenv_s(name.c_str(), value ? value->c_str() : "");
#else
    if (value) {
        ::setenv(name.c_str(), value->c_str(), 1);
    } else {
        ::unsetenv(name.c_str());
    }
#endif
}

ScopedEnv::ScopedEnv(const std::string& variable, const std::optional<std::string>& value)
    : name(variable) {
    if (const char* old = std::getenv(name.c_str())) {
        previous = old;
    }
    setEnv(name, value);
}

ScopedEnv::~ScopedEnv() {
    setEnv(name, previous);
}

} // namespace hktest
