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
    progress({});
    line(err, "", where, reason);
}

void Diagnostics::refused(std::string_view where, std::string_view reason) {
    anyRefused = true;
    line(err, "", where, reason);
}

void Diagnostics::warning(std::string_view where, std::string_view reason) {
    progress({});
    line(err, "warning: ", where, reason);
}

void Diagnostics::note(std::string_view message) {
    progress({});
    std::string text = "hkcache: ";
    PAL::appendEscaped(text, message);
    err << text << '\n';
    err.flush();
}

void Diagnostics::progress(std::string_view line) {
    std::string text;
    if (!line.empty()) {
        text = "hkcache: ";
        PAL::appendEscaped(text, line);
    }
    if (!terminal || text == shown) {
        return;
    }
    // Drawn over the last one: a carriage return, and blanks where that was longer.
    std::string drawn = "\r" + text;
    drawn.append(shown.size() > text.size() ? shown.size() - text.size() : 0, ' ');
    if (text.empty()) {
        drawn.append("\r");
    }
    shown = std::move(text);
    err << drawn;
    err.flush();
}

} // namespace hkcache
