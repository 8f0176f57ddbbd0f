// hkcache list: the keys cached, with fingerprints, in formats for people and scripts.
#ifndef HK_GUI_HKCACHE_LIST_H
#define HK_GUI_HKCACHE_LIST_H

#include "Command.h"

namespace hkcache {

Command declareList(CLI::App& app);

} // namespace hkcache

#endif // HK_GUI_HKCACHE_LIST_H
