// hkcache verify: each cached key against its live server, which must prove that it holds it.
#ifndef HK_GUI_HKCACHE_VERIFY_H
#define HK_GUI_HKCACHE_VERIFY_H

#include "Command.h"

namespace hkcache {

Command declareVerify(CLI::App& app);

} // namespace hkcache

#endif // HK_GUI_HKCACHE_VERIFY_H
