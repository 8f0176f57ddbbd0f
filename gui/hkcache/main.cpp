// hkcache: shows the SSH host keys that PuTTY caches, with their fingerprints.
#include "HkCache.h"

int main(int argc, char** argv) {
    return hkcacheMain(argc, argv);
}
