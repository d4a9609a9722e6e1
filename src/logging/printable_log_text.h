// LKPrintableLogText: a log line's text with every character that could end
// the line, or start another one, in a reader that splits lines written as
// a visible escape.
//
// C0 controls and DEL become "\n", "\r", "\t" or "\xHH"; the C1 controls
// (U+0080 to U+009F, NEL among them) and the line and paragraph separators
// (U+2028, U+2029) become "\uHHHH". Everything else, other UTF-8 included,
// stays as it is; a backslash is not doubled, so an escape made once is
// not escaped again.
//
// A sink applies it to each line it writes, once, so that no value put into
// a line (a path or a name from a request) can forge a line of its own.
//
// Thread safety: a pure function.
#pragma once

#include <string>
#include <string_view>

namespace logging {

std::string LKPrintableLogText(std::string_view text);

}  // namespace logging
