// An open registry key that never throws: the handle a RegistryApi returned, closed once by
// that same backend. RegistryKey and hkcache both hold their keys in one.
#ifndef PAL_OPENKEY_H
#define PAL_OPENKEY_H

#include "PAL/RegistryApi.h"

#include <string>

namespace PAL {

class OpenKey {
public:
    explicit OpenKey(RegistryApi& api = registryApi()) : backend(&api) {}
    ~OpenKey() { close(); }
    OpenKey(const OpenKey&) = delete;
    OpenKey& operator=(const OpenKey&) = delete;

    // Opens `subKey` below `parent`; the registry's status. A key held before is closed first,
    // and after a failure none is held.
    RegistryApi::Status open(RegistryApi::Handle parent, const std::string& subKey);
    // Where a caller that opens the key itself stores the handle (NotOpen: nothing to close).
    RegistryApi::Handle* out() { return &handle; }
    RegistryApi::Handle get() const { return handle; }
    RegistryApi& api() const { return *backend; }
    // Closes once; later calls do nothing.
    void close();

private:
    RegistryApi* backend;
    RegistryApi::Handle handle = RegistryApi::NotOpen;
};

} // namespace PAL

#endif // PAL_OPENKEY_H
