// hkcache: shows, removes and imports the SSH host keys that PuTTY caches.
#include "HkCache.h"

#include "PAL/PuttyCache.h"

int main(int argc, char** argv) {
    PAL::setHostKeyCachePath(PAL::puttyCacheSubKey());
    return hkcacheMain(argc, argv);
}
