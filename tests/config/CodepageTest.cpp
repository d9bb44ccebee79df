#include "config/Codepage.h"

#include <gtest/gtest.h>

namespace orbiscope {
namespace {

TEST(Codepage, RoundTripsEveryDefinedByte) {
  std::string all;
  for (int b = 1; b < 256; ++b)
    if (b != 0x81 && b != 0x8D && b != 0x8F && b != 0x90 && b != 0x9D) all += static_cast<char>(b);
  EXPECT_EQ(Utf8ToCp1252(Cp1252ToUtf8(all)), all);
  EXPECT_EQ(Cp1252ToUtf8("\xBA"), "\xC2\xBA");
  EXPECT_EQ(Cp1252ToUtf8("\x80\x9F"), "\xE2\x82\xAC\xC5\xB8");
  EXPECT_EQ(Cp1252ToUtf8("\x81"), "?");
}

TEST(Codepage, UnrepresentableAndInvalidBecomeQuestionMarks) {
  EXPECT_EQ(Utf8ToCp1252("\xE2\x86\x92"), "?");          // an arrow: not in the code page
  EXPECT_EQ(Utf8ToCp1252("a\xFF" "b"), "a?b");            // not UTF-8 at all
  EXPECT_EQ(Utf8ToCp1252("\xC3"), "?");                  // truncated sequence
  EXPECT_EQ(Utf8ToCp1252("\xC0\xAF"), "??");             // overlong '/'
  EXPECT_EQ(Utf8ToCp1252("\xED\xA0\x80"), "???");        // a surrogate
  EXPECT_EQ(Utf8ToCp1252("\xF0\x9F\x98\x80!"), "?!");    // outside the BMP
}

TEST(Codepage, XmlTextIsAlwaysWellFormed) {
  EXPECT_EQ(XmlTextCp1252("GET /a?b=1&c=<2> HTTP/1.0"), "GET /a?b=1&amp;c=&lt;2> HTTP/1.0");
  EXPECT_EQ(XmlTextCp1252("x]]>y ]> ]]"), "x]]&gt;y ]> ]]");
  EXPECT_EQ(XmlTextCp1252(std::string("a\0b\x01\x1F\tc\r\n", 9)), "a?b??\tc\r\n");
  EXPECT_EQ(XmlTextCp1252("N\xC2\xBA \xFE"), "N\xBA ?");
}

TEST(Codepage, XmlSafeUtf8KeepsCharactersButNotControls) {
  EXPECT_EQ(XmlSafeUtf8("\xE2\x86\x92 ok"), "\xE2\x86\x92 ok");
  EXPECT_EQ(XmlSafeUtf8(std::string("\0\x02\xC3", 3)), "???");
  EXPECT_EQ(XmlSafeUtf8("\xEF\xBF\xBF"), "?");
}

}  // namespace
}  // namespace orbiscope
