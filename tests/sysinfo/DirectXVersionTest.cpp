#include "sysinfo/DirectXVersion.h"

#include <gtest/gtest.h>

namespace orbiscope {
namespace {

DiagnosticsLookup Reporting(int major, int minor, char letter) {
  return [=](DirectXParts& parts) {
    parts = DirectXParts{major, minor, letter};
    return kDxOk;
  };
}

const DiagnosticsLookup kNoDiagnostics = [](DirectXParts&) { return kDxFail; };

TEST(DirectXVersionTest, NumberAndTextFromDiagnosticsWithLetterLowerCased) {
  std::uint32_t number = 1;
  char text[16] = "junk";
  EXPECT_EQ(kDxOk, GetDirectXVersion(Reporting(9, 0, 'c'), &number, text, sizeof text));
  EXPECT_EQ(0x90003u, number);
  EXPECT_STREQ("9.0c", text);

  EXPECT_EQ(kDxOk, GetDirectXVersion(Reporting(8, 1, 'B'), &number, text, sizeof text));
  EXPECT_EQ(0x80102u, number);
  EXPECT_STREQ("8.1b", text);

  EXPECT_EQ(kDxOk, GetDirectXVersion(Reporting(8, 0, ' '), &number, text, sizeof text));
  EXPECT_EQ(kDirectXMinimumVersion, number);
  EXPECT_STREQ("8.0", text);
}

TEST(DirectXVersionTest, OutputsAreOptionalAndTextIsCutAndTerminated) {
  char text[3] = {'x', 'x', 'x'};
  EXPECT_EQ(kDxOk, GetDirectXVersion(Reporting(9, 0, 'c'), nullptr, text, sizeof text));
  EXPECT_STREQ("9.", text);
  std::uint32_t number = 0;
  EXPECT_EQ(kDxOk, GetDirectXVersion(Reporting(9, 0, 'c'), &number, nullptr, 0));
  EXPECT_EQ(0x90003u, number);
}

TEST(DirectXVersionTest, FailingDiagnosticsClearsOutputsAndFails) {
  std::uint32_t number = 7;
  char text[8] = "junk";
  EXPECT_NE(kDxOk, GetDirectXVersion(kNoDiagnostics, &number, text, sizeof text));
  EXPECT_EQ(0u, number);
  EXPECT_STREQ("", text);
}

TEST(DirectXVersionTest, PlatformAnswerPassesTheStartUpCheck) {
  std::uint32_t number = 0;
  char text[16];
  ASSERT_EQ(kDxOk, GetDirectXVersion(&number, text, sizeof text));
  EXPECT_GE(number, kDirectXMinimumVersion);
  EXPECT_STREQ("9.0c", text);
}

}  // namespace
}  // namespace orbiscope
