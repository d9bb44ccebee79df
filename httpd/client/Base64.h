#pragma once
// Base64 decoding of Basic credentials.

#include <cstddef>
#include <string>
#include <string_view>

namespace orbiscope {

// Decodes `length` bytes of standard Base64 text into `out`, which must hold `length`
// bytes (the output is never longer); `*outLength` receives the decoded length.
// Characters outside the alphabet, "=" included, are skipped; a final group of three
// characters gives two bytes, of two one byte, of one nothing. False only when an
// argument is missing.
bool DecodeBase64(const char* text, std::size_t length, unsigned char* out,
                  std::size_t* outLength);

// The same into a string.
std::string DecodeBase64(std::string_view text);

}  // namespace orbiscope
