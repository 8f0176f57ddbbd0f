// The layer's exceptions: each is a standard exception (what() holds the whole text) and a
// PAL::Exception (code, location, and a link back to the standard part) at once.
#ifndef PAL_EXCEPTION_H
#define PAL_EXCEPTION_H

#include "PAL/RegistryKeyDescriptor.h"

#include <cstdint>
#include <exception>
#include <ostream>
#include <stdexcept>
#include <string>

namespace PAL {

class Exception {
public:
    // `link` is the standard part of the complete object under construction.
    Exception(int errorCode, const std::exception* standardPart, const std::string& where);
    virtual ~Exception();

    // The what() text of the linked standard part.
    std::string getMessage() const;
    int getCode() const { return code; }
    std::string getLocation() const { return location; }

protected:
    // Concrete classes re-point the link at themselves when copied.
    Exception(const Exception& other) = default;
    Exception& operator=(const Exception& other) = default;
    void relink(const std::exception* self) { link = self; }

private:
    std::int32_t code;
    const std::exception* link;
    std::string location;
};

// Writes getMessage(), nothing more.
std::ostream& operator<<(std::ostream& out, const Exception& e);

namespace detail {
// location + " : " + message + " : (" + code as unsigned 32-bit decimal + ")".
std::string composeExceptionText(const std::string& message, int errorCode,
                                 const std::string& where);
} // namespace detail

class RuntimeError : public std::runtime_error, public Exception {
public:
    RuntimeError(const std::string& message, int errorCode, const std::string& where);
    RuntimeError(const RuntimeError& other);
    RuntimeError& operator=(const RuntimeError& other);
    ~RuntimeError() override;
};

class InvalidArgument : public std::invalid_argument, public Exception {
public:
    InvalidArgument(const std::string& message, int errorCode, const std::string& where);
    InvalidArgument(const InvalidArgument& other);
    InvalidArgument& operator=(const InvalidArgument& other);
    ~InvalidArgument() override;
};

class RegistryKeyError : public RuntimeError {
public:
    RegistryKeyError(const RegistryKeyDescriptor& key, const std::string& message, int errorCode,
                     const std::string& where);
    RegistryKeyError(const RegistryKeyError& other) = default;
    RegistryKeyError& operator=(const RegistryKeyError& other) = default;
    ~RegistryKeyError() override;

    const RegistryKeyDescriptor& getKey() const { return key; }

private:
    RegistryKeyDescriptor key;
};

} // namespace PAL

#endif // PAL_EXCEPTION_H
