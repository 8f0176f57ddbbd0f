// hkprune: lists or deletes the SSH host keys that PuTTY caches.
#include "HkPrune.h"

#include "PAL/PuttyCache.h"

int main(int argc, char** argv) {
    PAL::setHostKeyCachePath(PAL::puttyCacheSubKey());
    return hkpruneMain(argc, argv);
}
