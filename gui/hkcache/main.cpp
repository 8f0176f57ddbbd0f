// hkcache: shows, removes and imports the SSH host keys that PuTTY caches.
#include "HkCache.h"

int main(int argc, char** argv) {
    return hkcacheMain(argc, argv);
}
