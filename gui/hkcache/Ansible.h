// hkcache ansible: one task of the putty_hostkey Ansible modules, read from the arguments file
// ansible-core writes, done with hkcache's own commands, and its result as one JSON object.
#ifndef HK_GUI_HKCACHE_ANSIBLE_H
#define HK_GUI_HKCACHE_ANSIBLE_H

#include "Command.h"

namespace hkcache {

Command declareAnsible(CLI::App& app);

} // namespace hkcache

#endif // HK_GUI_HKCACHE_ANSIBLE_H
