// One cached host key's value name, "<key type>@<port>:<host name>", split into its parts.
#ifndef HKPRUNE_FINGERPRINTNAME_H
#define HKPRUNE_FINGERPRINTNAME_H

#include <string>

class FingerprintName {
public:
    // Three empty parts; not valid.
    FingerprintName() = default;
    // Parses a value name: key type up to the first "@", port up to the first ":" after it,
    // host name the rest. Valid when there is an "@", a ":" after it and something after that.
    explicit FingerprintName(const std::string& valueName);

    // Each setter stores the text as given and makes the name valid exactly when all three
    // parts are non-empty.
    void setKeyType(const std::string& text);
    void setHostName(const std::string& text);
    void setPort(const std::string& text);

    std::string getKeyType() const { return keyType; }
    std::string getHostName() const { return hostName; }
    std::string getPort() const { return port; }
    bool isValid() const { return valid; }

    // "<key type>@<port>:<host name>" when valid, otherwise empty.
    std::string toString() const;

    // True when `valueName` parses as valid and agrees with every non-empty part of this one:
    // empty parts are wildcards; bytes are compared exactly (ports as text, case kept).
    bool matches(const std::string& valueName) const;

private:
    void updateValidity();

    std::string keyType;
    std::string hostName;
    std::string port;
    bool valid = false;
};

#endif // HKPRUNE_FINGERPRINTNAME_H
