// POSIX: a removal's backup lies beside the host-key file.
#include "Backup.h"

namespace hkcache {

std::optional<std::string> defaultBackupPath(const Cache& cache, std::string*) {
    return cache.name + ".old";
}

std::string ownerIdOf(const Cache& cache) {
    return std::to_string(cache.owner.value_or(0)); // none: the caller's own, and it is root
}

} // namespace hkcache
