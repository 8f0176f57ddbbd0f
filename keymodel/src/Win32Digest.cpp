// Hashes from BCrypt (CNG) and base64 from CryptoAPI (crypt32).
#include "DigestPlatform.h"

#include "PAL/UniqueHandle.h"
#include "PAL/Windows.h"

#include <bcrypt.h>
#include <wincrypt.h>

#include <climits>
#include <stdexcept>
#include <string>

namespace KeyModel::detail {

namespace {

[[noreturn]] void cryptoFailed(const char* what, long status) {
    throw std::runtime_error(std::string(what) + " failed with status " + std::to_string(status));
}

void closeProvider(BCRYPT_ALG_HANDLE provider) {
    BCryptCloseAlgorithmProvider(provider, 0);
}

// One provider per algorithm for the whole run: opening one costs more than hashing a key.
class Provider {
public:
    Provider(LPCWSTR algorithm, ULONG flags) {
        const NTSTATUS status =
            BCryptOpenAlgorithmProvider(handle.put(), algorithm, nullptr, flags);
        if (!BCRYPT_SUCCESS(status)) {
            cryptoFailed("BCryptOpenAlgorithmProvider", status);
        }
    }
    BCRYPT_ALG_HANDLE get() const { return handle.get(); }

private:
    PAL::UniquePointer<BCRYPT_ALG_HANDLE, closeProvider> handle;
};

class Hash {
public:
    Hash(const Provider& provider, const Bytes& secret) {
        // The hash object is allocated by BCrypt itself (Windows 7 and later).
        const NTSTATUS status = BCryptCreateHash(
            provider.get(), handle.put(), nullptr, 0,
            secret.empty() ? nullptr : const_cast<PUCHAR>(secret.data()), checkedSize(secret), 0);
        if (!BCRYPT_SUCCESS(status)) {
            cryptoFailed("BCryptCreateHash", status);
        }
    }

    Bytes digest(const Bytes& data, ULONG size) {
        NTSTATUS status =
            BCryptHashData(handle.get(), const_cast<PUCHAR>(data.data()), checkedSize(data), 0);
        if (!BCRYPT_SUCCESS(status)) {
            cryptoFailed("BCryptHashData", status);
        }
        Bytes out(size);
        status = BCryptFinishHash(handle.get(), out.data(), size, 0);
        if (!BCRYPT_SUCCESS(status)) {
            cryptoFailed("BCryptFinishHash", status);
        }
        return out;
    }

private:
    static ULONG checkedSize(const Bytes& data) {
        if (data.size() > ULONG_MAX) {
            throw std::length_error("hash input too long");
        }
        return static_cast<ULONG>(data.size());
    }

    PAL::UniquePointer<BCRYPT_HASH_HANDLE, BCryptDestroyHash> handle;
};

DWORD checkedLength(std::size_t size) {
    if (size > MAXDWORD / 2) {
        throw std::length_error("base64 input too long");
    }
    return static_cast<DWORD>(size);
}

} // namespace

Bytes platformSha256(const Bytes& data) {
    static const Provider provider(BCRYPT_SHA256_ALGORITHM, 0);
    return Hash(provider, Bytes()).digest(data, 32);
}

Bytes platformHmacSha1(const Bytes& key, const Bytes& data) {
    static const Provider provider(BCRYPT_SHA1_ALGORITHM, BCRYPT_ALG_HANDLE_HMAC_FLAG);
    return Hash(provider, key).digest(data, 20);
}

std::string platformBase64Encode(const Bytes& data) {
    constexpr DWORD flags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
    DWORD length = 0;
    if (!CryptBinaryToStringA(data.data(), checkedLength(data.size()), flags, nullptr, &length)) {
        cryptoFailed("CryptBinaryToStringA", static_cast<long>(GetLastError()));
    }
    std::string text(length, '\0');
    if (!CryptBinaryToStringA(data.data(), checkedLength(data.size()), flags, text.data(),
                              &length)) {
        cryptoFailed("CryptBinaryToStringA", static_cast<long>(GetLastError()));
    }
    // The second call counts the characters without the NUL it wrote.
    text.resize(length);
    return text;
}

Bytes platformBase64Decode(std::string_view text, std::size_t size) {
    Bytes data(size);
    DWORD length = static_cast<DWORD>(size);
    if (!CryptStringToBinaryA(text.data(), checkedLength(text.size()), CRYPT_STRING_BASE64,
                              data.data(), &length, nullptr, nullptr) ||
        length != size) {
        cryptoFailed("CryptStringToBinaryA", static_cast<long>(GetLastError()));
    }
    return data;
}

} // namespace KeyModel::detail
