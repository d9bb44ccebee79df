#include "httpd/client/Md5Hex.h"

#include <openssl/evp.h>

#include <memory>

namespace orbiscope {

bool Md5Hex(std::string_view text, std::string& out) {
  out.clear();
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) != 1 ||
      EVP_DigestUpdate(ctx.get(), text.data(), text.size()) != 1 ||
      EVP_DigestFinal_ex(ctx.get(), digest, &length) != 1) {
    return false;
  }
  static constexpr char kHex[] = "0123456789ABCDEF";
  out.reserve(2 * length);
  for (unsigned int i = 0; i < length; ++i) {
    out += kHex[digest[i] >> 4];
    out += kHex[digest[i] & 0x0F];
  }
  return true;
}

}  // namespace orbiscope
