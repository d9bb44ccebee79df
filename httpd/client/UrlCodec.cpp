#include "httpd/client/UrlCodec.h"

#include <cstring>

namespace orbiscope {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The byte the raw text encodes at `i` ("%" and two hexadecimal digits, or the character
// itself) and how many raw characters it takes.
std::size_t DecodeOne(std::string_view text, std::size_t i, char& c) {
  if (text[i] == '%' && i + 2 < text.size()) {
    const int hi = HexValue(text[i + 1]);
    const int lo = HexValue(text[i + 2]);
    if (hi >= 0 && lo >= 0) {
      c = static_cast<char>(hi * 16 + lo);
      return 3;
    }
  }
  c = text[i];
  return 1;
}

bool KeptByEncode(unsigned char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return c != '\0' && std::strchr("$-_.+!*'(),", c) != nullptr;
}

}  // namespace

std::vector<DecodedByte> DecodeUrlSpans(std::string_view text) {
  // Sized once and cut to length after: the access log decodes every request line, and a
  // push_back per byte was most of the decoding's cost.
  std::vector<DecodedByte> out(text.size());
  std::size_t n = 0;
  for (std::size_t i = 0; i < text.size(); ++n) {
    DecodedByte& d = out[n];
    d.rawBegin = i;
    i += DecodeOne(text, i, d.c);
    d.rawEnd = i;
  }
  out.resize(n);
  return out;
}

std::string DecodeUrl(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    char c = '\0';
    i += DecodeOne(text, i, c);
    if (c == '\0') break;
    out += c;
  }
  return out;
}

std::string EncodeUrl(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size() * 3);
  for (unsigned char c : text) {
    if (KeptByEncode(c)) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
    }
  }
  return out;
}

std::string EncodePath(std::string_view path) {
  std::string out;
  std::size_t start = 0;
  while (true) {
    std::size_t slash = path.find('/', start);
    out += EncodeUrl(path.substr(start, slash == std::string_view::npos ? slash : slash - start));
    if (slash == std::string_view::npos) break;
    out += '/';
    start = slash + 1;
  }
  return out;
}

}  // namespace orbiscope
