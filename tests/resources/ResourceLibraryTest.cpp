#include "resources/ResourceLibrary.h"

#include <gtest/gtest.h>

#include <string>

namespace orbiscope {
namespace {

const std::string kLibrary = std::string(ORBISCOPE_BIN_DIR) + "/Resource.so";

TEST(ResourceLibrary, UnloadedOrRefusedLibraryAnswersEmpty) {
  ResourceLibrary lib;
  EXPECT_FALSE(lib.Load("/nonexistent/Resource.so"));
  // A shared library that is not a resource library is refused as well.
  EXPECT_FALSE(lib.Load("libm.so.6"));
  EXPECT_FALSE(lib.IsLoaded());
  EXPECT_EQ(lib.String(res::kStrBadPort), "");
  EXPECT_TRUE(lib.Html(res::kHtml404).empty());
  EXPECT_TRUE(lib.Picture(res::kPicOverlayLogo).empty());
  EXPECT_TRUE(lib.Menu(res::kMenuTray).empty());
}

TEST(ResourceLibrary, EveryStringTheProgramUsesHasText) {
  ResourceLibrary lib;
  ASSERT_TRUE(lib.Load(kLibrary));
  std::vector<int> ids = {101, 102, 103, 124, 125};
  for (int id = 105; id <= 116; ++id) ids.push_back(id);
  for (int id = 126; id <= 134; ++id) ids.push_back(id);
  for (int id = 148; id <= 174; ++id) ids.push_back(id);
  ids.insert(ids.end(), {res::kStrSettingsBroken, res::kStrFolderNotEmpty});
  for (int id : ids) EXPECT_FALSE(lib.String(id).empty()) << "string " << id;
  // A string with a place for a value takes it; a missing one gives the value alone.
  const std::string folder = lib.String(res::kStrFolderNotEmpty, "/srv/cam");
  EXPECT_NE(folder.find("/srv/cam is not empty"), std::string::npos) << folder;
  EXPECT_EQ(lib.String(99, "/srv/cam"), "/srv/cam");
  // Unknown identifiers answer empty text, never another item of the same number.
  EXPECT_EQ(lib.String(99), "");
  EXPECT_EQ(lib.String(1000), "");
}

TEST(ResourceLibrary, ListingPartsFrameAPageWithTheUrlInItsTitle) {
  ResourceLibrary lib;
  ASSERT_TRUE(lib.Load(kLibrary));
  const std::string head = lib.String(res::kStrListingHead);
  const std::string tail = lib.String(res::kStrListingTail);
  const auto title = head.find("<title>");
  ASSERT_NE(title, std::string::npos);
  EXPECT_NE(head.find("%1", title), std::string::npos);
  EXPECT_LT(head.find("%1", title), head.find("</title>"));
  EXPECT_NE(head.find("<body>"), std::string::npos);
  EXPECT_NE(tail.find("</body>"), std::string::npos);
  EXPECT_NE(tail.find("</html>"), std::string::npos);
}

TEST(ResourceLibrary, StatusPagesAreWholePagesAndOthersAreEmpty) {
  ResourceLibrary lib;
  ASSERT_TRUE(lib.Load(kLibrary));
  for (int id : {1000, 1001, 1003, 1004, 1005, 1008}) {
    const std::string_view page = lib.Html(id);
    EXPECT_EQ(page.substr(0, 15), "<!DOCTYPE html>") << id;
    EXPECT_NE(page.find("</html>"), std::string_view::npos) << id;
    // The page bytes are the file's, with no terminator counted in the length.
    EXPECT_EQ(page.back(), '\n') << id;
  }
  EXPECT_NE(lib.Html(1004).find("404"), std::string_view::npos);
  EXPECT_NE(lib.Html(1003).find("401"), std::string_view::npos);
  EXPECT_TRUE(lib.Html(1002).empty());
  EXPECT_TRUE(lib.Html(1006).empty());
}

TEST(ResourceLibrary, TrayMenuStartsWithASubMenu) {
  ResourceLibrary lib;
  ASSERT_TRUE(lib.Load(kLibrary));
  const std::string_view menu = lib.Menu(res::kMenuTray);
  ASSERT_FALSE(menu.empty());
  EXPECT_EQ(menu.front(), '>');
}

}  // namespace
}  // namespace orbiscope
