#pragma once
// Making client-supplied text safe to put into a page or a header line.

#include <string>
#include <string_view>

namespace orbiscope {

// & < > " ' become character references, so a file name or URL shows as text and never
// runs as markup.
std::string HtmlEscape(std::string_view text);

// The text without control characters (bytes below 0x20 and 0x7F): a decoded CR or LF
// in a realm or a location would otherwise let a client write its own header lines.
std::string HeaderValue(std::string_view text);

}  // namespace orbiscope
