#pragma once
// Percent-decoding of request URLs and percent-encoding of listing links.

#include <string>
#include <string_view>

namespace orbiscope {

// "%" and two hexadecimal digits become the byte they encode; any other "%" stays as it
// is and "+" is not touched. The result ends before the first NUL byte, whether it was
// sent as %00 or as is, so no path can carry a hidden tail past it.
std::string DecodeUrl(std::string_view text);

// Letters, digits and $-_.+!*'(), stay; every other byte becomes "%" and two upper-case
// hexadecimal digits.
std::string EncodeUrl(std::string_view text);

// EncodeUrl on each "/"-separated part, keeping the slashes: a path that is safe to put
// into an HTML attribute and still names the same resource.
std::string EncodePath(std::string_view path);

}  // namespace orbiscope
