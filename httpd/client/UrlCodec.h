#pragma once
// Percent-decoding of request URLs and percent-encoding of listing links.

#include <string>
#include <string_view>
#include <vector>

namespace orbiscope {

// "%" and two hexadecimal digits become the byte they encode; any other "%" stays as it
// is and "+" is not touched. The result ends before the first NUL byte, whether it was
// sent as %00 or as is, so no path can carry a hidden tail past it.
std::string DecodeUrl(std::string_view text);

// One byte of a decoded URL and the span of the raw text it came from.
struct DecodedByte {
  char c;
  std::size_t rawBegin;
  std::size_t rawEnd;
};
// Decodes as DecodeUrl does but goes on past a NUL, telling for each byte where it came
// from, so that a part of the decoded text can be found again in the raw one.
std::vector<DecodedByte> DecodeUrlSpans(std::string_view text);

// Letters, digits and $-_.+!*'(), stay; every other byte becomes "%" and two upper-case
// hexadecimal digits.
std::string EncodeUrl(std::string_view text);

// EncodeUrl on each "/"-separated part, keeping the slashes: a path that is safe to put
// into an HTML attribute and still names the same resource.
std::string EncodePath(std::string_view path);

}  // namespace orbiscope
