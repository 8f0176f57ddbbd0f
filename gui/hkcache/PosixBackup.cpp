// POSIX: a removal's backup lies beside the host-key file.
#include "Backup.h"

namespace hkcache {

std::optional<std::string> defaultBackupPath(const Cache& cache, std::string*) {
    return cache.name + ".old";
}

} // namespace hkcache
