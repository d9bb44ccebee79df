#pragma once
// Conversions between the program's UTF-8 text and the windows-1252 bytes its files hold.

#include <string>
#include <string_view>

namespace orbiscope {

// UTF-8 to windows-1252. Characters the code page cannot hold, and bytes that are not
// valid UTF-8, become '?' one for one.
std::string Utf8ToCp1252(std::string_view utf8);

// windows-1252 to UTF-8. The five byte values the code page leaves undefined become '?'.
std::string Cp1252ToUtf8(std::string_view cp1252);

// UTF-8 to windows-1252 element text that is well-formed XML 1.0 for any input: '&' and
// '<' become entity references, the '>' of "]]>" becomes "&gt;", and control characters
// other than tab, line feed and carriage return become '?', as do invalid UTF-8 and
// characters windows-1252 cannot hold.
std::string XmlTextCp1252(std::string_view utf8);

// UTF-8 that an XML 1.0 document can carry: invalid UTF-8 and control characters other
// than tab, line feed and carriage return become '?'; every other character is kept.
std::string XmlSafeUtf8(std::string_view utf8);

}  // namespace orbiscope
