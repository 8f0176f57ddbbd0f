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
    // Parsed as the constructor parses, but compared in place: a listing calls this per value.
    const std::string::size_type at = valueName.find('@');
    if (at == std::string::npos) {
        return false;
    }
    const std::string::size_type colon = valueName.find(':', at);
    if (colon == std::string::npos || colon + 1 == valueName.size()) {
        return false;
    }
    if (!keyType.empty() && valueName.compare(0, at, keyType) != 0) {
        return false;
    }
    if (!hostName.empty() && valueName.compare(colon + 1, std::string::npos, hostName) != 0) {
        return false;
    }
    if (!port.empty() && valueName.compare(at + 1, colon - at - 1, port) != 0) {
        return false;
    }
    return true;
}
