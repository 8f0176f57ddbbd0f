// POSIX registry backend: PuTTY for Unix's host-key file. (Scaffold until the store lands:
// no key exists.)
#include "PAL/RegistryApi.h"

namespace PAL {
namespace {

class PosixHostKeyStore final : public RegistryApi {
public:
    Status openKey(Handle, const char*, Handle* result) override {
        *result = NotOpen;
        return NotFound;
    }
    Status queryInfoKey(Handle, std::uint32_t*, std::uint32_t*, std::uint32_t*, std::uint32_t*,
                        std::uint32_t*, std::uint32_t*) override {
        return InvalidHandle;
    }
    Status enumValue(Handle, std::uint32_t, char*, std::uint32_t*, std::uint32_t*, unsigned char*,
                     std::uint32_t*) override {
        return InvalidHandle;
    }
    Status deleteValue(Handle, const char*) override { return InvalidHandle; }
    Status closeKey(Handle) override { return Success; }
};

} // namespace

RegistryApi& platformRegistryApi() {
    static PosixHostKeyStore store;
    return store;
}

} // namespace PAL
