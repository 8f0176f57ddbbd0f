// Error and warning lines.
#include "Diagnostics.h"

#include "PAL/Escape.h"

namespace hkcache {
namespace {

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

void Diagnostics::refused(std::string_view where, std::string_view reason) {
    anyRefused = true;
    line(err, "", where, reason);
}

void Diagnostics::warning(std::string_view where, std::string_view reason) {
    line(err, "warning: ", where, reason);
}

void Diagnostics::note(std::string_view message) {
    std::string text = "hkcache: ";
    PAL::appendEscaped(text, message);
    err << text << '\n';
    err.flush();
}

} // namespace hkcache
