#include "httpd/client/Md5Hex.h"

#include <openssl/evp.h>

#include <memory>

namespace orbiscope {
namespace {

using DigestPtr = std::unique_ptr<EVP_MD, decltype(&EVP_MD_free)>;
using ContextPtr = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

// Fetched once for the process: the implicit fetch behind EVP_md5() looks the algorithm up
// in the provider store on every call, under a lock all workers share, and cost the access
// log more than the digests themselves. The object is never changed after the fetch.
const EVP_MD* Md5Digest() {
  static const DigestPtr md(EVP_MD_fetch(nullptr, "MD5", nullptr), EVP_MD_free);
  return md.get();
}

// One context per thread, initialised afresh for each digest: making and freeing one per
// call was a third of the digest's price.
EVP_MD_CTX* ThreadContext() {
  thread_local const ContextPtr ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  return ctx.get();
}

}  // namespace

bool Md5Hex(std::string_view text, std::string& out) {
  out.clear();
  const EVP_MD* md = Md5Digest();
  EVP_MD_CTX* ctx = ThreadContext();
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (md == nullptr || ctx == nullptr || EVP_DigestInit_ex2(ctx, md, nullptr) != 1 ||
      EVP_DigestUpdate(ctx, text.data(), text.size()) != 1 ||
      EVP_DigestFinal_ex(ctx, digest, &length) != 1) {
    return false;
  }
  static constexpr char kHex[] = "0123456789ABCDEF";
  out.resize(2 * length);
  for (unsigned int i = 0; i < length; ++i) {
    out[2 * i] = kHex[digest[i] >> 4];
    out[2 * i + 1] = kHex[digest[i] & 0x0F];
  }
  return true;
}

}  // namespace orbiscope
