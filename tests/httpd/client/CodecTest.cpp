#include "httpd/client/UrlCodec.h"

#include <gtest/gtest.h>

#include "httpd/client/Base64.h"
#include "httpd/client/HtmlText.h"

namespace orbiscope {
namespace {

TEST(DecodeUrl, PercentSequences) {
  EXPECT_EQ(DecodeUrl("/a%20b"), "/a b");
  EXPECT_EQ(DecodeUrl("/%2e%2E/x"), "/../x");
  EXPECT_EQ(DecodeUrl("/a+b"), "/a+b");        // "+" is not a blank in a path
  EXPECT_EQ(DecodeUrl("/%41%4a%4A"), "/AJJ");
  // Incomplete or non-hexadecimal sequences stay as they are.
  EXPECT_EQ(DecodeUrl("/a%2"), "/a%2");
  EXPECT_EQ(DecodeUrl("/a%"), "/a%");
  EXPECT_EQ(DecodeUrl("/%zz%4"), "/%zz%4");
  EXPECT_EQ(DecodeUrl("%41"), "A");            // a sequence that ends the text
  EXPECT_EQ(DecodeUrl("%%41"), "%A");
}

TEST(DecodeUrl, EndsAtTheFirstNul) {
  EXPECT_EQ(DecodeUrl("/etc/passwd%00.jpg"), "/etc/passwd");
  EXPECT_EQ(DecodeUrl(std::string_view("/a\0b", 4)), "/a");
}

TEST(EncodeUrl, KeepsOnlyTheSafeSet) {
  EXPECT_EQ(EncodeUrl("Az09$-_.+!*'(),"), "Az09$-_.+!*'(),");
  EXPECT_EQ(EncodeUrl("a b/<c>\"&"), "a%20b%2F%3Cc%3E%22%26");
  EXPECT_EQ(EncodeUrl("\xE9\x01"), "%E9%01");
  EXPECT_EQ(DecodeUrl(EncodeUrl("weird name %41 <>.txt")), "weird name %41 <>.txt");
  EXPECT_EQ(EncodePath("/my dir/a b/"), "/my%20dir/a%20b/");
}

TEST(DecodeBase64, GroupsAndStrayCharacters) {
  EXPECT_EQ(DecodeBase64("dTpw"), "u:p");
  EXPECT_EQ(DecodeBase64("dXNlcjpwYXNz"), "user:pass");
  EXPECT_EQ(DecodeBase64("dTpwcQ=="), "u:pq");       // final group of two gives one byte
  EXPECT_EQ(DecodeBase64("dTpwcXI="), "u:pqr");      // of three, two bytes
  EXPECT_EQ(DecodeBase64("dTpwc"), "u:p");           // of one, nothing
  EXPECT_EQ(DecodeBase64("dT\r\n p*w"), "u:p");      // stray characters are skipped
  EXPECT_EQ(DecodeBase64(""), "");
  EXPECT_EQ(DecodeBase64("+/+/"), "\xFB\xFF\xBF");

  unsigned char out[8];
  std::size_t length = 99;
  EXPECT_FALSE(DecodeBase64(nullptr, 4, out, &length));
  EXPECT_FALSE(DecodeBase64("dTpw", 4, nullptr, &length));
  EXPECT_FALSE(DecodeBase64("dTpw", 4, out, nullptr));
  EXPECT_TRUE(DecodeBase64("dTpw", 4, out, &length));
  EXPECT_EQ(length, 3u);
}

TEST(HtmlText, EscapesMarkupAndStripsControls) {
  EXPECT_EQ(HtmlEscape("<script>alert('x')</script>&\""),
            "&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;&amp;&quot;");
  EXPECT_EQ(HtmlEscape("plain.txt"), "plain.txt");
  EXPECT_EQ(HeaderValue("realm\r\nSet-Cookie: a=b\x7f\t"), "realmSet-Cookie: a=b");
}

}  // namespace
}  // namespace orbiscope
