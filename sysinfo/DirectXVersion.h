#pragma once
// Glossary: "DirectX version" is start-up's video-runtime check; Linux answers a passing one.
// The installed video-runtime version that start-up checks before it runs capture.
//
// The number is (major * 256 + minor) * 256 + letter, letter "a" being 1 and no letter 0,
// so 8.1b is 0x80102; the text is "8.1b". Linux has no such runtime: the query answers a
// fixed version that passes the start-up check, in the number and text formats start-up
// and its tests know.

#include <cstddef>
#include <cstdint>
#include <functional>

namespace orbiscope {

// The oldest version start-up accepts (8.0).
inline constexpr std::uint32_t kDirectXMinimumVersion = 0x80000;

// Status codes of the queries.
inline constexpr int kDxOk = 0;
inline constexpr int kDxFail = -1;

// A version as the sources report it; letter ' ' means none.
struct DirectXParts {
  int major = 0;
  int minor = 0;
  char letter = ' ';
};

// A source that answers the version in one go (the diagnostic component's place).
using DiagnosticsLookup = std::function<int(DirectXParts& parts)>;

// The number and text of parts; the letter is lower-cased. text may be null, and is cut to
// size bytes, always terminated when size is not 0.
std::uint32_t FormatDirectXVersion(DirectXParts parts, char* text, std::size_t size);

// Asks diagnostics; both outputs are cleared first and either may be null. 0 when a
// version was determined.
int GetDirectXVersion(const DiagnosticsLookup& diagnostics, std::uint32_t* number, char* text,
                      std::size_t size);

// The platform query: on Linux a fixed 9.0c.
int GetDirectXVersion(std::uint32_t* number, char* text, std::size_t size);

}  // namespace orbiscope
