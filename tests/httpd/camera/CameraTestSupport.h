#pragma once
// The camera credentials the camera tests serve with.

#include <string>
#include <string_view>

#include "httpd/client/Md5Hex.h"

namespace orbiscope::testing {

inline constexpr const char* kUser = "Cam";
inline constexpr const char* kPassword = "s3cret";

inline std::string Digest(std::string_view text) {
  std::string out;
  Md5Hex(text, out);
  return out;
}

}  // namespace orbiscope::testing
