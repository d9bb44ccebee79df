#include "httpd/client/PathResolver.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "tests/support/TempDir.h"

namespace orbiscope {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;
using testing::WriteFile;

TEST(SetAlias, Normalises) {
  CHttpDirectory d;
  const std::pair<const char*, const char*> cases[] = {
      {"/", "\\"},          {"", "\\"},           {"cam", "\\cam\\"},
      {"/cam", "\\cam\\"},  {"\\cam", "\\cam\\"}, {"\\cam\\", "\\cam\\"},
      // Written the way URLs are, the alias must still match.
      {"/cam/", "\\cam\\"}, {"/a/b", "\\a\\b\\"}, {"cam/", "\\cam\\"},
  };
  for (const auto& [in, out] : cases) {
    d.SetAlias(in);
    EXPECT_EQ(d.GetAlias(), out) << in;
  }
}

// A content folder with a root directory "\" and a protected-looking "\cam\" directory.
class ResolvePathTest : public ::testing::Test {
protected:
  void SetUp() override {
    root_ = tmp_.path() / "root";
    fs::create_directories(root_ / "cam" / "sub");
    fs::create_directories(root_ / "pics");
    WriteFile((root_ / "index.html").string(), "root index");
    WriteFile((root_ / "x.jpg").string(), "x");
    WriteFile((root_ / "cam" / "x.jpg").string(), "cam x");
    WriteFile((root_ / "cam" / "index.html").string(), "cam index");
    WriteFile((tmp_.path() / "secret.txt").string(), "outside");
    Add("/", root_.string(), false);
    Add("/cam", (root_ / "cam").string(), false);
  }

  CHttpDirectory& Add(const char* alias, std::string folder, bool listing) {
    auto d = std::make_unique<CHttpDirectory>();
    d->SetAlias(alias);
    d->SetDirectory(std::move(folder));
    d->SetDefaultFile("index.html");
    d->SetDirectoryListing(listing);
    dirs_.push_back(std::move(d));
    return *dirs_.back();
  }

  struct Result {
    bool ok = false;
    std::string url, local, pathInfo;
    bool isDirectory = false;
    const CHttpDirectory* directory = nullptr;
  };

  Result Resolve(std::string url) {
    Result r;
    r.url = std::move(url);
    const std::optional<ResolvedPath> resolved = ResolvePath(dirs_, r.url);
    r.ok = resolved.has_value();
    if (resolved) {
      r.url = resolved->url;
      r.local = resolved->localFile;
      r.pathInfo = resolved->pathInfo;
      r.isDirectory = resolved->isDirectory;
      r.directory = resolved->directory;
    }
    return r;
  }

  std::string Root(const std::string& rest = "") const { return root_.string() + rest; }

  TempDir tmp_;
  fs::path root_;
  std::vector<std::unique_ptr<CHttpDirectory>> dirs_;
};

TEST_F(ResolvePathTest, AliasesFromTheDeepestFolderUp) {
  Result r = Resolve("/cam/x.jpg");
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.directory, dirs_[1].get());
  EXPECT_EQ(r.local, Root("/cam/x.jpg"));
  EXPECT_EQ(r.url, "/cam/x.jpg");

  r = Resolve("/CAM/x.jpg");  // aliases ignore letter case
  EXPECT_EQ(r.directory, dirs_[1].get());

  r = Resolve("/other/x.jpg");
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.directory, dirs_[0].get());

  r = Resolve("/cam/sub/deeper/x.jpg");  // no \cam\sub\ alias: falls back to \cam\ .
  EXPECT_EQ(r.directory, dirs_[1].get());
}

TEST_F(ResolvePathTest, DefaultFileVersusListing) {
  Result r = Resolve("/cam/");
  ASSERT_TRUE(r.ok);
  EXPECT_FALSE(r.isDirectory);
  EXPECT_EQ(r.local, Root("/cam/index.html"));

  dirs_[1]->SetDirectoryListing(true);
  r = Resolve("/cam/");
  ASSERT_TRUE(r.ok);
  EXPECT_TRUE(r.isDirectory);
  EXPECT_EQ(r.local, Root("/cam/"));

  // A folder below a listed directory is listed, and its URL gains the closing "/".
  r = Resolve("/cam/sub");
  ASSERT_TRUE(r.ok);
  EXPECT_TRUE(r.isDirectory);
  EXPECT_EQ(r.url, "/cam/sub/");
  EXPECT_EQ(r.local, Root("/cam/sub"));
}

TEST_F(ResolvePathTest, PathInfoAfterAFileOrAMissingPart) {
  Result r = Resolve("/cam/x.jpg/extra/more");
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.local, Root("/cam/x.jpg"));
  EXPECT_EQ(r.pathInfo, "extra/more");
  EXPECT_EQ(r.url, "/cam/x.jpg");

  r = Resolve("/cam/sub/missing/x");
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.local, Root("/cam/sub"));
  EXPECT_EQ(r.pathInfo, "missing/x");
  EXPECT_EQ(r.url, "/cam/sub/");
  EXPECT_FALSE(r.isDirectory);

  // With listing on, a missing file is still a missing file, not its folder's listing.
  dirs_[1]->SetDirectoryListing(true);
  r = Resolve("/cam/missing.jpg");
  ASSERT_TRUE(r.ok);
  EXPECT_FALSE(r.isDirectory);
  EXPECT_EQ(r.pathInfo, "missing.jpg");
}

// Nothing outside the content folder may ever be named, however the URL is written.
TEST_F(ResolvePathTest, PathsStayInsideTheFolder) {
  fs::create_symlink(tmp_.path() / "secret.txt", root_ / "link.txt");
  fs::create_symlink(tmp_.path(), root_ / "linkdir");
  fs::create_symlink(root_ / "x.jpg", root_ / "inside.jpg");

  for (const char* url : {"/../secret.txt", "/cam/../../secret.txt", "/a:b", "/cam/..",
                          "/link.txt", "/linkdir/secret.txt", "/linkdir", "/a\x01b"}) {
    EXPECT_FALSE(Resolve(url).ok) << url;
  }
  // Doubled and leading separators are folded into the folder, never made absolute.
  for (const char* url : {"//etc/passwd", "///etc/passwd", "/cam//etc/passwd", "\\/etc/passwd"}) {
    Result r = Resolve(url);
    if (r.ok) {
      EXPECT_TRUE(r.local == root_.string() || r.local.rfind(root_.string() + "/", 0) == 0)
          << url << " -> " << r.local;
      EXPECT_EQ(r.local.find("//"), std::string::npos) << url;
    }
  }
  Result r = Resolve("//x.jpg");
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.local, Root("/x.jpg"));

  r = Resolve("/inside.jpg");  // a link that stays inside is fine
  EXPECT_TRUE(r.ok);
}

TEST_F(ResolvePathTest, UrlsThatNameNoDirectory) {
  dirs_.erase(dirs_.begin());  // only \cam\ remains
  EXPECT_FALSE(Resolve("/x.jpg").ok);
  EXPECT_FALSE(Resolve("").ok);
  EXPECT_FALSE(Resolve("y").ok);
  EXPECT_TRUE(Resolve("/cam/x.jpg").ok);
  EXPECT_EQ(FindDirectory(dirs_, "\\CaM\\"), dirs_[0].get());
  EXPECT_EQ(FindDirectory(dirs_, "\\cam"), nullptr);
}

}  // namespace
}  // namespace orbiscope
