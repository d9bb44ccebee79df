#pragma once
#include <string>
#include <string_view>

namespace orbiscope {

// The MD5 digest (RFC 1321) of the text's bytes as 32 upper-case hexadecimal digits.
// False, with `out` empty, when the digest cannot be computed.
bool Md5Hex(std::string_view text, std::string& out);

}  // namespace orbiscope
