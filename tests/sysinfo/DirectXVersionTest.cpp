#include "sysinfo/DirectXVersion.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace orbiscope {
namespace {

DiagnosticsLookup Reporting(int major, int minor, char letter) {
  return [=](DirectXParts& parts) {
    parts = DirectXParts{major, minor, letter};
    return kDxOk;
  };
}

const DiagnosticsLookup kNoDiagnostics = [](DirectXParts&) { return kDxFail; };

FileVersionLookup Libraries(std::map<std::string, std::uint64_t> versions) {
  return [versions = std::move(versions)](std::string_view name, std::uint64_t& version) {
    auto it = versions.find(std::string(name));
    if (it == versions.end()) return false;
    version = it->second;
    return true;
  };
}

TEST(DirectXVersionTest, NumberAndTextFromDiagnosticsWithLetterLowerCased) {
  std::uint32_t number = 1;
  char text[16] = "junk";
  EXPECT_EQ(kDxOk, GetDirectXVersion(Reporting(9, 0, 'c'), {}, &number, text, sizeof text));
  EXPECT_EQ(0x90003u, number);
  EXPECT_STREQ("9.0c", text);

  EXPECT_EQ(kDxOk, GetDirectXVersion(Reporting(8, 1, 'B'), {}, &number, text, sizeof text));
  EXPECT_EQ(0x80102u, number);
  EXPECT_STREQ("8.1b", text);

  EXPECT_EQ(kDxOk, GetDirectXVersion(Reporting(8, 0, ' '), {}, &number, text, sizeof text));
  EXPECT_EQ(kDirectXMinimumVersion, number);
  EXPECT_STREQ("8.0", text);
}

TEST(DirectXVersionTest, OutputsAreOptionalAndTextIsCutAndTerminated) {
  char text[3] = {'x', 'x', 'x'};
  EXPECT_EQ(kDxOk, GetDirectXVersion(Reporting(9, 0, 'c'), {}, nullptr, text, sizeof text));
  EXPECT_STREQ("9.", text);
  std::uint32_t number = 0;
  EXPECT_EQ(kDxOk, GetDirectXVersion(Reporting(9, 0, 'c'), {}, &number, nullptr, 0));
  EXPECT_EQ(0x90003u, number);
}

TEST(DirectXVersionTest, FileTableFallbackPicksTheLastMatchingRow) {
  std::uint32_t number = 0;
  char text[16];
  // Only ddraw 4.7.0.700: 7.0, below the start-up threshold.
  EXPECT_EQ(kDxOk, GetDirectXVersion(kNoDiagnostics,
                                     Libraries({{"ddraw.dll", MakeFileVersion(4, 7, 0, 700)}}),
                                     &number, text, sizeof text));
  EXPECT_EQ(0x70000u, number);
  EXPECT_STREQ("7.0", text);
  EXPECT_LT(number, kDirectXMinimumVersion);

  // A 5.x ddraw qualifies for 8.0 only by the 5.x bound; 5.1.2258.399 is one short.
  DirectXParts parts;
  QueryFileVersions(Libraries({{"ddraw.dll", MakeFileVersion(5, 1, 2258, 399)}}), parts);
  EXPECT_EQ(7, parts.major);
  QueryFileVersions(Libraries({{"ddraw.dll", MakeFileVersion(5, 1, 2258, 400)}}), parts);
  EXPECT_EQ(8, parts.major);
  EXPECT_EQ(0, parts.minor);

  // d3d9 with any record gives 9.0; a missing d3d9 leaves the earlier match standing.
  QueryFileVersions(Libraries({{"ddraw.dll", MakeFileVersion(4, 7, 0, 700)},
                               {"d3d8.dll", MakeFileVersion(4, 8, 1, 901)},
                               {"d3d9.dll", 1}}),
                    parts);
  EXPECT_EQ(9, parts.major);
  QueryFileVersions(Libraries({{"d3d8.dll", MakeFileVersion(4, 8, 1, 901)}}), parts);
  EXPECT_EQ(8, parts.major);
  EXPECT_EQ(1, parts.minor);
  EXPECT_EQ('a', parts.letter);

  // No library at all: 0.0, which start-up treats as too old.
  EXPECT_EQ(kDxOk, GetDirectXVersion(kNoDiagnostics, Libraries({}), &number, text, sizeof text));
  EXPECT_EQ(0u, number);
  EXPECT_STREQ("0.0", text);
}

TEST(DirectXVersionTest, BothSourcesFailingClearsOutputsAndFails) {
  std::uint32_t number = 7;
  char text[8] = "junk";
  EXPECT_NE(kDxOk, GetDirectXVersion(kNoDiagnostics, {}, &number, text, sizeof text));
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
