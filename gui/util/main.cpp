// hkprune: lists or deletes the SSH host keys that PuTTY caches.
#include "HkPrune.h"

int main(int argc, char** argv) {
    return hkpruneMain(argc, argv);
}
