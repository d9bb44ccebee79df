#include "httpd/client/Base64.h"

namespace orbiscope {
namespace {

int AlphabetValue(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

bool DecodeBase64(const char* text, std::size_t length, unsigned char* out,
                  std::size_t* outLength) {
  if (text == nullptr || out == nullptr || outLength == nullptr) return false;
  std::size_t written = 0;
  unsigned int group = 0;  // up to four 6-bit values
  int count = 0;
  for (std::size_t i = 0; i < length; ++i) {
    int v = AlphabetValue(static_cast<unsigned char>(text[i]));
    if (v < 0) continue;
    group = (group << 6) | static_cast<unsigned int>(v);
    if (++count == 4) {
      out[written++] = static_cast<unsigned char>(group >> 16);
      out[written++] = static_cast<unsigned char>(group >> 8);
      out[written++] = static_cast<unsigned char>(group);
      group = 0;
      count = 0;
    }
  }
  if (count == 3) {
    out[written++] = static_cast<unsigned char>(group >> 10);
    out[written++] = static_cast<unsigned char>(group >> 2);
  } else if (count == 2) {
    out[written++] = static_cast<unsigned char>(group >> 4);
  }
  *outLength = written;
  return true;
}

std::string DecodeBase64(std::string_view text) {
  std::string out(text.size(), '\0');
  std::size_t length = 0;
  DecodeBase64(text.data(), text.size(), reinterpret_cast<unsigned char*>(out.data()), &length);
  out.resize(length);
  return out;
}

}  // namespace orbiscope
