#include "PAL/Exception.h"

#include <cstdint>

namespace PAL {

Exception::Exception(int errorCode, const std::exception* standardPart, const std::string& where)
    : code(errorCode), link(standardPart), location(where) {}

Exception::~Exception() = default;

std::string Exception::getMessage() const {
    return link ? std::string(link->what()) : std::string();
}

std::ostream& operator<<(std::ostream& out, const Exception& e) {
    return out << e.getMessage();
}

namespace detail {
std::string composeExceptionText(const std::string& message, int code,
                                 const std::string& location) {
    // Codes are Windows statuses: shown unsigned, so -1 reads 4294967295.
    return location + " : " + message + " : (" + std::to_string(static_cast<std::uint32_t>(code)) +
           ")";
}
} // namespace detail

RuntimeError::RuntimeError(const std::string& message, int errorCode, const std::string& where)
    : std::runtime_error(detail::composeExceptionText(message, errorCode, where)),
      Exception(errorCode, this, where) {}

// A copy must point at its own standard part, not at the object it was copied from.
RuntimeError::RuntimeError(const RuntimeError& other)
    : std::runtime_error(other), Exception(other) {
    relink(this);
}

RuntimeError& RuntimeError::operator=(const RuntimeError& other) {
    std::runtime_error::operator=(other);
    Exception::operator=(other);
    relink(this);
    return *this;
}

RuntimeError::~RuntimeError() = default;

InvalidArgument::InvalidArgument(const std::string& message, int errorCode,
                                 const std::string& where)
    : std::invalid_argument(detail::composeExceptionText(message, errorCode, where)),
      Exception(errorCode, this, where) {}

InvalidArgument::InvalidArgument(const InvalidArgument& other)
    : std::invalid_argument(other), Exception(other) {
    relink(this);
}

InvalidArgument& InvalidArgument::operator=(const InvalidArgument& other) {
    std::invalid_argument::operator=(other);
    Exception::operator=(other);
    relink(this);
    return *this;
}

InvalidArgument::~InvalidArgument() = default;

RegistryKeyError::RegistryKeyError(const RegistryKeyDescriptor& failedKey,
                                   const std::string& message, int errorCode,
                                   const std::string& where)
    : RuntimeError(message, errorCode, where), key(failedKey) {}

RegistryKeyError::~RegistryKeyError() = default;

} // namespace PAL
