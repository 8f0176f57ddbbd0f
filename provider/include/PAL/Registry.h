// Everything needed to name, open and work on a registry key.
#ifndef PAL_REGISTRY_H
#define PAL_REGISTRY_H

#include "PAL/ByteBuffer.h"
#include "PAL/OpenKey.h"
#include "PAL/RegistryApi.h"
#include "PAL/RegistryKey.h"
#include "PAL/RegistryKeyDescriptor.h"
#include "PAL/ValueWalk.h"

#endif // PAL_REGISTRY_H
