// Error and warning lines, and the texts of the registry's statuses.
#include "Diagnostics.h"

#include "PAL/Escape.h"

#include <utility>

namespace hkcache {
namespace {

// Windows statuses as the registry and the POSIX host-key store give them.
constexpr std::pair<PAL::RegistryApi::Status, const char*> StatusTexts[] = {
    {2, "No such file or directory"}, {3, "No such file or directory"},
    {5, "Permission denied"},         {6, "Invalid handle"},
    {8, "Cannot allocate memory"},    {32, "In use by another process"},
    {87, "Invalid argument"},         {161, "Invalid path"},
    {223, "File too large"},          {1450, "Insufficient system resources"},
};

// Names come from other users' caches and from arguments: escaped, one of them can neither
// drive root's terminal nor forge a second line.
void line(std::ostream& err, std::string_view tag, std::string_view where,
          std::string_view reason) {
    std::string text = "hkcache: ";
    text.append(tag);
    PAL::appendEscaped(text, where);
    text.append(": ");
    PAL::appendEscaped(text, reason);
    err << text << '\n';
    err.flush();
}

} // namespace

void Diagnostics::error(std::string_view where, std::string_view reason) {
    anyError = true;
    line(err, "", where, reason);
}

void Diagnostics::warning(std::string_view where, std::string_view reason) {
    line(err, "warning: ", where, reason);
}

std::string statusText(PAL::RegistryApi::Status status) {
    for (const auto& entry : StatusTexts) {
        if (entry.first == status) {
            return entry.second;
        }
    }
    return "error " + std::to_string(status);
}

} // namespace hkcache
