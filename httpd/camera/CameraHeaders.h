#pragma once
// The fields camera answers carry beyond their route's own: when the frame was captured,
// and the origin a browser page elsewhere may read them from.

#include <chrono>
#include <string>
#include <string_view>

namespace orbiscope {

// Seconds since the epoch with three decimals ("1733700000.123"), as clients' latency
// tools read it.
std::string FormatCaptureTime(std::chrono::system_clock::time_point captured);

// "X-Timestamp: <capture time>\r\n", and "Access-Control-Allow-Origin: <origin>\r\n" when
// `origin` is not empty; a time of the epoch itself (no frame yet) gives no X-Timestamp.
// Control characters in the origin end it, so a setting cannot add header lines.
std::string CameraFields(std::chrono::system_clock::time_point captured, std::string_view origin);

// A random key for signing Digest nonces (32 hexadecimal digits).
std::string MakeNonceKey();

}  // namespace orbiscope
