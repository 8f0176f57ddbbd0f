// hkcache fetch: a server's keys, each proved over SSH, stored when they match a pinned
// fingerprint (or, when asked, on first use).
#ifndef HK_GUI_HKCACHE_FETCH_H
#define HK_GUI_HKCACHE_FETCH_H

#include "Command.h"

namespace hkcache {

Command declareFetch(CLI::App& app);

} // namespace hkcache

#endif // HK_GUI_HKCACHE_FETCH_H
