#include "sysinfo/DirectXVersion.h"

#include <cctype>
#include <cstdio>

namespace orbiscope {

std::uint32_t FormatDirectXVersion(DirectXParts parts, char* text, std::size_t size) {
  const char letter = static_cast<char>(std::tolower(static_cast<unsigned char>(parts.letter)));
  std::uint32_t number = (static_cast<std::uint32_t>(parts.major) * 256u +
                          static_cast<std::uint32_t>(parts.minor)) * 256u;
  const bool hasLetter = letter >= 'a' && letter <= 'z';
  if (hasLetter) number += static_cast<std::uint32_t>(letter - 'a' + 1);
  if (text != nullptr && size > 0) {
    if (letter == ' ' || letter == '\0')
      std::snprintf(text, size, "%d.%d", parts.major, parts.minor);
    else
      std::snprintf(text, size, "%d.%d%c", parts.major, parts.minor, letter);
  }
  return number;
}

int GetDirectXVersion(const DiagnosticsLookup& diagnostics, std::uint32_t* number, char* text,
                      std::size_t size) {
  if (number != nullptr) *number = 0;
  if (text != nullptr && size > 0) text[0] = '\0';
  DirectXParts parts;
  const int status = diagnostics ? diagnostics(parts) : kDxFail;
  if (status != kDxOk) return status;
  const std::uint32_t value = FormatDirectXVersion(parts, text, size);
  if (number != nullptr) *number = value;
  return kDxOk;
}

int GetDirectXVersion(std::uint32_t* number, char* text, std::size_t size) {
  // No video runtime to ask on Linux: a fixed, current answer so that start-up proceeds.
  const DiagnosticsLookup fixed = [](DirectXParts& parts) {
    parts = DirectXParts{9, 0, 'c'};
    return kDxOk;
  };
  return GetDirectXVersion(fixed, number, text, size);
}

}  // namespace orbiscope
