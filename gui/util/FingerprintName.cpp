#include "FingerprintName.h"

FingerprintName::FingerprintName(const std::string& valueName) {
    const std::string::size_type at = valueName.find('@');
    if (at == std::string::npos) {
        return;
    }
    keyType = valueName.substr(0, at);
    const std::string::size_type colon = valueName.find(':', at);
    if (colon == std::string::npos) {
        return;
    }
    port = valueName.substr(at + 1, colon - at - 1);
    if (colon + 1 == valueName.size()) {
        return;
    }
    // Whatever follows, further ":" and "@" included, is the host name.
    hostName = valueName.substr(colon + 1);
    valid = true;
}

void FingerprintName::setKeyType(const std::string& text) {
    keyType = text;
    updateValidity();
}

void FingerprintName::setHostName(const std::string& text) {
    hostName = text;
    updateValidity();
}

void FingerprintName::setPort(const std::string& text) {
    port = text;
    updateValidity();
}

void FingerprintName::updateValidity() {
    valid = !keyType.empty() && !hostName.empty() && !port.empty();
}

std::string FingerprintName::toString() const {
    if (!valid) {
        return std::string();
    }
    return keyType + "@" + port + ":" + hostName;
}

bool FingerprintName::matches(const std::string& valueName) const {
    const FingerprintName candidate(valueName);
    if (!candidate.valid) {
        return false;
    }
    if (!keyType.empty() && keyType != candidate.keyType) {
        return false;
    }
    if (!hostName.empty() && hostName != candidate.hostName) {
        return false;
    }
    if (!port.empty() && port != candidate.port) {
        return false;
    }
    return true;
}
