#include "httpd/client/HttpClient.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <new>
#include <vector>

#include "httpd/HttpResponseHeader.h"
#include "tests/httpd/client/LoopbackServer.h"
#include "tests/support/Unprivileged.h"

namespace orbiscope {
namespace {

namespace fs = std::filesystem;
using namespace orbiscope::testing;
using Names = std::vector<std::string>;

class HttpSessionTest : public ::testing::Test {
protected:
  void SetUp() override {
    WriteFile(File("index.html"), "<p>index</p>");
    WriteFile(File("hello.txt"), "hello world");
    fs::create_directories(server_.root() / "cam" / "sub");
    WriteFile(File("cam/index.html"), "cam index");
    WriteFile(File("cam/pic.txt"), "cam pic");
  }
  std::string File(const std::string& name) const { return (server_.root() / name).string(); }
  std::string Get(const std::string& request) { return Exchange(server_.port(), request); }
  // Deletes allowed, and /cam a writable alias with the credentials u:p and realm Cameras.
  void AllowDeletesInCam() {
    server_.settings().m_bAllowDeleteRequest = true;
    auto& cam = server_.AddDirectory("/cam", File("cam"));
    cam.m_bWritable = true;
    cam.m_sUsername = "u";
    cam.m_sPassword = "p";
    cam.m_sRealm = "Cameras";
  }

  LoopbackServer server_;
};

// The field order of every kind of response the directories and the session write.
TEST_F(HttpSessionTest, HeaderOrderOfEachResponseKind) {
  server_.settings().m_bAllowDeleteRequest = true;
  server_.settings().m_bAutoExpire = true;
  auto& cam = server_.AddDirectory("/cam", File("cam"));
  cam.m_bDirectoryListing = true;
  cam.m_bWritable = true;
  cam.m_sUsername = "u";
  cam.m_sPassword = "p";
  auto& secret = server_.AddDirectory("/secret", File("cam/sub"));
  secret.m_sUsername = "u";
  secret.m_sPassword = "p";
  secret.m_sRealm = "Cameras";
  server_.Start();

  RawClient kept(server_.port());
  kept.Send("GET /hello.txt HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n");
  std::string r = kept.ReadResponse();
  EXPECT_EQ(StatusLine(r), "HTTP/1.0 200 OK");
  EXPECT_EQ(FieldNames(r), (Names{"Date", "Server", "Allow", "Expires", "Connection",
                                  "Last-Modified", "Content-Length", "Content-Type"}));
  EXPECT_EQ(Field(r, "Allow"), "GET, POST, HEAD, DELETE");
  EXPECT_EQ(Field(r, "Server"), "Zentrux/1.62");
  EXPECT_EQ(Field(r, "Content-Type"), "text/plain");
  EXPECT_EQ(Body(r), "hello world");

  r = Get("GET /hello.txt HTTP/1.0\r\nIf-Modified-Since: " +
          FormatHttpDate(CurrentHttpTime()) + "\r\n\r\n");
  EXPECT_EQ(StatusLine(r), "HTTP/1.0 304 Not Modified");
  EXPECT_EQ(FieldNames(r), (Names{"Date", "Server", "Allow", "Expires", "Last-Modified",
                                  "Content-Length", "Content-Type"}));
  EXPECT_EQ(Field(r, "Content-Length"), "0");

  r = Get("GET /cam/ HTTP/1.0\r\nAuthorization: Basic dTpw\r\n\r\n");
  EXPECT_EQ(StatusLine(r), "HTTP/1.0 200 OK");
  EXPECT_EQ(FieldNames(r), (Names{"Date", "Server", "Allow", "Last-Modified", "Content-Length",
                                  "Content-Type"}));
  EXPECT_EQ(Field(r, "Content-Type"), "text/html");

  r = Get("GET /missing.txt HTTP/1.0\r\n\r\n");
  EXPECT_EQ(StatusLine(r), "HTTP/1.0 404 Not Found");
  EXPECT_EQ(FieldNames(r), (Names{"Date", "Server", "Allow", "Content-Length", "Content-Type"}));
  EXPECT_EQ(std::to_string(Body(r).size()), Field(r, "Content-Length"));
  EXPECT_NE(Body(r).find("404"), std::string::npos);

  kept.Send("GET /secret/x HTTP/1.0\r\nConnection: keep-alive\r\n\r\n");
  r = kept.ReadResponse();
  EXPECT_EQ(StatusLine(r), "HTTP/1.0 401 Unauthorized");
  EXPECT_EQ(FieldNames(r), (Names{"Date", "Server", "Allow", "WWW-Authenticate", "Connection",
                                  "Content-Length", "Content-Type"}));
  EXPECT_EQ(Field(r, "WWW-Authenticate"), "Basic realm=Cameras");

  r = Get("DELETE /cam/pic.txt HTTP/1.0\r\nAuthorization: Basic dTpw\r\n\r\n");
  EXPECT_EQ(StatusLine(r), "HTTP/1.0 200 OK");
  EXPECT_EQ(FieldNames(r), (Names{"Date", "Server", "Allow", "Content-Length", "Content-Type"}));
  EXPECT_NE(Body(r).find("Deleted"), std::string::npos);
  EXPECT_FALSE(fs::exists(File("cam/pic.txt")));

  r = Get("PUT /hello.txt HTTP/1.0\r\n\r\n");
  EXPECT_EQ(StatusLine(r), "HTTP/1.0 501 Not Implemented");
  EXPECT_EQ(FieldNames(r), (Names{"Date", "Server", "Allow", "Content-Length", "Content-Type"}));

  // HEAD gets the file's header and no body.
  RawClient head(server_.port());
  head.Send("HEAD /hello.txt HTTP/1.0\r\n\r\n");
  r = head.ReadAll();
  EXPECT_EQ(Field(r, "Content-Length"), "11");
  EXPECT_EQ(Body(r), "");

  // Every request was logged by the session.
  EXPECT_TRUE(server_.LogShows("\"GET /hello.txt HTTP/1.0\" 200 11"));
  EXPECT_NE(server_.LogText().find("<Filename>HttpClient</Filename>"), std::string::npos);
}

TEST_F(HttpSessionTest, KeepAliveServesSeveralRequestsAndPipelines) {
  server_.Start();
  RawClient client(server_.port());
  const std::string request = "GET /hello.txt HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n";
  for (int i = 0; i < 3; ++i) {
    client.Send(request);
    std::string r = client.ReadResponse();
    EXPECT_EQ(StatusLine(r), "HTTP/1.0 200 OK") << i;
    EXPECT_EQ(Field(r, "Connection"), "Keep-Alive");
    EXPECT_EQ(Body(r), "hello world");
  }
  // Three requests in one write, the last without keep-alive: three answers, then close.
  client.Send(request + "GET /index.html HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n" +
              "GET /cam/pic.txt HTTP/1.0\r\n\r\n");
  EXPECT_EQ(Body(client.ReadResponse()), "hello world");
  EXPECT_EQ(Body(client.ReadResponse()), "<p>index</p>");
  std::string last = client.ReadResponse();
  EXPECT_EQ(Body(last), "cam pic");
  EXPECT_EQ(Field(last, "Connection"), "");
  EXPECT_TRUE(client.ClosedByServer());
}

// A response the client does not take at once is finished by the loop; the requests
// pipelined behind it are answered only after it, in order.
TEST_F(HttpSessionTest, PipelinedRequestsWaitForALargeResponseAhead) {
  std::string big(8 << 20, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 23);
  WriteFile(File("big.bin"), big);
  server_.Start();
  RawClient client(server_.port());
  const std::string keep = " HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n";
  client.Send("GET /big.bin" + keep + "GET /hello.txt" + keep + "GET /index.html HTTP/1.0\r\n\r\n");
  EXPECT_TRUE(Body(client.ReadResponse()) == big);
  EXPECT_EQ(Body(client.ReadResponse()), "hello world");
  EXPECT_EQ(Body(client.ReadResponse()), "<p>index</p>");
  EXPECT_TRUE(client.ClosedByServer());
}

TEST_F(HttpSessionTest, KeepAliveOffInSettingsClosesAfterEachResponse) {
  server_.settings().m_bKeepAlives = false;
  server_.Start();
  RawClient client(server_.port());
  client.Send("GET /hello.txt HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n");
  std::string r = client.ReadResponse();
  EXPECT_EQ(Field(r, "Connection"), "");
  EXPECT_TRUE(client.ClosedByServer());
}

TEST_F(HttpSessionTest, Http09GetsTheBodyAlone) {
  server_.Start();
  EXPECT_EQ(Get("GET /hello.txt\r\n"), "hello world");
  // An error page goes without header too.
  std::string r = Get("GET /missing\r\n");
  EXPECT_EQ(r.rfind("<!DOCTYPE", 0), 0u) << r;
}

TEST_F(HttpSessionTest, IfModifiedSinceAtTheSecond) {
  server_.Start();
  struct stat info {};
  ASSERT_EQ(::stat(File("hello.txt").c_str(), &info), 0);
  const std::time_t mtime = info.st_mtim.tv_sec;
  auto ask = [&](std::time_t since, const char* verb = "GET") {
    return StatusLine(Get(std::string(verb) + " /hello.txt HTTP/1.0\r\nIf-Modified-Since: " +
                          FormatHttpDate(HttpTimeFromTimeT(since)) + "\r\n\r\n"));
  };
  EXPECT_EQ(ask(mtime), "HTTP/1.0 304 Not Modified");
  EXPECT_EQ(ask(mtime - 1), "HTTP/1.0 200 OK");
  EXPECT_EQ(ask(mtime, "HEAD"), "HTTP/1.0 200 OK");  // only GET is answered with 304
  // The other two date forms are read as well.
  std::string r = Get("GET /hello.txt HTTP/1.0\r\nIf-Modified-Since: Sunday, 06-Nov-94 08:49:37 GMT\r\n\r\n");
  EXPECT_EQ(StatusLine(r), "HTTP/1.0 200 OK");
  // A file dated in the future is sent with Last-Modified equal to Date.
  WriteFile(File("future.txt"), "f");
  timespec times[2] = {{std::time(nullptr) + 100000, 0}, {std::time(nullptr) + 100000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, File("future.txt").c_str(), times, 0), 0);
  r = Get("GET /future.txt HTTP/1.0\r\n\r\n");
  EXPECT_EQ(Field(r, "Last-Modified"), Field(r, "Date"));
}

// A file of 3 GiB (sparse, so it takes no room) says its true size, and If-Modified-Since
// still answers 304 for it.
TEST_F(HttpSessionTest, FilesOfTwoGibibytesAndMore) {
  constexpr off_t kSize = 3LL * 1024 * 1024 * 1024 + 5;
  {
    const int fd = ::open(File("big.bin").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, kSize), 0);
    ::close(fd);
  }
  struct stat info {};
  ASSERT_EQ(::stat(File("big.bin").c_str(), &info), 0);
  server_.Start();

  RawClient head(server_.port());
  head.ExpectHeadResponses(true);
  head.Send("HEAD /big.bin HTTP/1.0\r\n\r\n");
  std::string r = head.ReadResponse();
  EXPECT_EQ(StatusLine(r), "HTTP/1.0 200 OK");
  EXPECT_EQ(Field(r, "Content-Length"), std::to_string(kSize));

  r = Get("GET /big.bin HTTP/1.0\r\nIf-Modified-Since: " +
          FormatHttpDate(HttpTimeFromTimeT(info.st_mtim.tv_sec)) + "\r\n\r\n");
  EXPECT_EQ(StatusLine(r), "HTTP/1.0 304 Not Modified");
  EXPECT_TRUE(server_.LogShows("\"HEAD /big.bin HTTP/1.0\" 200 " + std::to_string(kSize)));
}

TEST_F(HttpSessionTest, ListingSizesAndEscaping) {
  fs::create_directories(server_.root() / "list" / "<b>dir");
  WriteFile(File("list/empty.txt"), "");
  WriteFile(File("list/one.txt"), "1");
  WriteFile(File("list/k.txt"), std::string(1025, 'k'));
  WriteFile(File("list/<script>alert(1)<"), "x");
  auto& list = server_.AddDirectory("/list", File("list"));
  list.m_bDirectoryListing = true;
  server_.Start();

  std::string page = Body(Get("GET /list/ HTTP/1.0\r\n\r\n"));
  EXPECT_NE(page.find("<a href=/list/empty.txt>empty.txt</a></td><td>0KB</td>"), std::string::npos) << page;
  EXPECT_NE(page.find(">one.txt</a></td><td>1KB</td>"), std::string::npos);
  EXPECT_NE(page.find(">k.txt</a></td><td>2KB</td>"), std::string::npos);
  // Names show as text and link percent-encoded; nothing of them runs as markup.
  EXPECT_EQ(page.find("<script>"), std::string::npos);
  EXPECT_NE(page.find("<a href=/list/%3Cscript%3Ealert(1)%3C>&lt;script&gt;alert(1)&lt;</a>"),
            std::string::npos) << page;
  EXPECT_NE(page.find("&lt;b&gt;dir"), std::string::npos);
  EXPECT_NE(page.find("Index of /list/"), std::string::npos);

  // The URL shown in the title is escaped as well.
  page = Body(Get("GET /list/%3Cb%3Edir HTTP/1.0\r\n\r\n"));
  EXPECT_NE(page.find("Index of /list/&lt;b&gt;dir/"), std::string::npos) << page;
  EXPECT_EQ(page.find("<b>"), std::string::npos);
}

// A folder the server may not read answers 500, logged once like every other answer. Root
// reads any folder, so as root the test runs as "nobody" in a child process.
TEST_F(HttpSessionTest, AnUnreadableListingIsOne500AndOneLogLine) {
  if (!RunHereUnprivileged()) return;
  server_.AddDirectory("/cam", File("cam")).m_bDirectoryListing = true;
  server_.Start();
  fs::permissions(File("cam/sub"), fs::perms(0311));
  RawClient client(server_.port());
  const std::string keep = " HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n";
  client.Send("GET /cam/sub/" + keep);
  const std::string r = client.ReadResponse();
  fs::permissions(File("cam/sub"), fs::perms(0755));
  EXPECT_EQ(StatusLine(r), "HTTP/1.0 500 Internal Server Error");
  // The connection's next answer is logged after every line of this one.
  client.Send("GET /hello.txt" + keep);
  client.ReadResponse();
  ASSERT_TRUE(server_.LogShows("\"GET /hello.txt HTTP/1.0\" 200 11"));
  const std::string log = server_.LogText();
  const std::string line = "\"GET /cam/sub/ HTTP/1.0\" 500 " + Field(r, "Content-Length");
  const std::size_t first = log.find(line);
  ASSERT_NE(first, std::string::npos);
  EXPECT_EQ(log.find(line, first + 1), std::string::npos);
}

TEST_F(HttpSessionTest, DefaultFileAliasesAndFolders) {
  auto& cam = server_.AddDirectory("/CAM/", File("cam"));  // written the way URLs are
  (void)cam;
  server_.Start();
  EXPECT_EQ(Body(Get("GET / HTTP/1.0\r\n\r\n")), "<p>index</p>");
  EXPECT_EQ(Body(Get("GET /cam/ HTTP/1.0\r\n\r\n")), "cam index");
  EXPECT_EQ(Body(Get("GET /Cam/pic.txt HTTP/1.0\r\n\r\n")), "cam pic");
  // A folder reached as a file, listing off, is not found.
  EXPECT_EQ(StatusLine(Get("GET /cam/sub HTTP/1.0\r\n\r\n")), "HTTP/1.0 404 Not Found");
  EXPECT_EQ(StatusLine(Get("GET /cam/sub/ HTTP/1.0\r\n\r\n")), "HTTP/1.0 404 Not Found");
  // "/image" without its blank is no camera route and no file.
  EXPECT_EQ(StatusLine(Get("GET /image HTTP/1.0\r\n\r\n")), "HTTP/1.0 404 Not Found");
}

TEST_F(HttpSessionTest, DirectoryAuthorization) {
  auto& realm = server_.AddDirectory("/cam", File("cam"));
  realm.m_sUsername = "u";
  realm.m_sPassword = "p";
  realm.m_sRealm = "Cameras";
  auto& alias = server_.AddDirectory("/cam/sub", File("cam/sub"));
  alias.m_sUsername = "u";
  alias.m_sPassword = "p";
  WriteFile(File("cam/sub/s.txt"), "sub");
  server_.Start();

  EXPECT_EQ(Field(Get("GET /cam/pic.txt HTTP/1.0\r\n\r\n"), "WWW-Authenticate"), "Basic realm=Cameras");
  EXPECT_EQ(Field(Get("GET /cam/sub/s.txt HTTP/1.0\r\n\r\n"), "WWW-Authenticate"),
            "Basic realm=\\cam\\sub\\");
  // Letter case counts in user name and password.
  EXPECT_EQ(StatusLine(Get("GET /cam/pic.txt HTTP/1.0\r\nAuthorization: Basic VTpw\r\n\r\n")),
            "HTTP/1.0 401 Unauthorized");
  EXPECT_EQ(Body(Get("GET /cam/pic.txt HTTP/1.0\r\nAuthorization: Basic dTpw\r\n\r\n")), "cam pic");
  EXPECT_EQ(Body(Get("GET u:p@/cam/sub/s.txt HTTP/1.0\r\n\r\n")), "sub");
  EXPECT_EQ(Body(Get("GET /hello.txt HTTP/1.0\r\n\r\n")), "hello world");  // open directory
}

TEST_F(HttpSessionTest, ProtectedDirectoryWithoutMechanismsAndScriptDirectories) {
  server_.settings().m_bAllowBasicAuthentication = false;
  auto& cam = server_.AddDirectory("/cam", File("cam"));
  cam.m_sUsername = "u";
  auto& script = server_.AddDirectory("/cam/sub", File("cam/sub"));
  script.m_bScript = true;
  server_.Start();
  EXPECT_EQ(StatusLine(Get("GET /cam/pic.txt HTTP/1.0\r\n\r\n")), "HTTP/1.0 500 Internal Server Error");
  EXPECT_EQ(StatusLine(Get("GET /cam/sub/x HTTP/1.0\r\n\r\n")), "HTTP/1.0 500 Internal Server Error");
  std::string log = server_.LogText();
  EXPECT_NE(log.find("Error: CHttpDirectory::HandleDirectoryAuthorization, Directory is protected but "
                     "all authentication mechanisms are disabled, All requests for this directory "
                     "will fail!!, \\cam\\"), std::string::npos) << log;
  EXPECT_NE(log.find("Directory is a script directory but ISAPI and / or CGI is not supported in "
                     "this configuration, All requests for this directory will fail!!, \\cam\\sub\\"),
            std::string::npos);
}

TEST_F(HttpSessionTest, AnonymousOffGate) {
  server_.settings().m_bAllowAnonymous = false;
  server_.Start();
  std::string r = Get("GET /hello.txt HTTP/1.0\r\n\r\n");
  EXPECT_EQ(StatusLine(r), "HTTP/1.0 401 Unauthorized");
  EXPECT_EQ(Field(r, "WWW-Authenticate"), "Basic realm=/hello.txt");
  EXPECT_EQ(Body(Get("GET /hello.txt HTTP/1.0\r\nAuthorization: Basic dTpw\r\n\r\n")), "hello world");
}

TEST_F(HttpSessionTest, AnonymousOffWithoutMechanismsIs500) {
  server_.settings().m_bAllowAnonymous = false;
  server_.settings().m_bAllowBasicAuthentication = false;
  server_.Start();
  EXPECT_EQ(StatusLine(Get("GET /hello.txt HTTP/1.0\r\n\r\n")), "HTTP/1.0 500 Internal Server Error");
  EXPECT_NE(server_.LogText().find(
                "Error: CHttpClient::HandleClient, Anonymous access is disabled in addition to all "
                "authentication mechanisms, All requests will Fail!!"),
            std::string::npos);
}

TEST_F(HttpSessionTest, OtherVerbsAre501) {
  server_.Start();
  for (const char* verb : {"PUT", "LINK", "UNLINK", "PATCH", "DELETE"}) {
    EXPECT_EQ(StatusLine(Get(std::string(verb) + " /hello.txt HTTP/1.0\r\n\r\n")),
              "HTTP/1.0 501 Not Implemented") << verb;
  }
  EXPECT_TRUE(fs::exists(File("hello.txt")));
  // POST goes the way of GET.
  EXPECT_EQ(Body(Get("POST /hello.txt HTTP/1.0\r\nContent-Length: 3\r\n\r\nabc")), "hello world");
}

TEST_F(HttpSessionTest, DeleteCases) {
  AllowDeletesInCam();
  auto& open = server_.AddDirectory("/open", File("cam"));  // writable, no credentials
  open.m_bWritable = true;
  auto& noPassword = server_.AddDirectory("/nopass", File("cam"));
  noPassword.m_bWritable = true;
  noPassword.m_sUsername = "u";
  server_.Start();
  const std::string own = "Authorization: Basic dTpw\r\n";     // u:p
  const std::string other = "Authorization: Basic eDp5\r\n";   // x:y
  const std::string empty = "Authorization: Basic dTo=\r\n";   // u:
  struct Case {
    std::string request;
    std::string status;
    std::string realm;
  };
  const Case kRefused[] = {
      // Without credentials: a challenge naming the URL.
      {"DELETE /cam/pic.txt HTTP/1.0\r\n\r\n", "401 Unauthorized", "/cam/pic.txt"},
      // Not writable, a folder, a missing file, path info after a file, outside the
      // folder: 404 before the credentials are looked at.
      {"DELETE /hello.txt HTTP/1.0\r\n" + own + "\r\n", "404 Not Found", ""},
      {"DELETE /cam/sub HTTP/1.0\r\n" + other + "\r\n", "404 Not Found", ""},
      {"DELETE /cam/nothing.txt HTTP/1.0\r\n" + other + "\r\n", "404 Not Found", ""},
      {"DELETE /cam/pic.txt/x HTTP/1.0\r\n" + own + "\r\n", "404 Not Found", ""},
      {"DELETE /cam/%2e%2e/hello.txt HTTP/1.0\r\n" + own + "\r\n", "404 Not Found", ""},
      {"DELETE //cam/../hello.txt HTTP/1.0\r\n" + own + "\r\n", "404 Not Found", ""},
      // Credentials that are not the directory's own, or a directory without any.
      {"DELETE /cam/pic.txt HTTP/1.0\r\n" + other + "\r\n", "401 Unauthorized", "Cameras"},
      {"DELETE U:p@/cam/pic.txt HTTP/1.0\r\n\r\n", "401 Unauthorized", "Cameras"},
      {"DELETE /open/pic.txt HTTP/1.0\r\n" + own + "\r\n", "401 Unauthorized", "\\open\\"},
      {"DELETE /nopass/pic.txt HTTP/1.0\r\n" + empty + "\r\n", "401 Unauthorized", "\\nopass\\"},
  };
  for (const Case& c : kRefused) {
    std::string r = Get(c.request);
    EXPECT_EQ(StatusLine(r), "HTTP/1.0 " + c.status) << c.request;
    if (!c.realm.empty()) {
      EXPECT_EQ(Field(r, "WWW-Authenticate"), "Basic realm=" + c.realm) << c.request;
    }
  }
  EXPECT_TRUE(fs::exists(File("cam/pic.txt")));
  EXPECT_TRUE(fs::exists(File("hello.txt")));
  EXPECT_TRUE(fs::exists(File("cam/sub")));
  // The directory's own credentials, in the URL too: the file goes.
  EXPECT_EQ(StatusLine(Get("DELETE u:p@/cam/pic.txt HTTP/1.0\r\n\r\n")), "HTTP/1.0 200 OK");
  EXPECT_FALSE(fs::exists(File("cam/pic.txt")));
}

// A file the system will not let the server remove gets a challenge naming the URL. Root
// may remove any file, so as root the test runs as "nobody" in a child process.
TEST_F(HttpSessionTest, DeleteRefusedByPermissionsIsAChallenge) {
  if (!RunHereUnprivileged()) return;
  AllowDeletesInCam();
  server_.Start();
  fs::permissions(File("cam"), fs::perms(0555));
  std::string r = Get("DELETE /cam/pic.txt HTTP/1.0\r\nAuthorization: Basic dTpw\r\n\r\n");
  fs::permissions(File("cam"), fs::perms(0755));
  EXPECT_EQ(StatusLine(r), "HTTP/1.0 401 Unauthorized");
  EXPECT_EQ(Field(r, "WWW-Authenticate"), "Basic realm=/cam/pic.txt");
  EXPECT_TRUE(fs::exists(File("cam/pic.txt")));
}

TEST_F(HttpSessionTest, DeleteWithoutAnyMechanismIs404) {
  server_.settings().m_bAllowDeleteRequest = true;
  server_.settings().m_bAllowBasicAuthentication = false;
  auto& cam = server_.AddDirectory("/cam", File("cam"));
  cam.m_bWritable = true;
  server_.Start();
  EXPECT_EQ(StatusLine(Get("DELETE /cam/pic.txt HTTP/1.0\r\n\r\n")), "HTTP/1.0 404 Not Found");
  EXPECT_TRUE(fs::exists(File("cam/pic.txt")));
}

// Each malformed form answers 400 and closes, even on a kept-alive connection.
TEST_F(HttpSessionTest, MalformedRequestsAre400) {
  server_.Start();
  for (const char* request : {
           "GET\r\n\r\n", "HEAD /\r\n", "GET / FTP/1.0\r\n\r\n", "GET / HTTP/1\r\n\r\n",
           "GET / HTTP/1.0\r\nConnection: Keep-Alive\r\nAuthorization: Basic\r\n\r\n",
           " \r\n\r\n"}) {
    std::string r = Get(request);
    EXPECT_NE(r.find("400"), std::string::npos) << request << " -> " << r;
  }
  // Those whose version was never read still get a status line.
  EXPECT_EQ(StatusLine(Get("GET / FTP/1.0\r\n\r\n")), "HTTP/1.0 400 Bad Request");
  EXPECT_EQ(StatusLine(Get("GET / HTTP/1.0\r\nAuthorization: Basic\r\n\r\n")), "HTTP/1.0 400 Bad Request");
}

TEST_F(HttpSessionTest, OversizedRequestsAre400AndClose) {
  server_.Start();
  for (const std::string& request : {
           "GET / HTTP/1.0\r\nX: " + std::string(70 * 1024, 'a') + "\r\n\r\n",
           std::string("POST / HTTP/1.0\r\nContent-Length: -5\r\n\r\n"),
           std::string("POST / HTTP/1.0\r\nContent-Length: 2000000\r\n\r\n"),
           std::string("POST / HTTP/1.0\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nab"),
           std::string("POST / HTTP/1.0\r\nContent-Length: 0x2\r\n\r\nab"),
       }) {
    RawClient client(server_.port());
    client.Send(request);
    std::string r = client.ReadAll();
    EXPECT_EQ(StatusLine(r), "HTTP/1.0 400 Bad Request") << request.substr(0, 40);
  }
}

// A chunked body is not decoded, so it is refused rather than read as the next request:
// the request hidden in it is never answered.
TEST_F(HttpSessionTest, TransferEncodingIs501AndCloses) {
  server_.Start();
  RawClient client(server_.port());
  client.Send("POST /hello.txt HTTP/1.0\r\nConnection: Keep-Alive\r\nTransfer-Encoding: chunked\r\n\r\n"
              "2d\r\nGET /index.html HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n\r\n0\r\n\r\n");
  std::string r = client.ReadAll();
  EXPECT_EQ(StatusLine(r), "HTTP/1.0 501 Not Implemented");
  EXPECT_EQ(Field(r, "Connection"), "");
  EXPECT_EQ(r.find("index"), std::string::npos) << r;
  EXPECT_EQ(r.find("HTTP/1.0", 1), std::string::npos) << r;  // one response only
}

TEST_F(HttpSessionTest, IdleClientIsCutOff) {
  server_.settings().m_dwIdleClientTimeout = 200;
  server_.Start();
  // A body that never comes: nothing is answered, the connection just ends.
  RawClient client(server_.port());
  client.Send("POST / HTTP/1.0\r\nContent-Length: 10\r\n\r\n12345");
  EXPECT_EQ(client.ReadAll(), "");
  // A connection that sends nothing at all.
  RawClient silent(server_.port());
  EXPECT_EQ(silent.ReadAll(), "");
}

// However a URL is spelled, nothing outside the content folder is sent.
TEST_F(HttpSessionTest, PathsCannotLeaveTheContentFolder) {
  WriteFile((server_.tmp() / "secret.txt").string(), "SECRET");
  fs::create_symlink(server_.tmp() / "secret.txt", server_.root() / "link.txt");
  fs::create_symlink(server_.tmp(), server_.root() / "up");
  server_.Start();
  for (const char* url : {"/../secret.txt", "/%2e%2e/secret.txt", "/%2E%2E%2fsecret.txt",
                          "/..%5csecret.txt", "/link.txt", "/up/secret.txt",
                          "//etc/passwd", "/%2fetc/passwd", "u:p@//etc/passwd"}) {
    std::string r = Get(std::string("GET ") + url + " HTTP/1.0\r\n\r\n");
    EXPECT_EQ(StatusLine(r), "HTTP/1.0 404 Not Found") << url;
    EXPECT_EQ(r.find("SECRET"), std::string::npos) << url;
    EXPECT_EQ(r.find("root:"), std::string::npos) << url;
  }
  // A NUL ends the path where it stands, hiding whatever was meant to follow.
  EXPECT_EQ(Body(Get("GET /hello.txt%00.jpg HTTP/1.0\r\n\r\n")), "hello world");
  EXPECT_EQ(Body(Get("GET /hello.txt%00/../../secret.txt HTTP/1.0\r\n\r\n")), "hello world");
}

TEST_F(HttpSessionTest, HeaderValuesCannotCarryNewLines) {
  server_.settings().m_bAllowAnonymous = false;
  server_.Start();
  std::string r = Get("GET /x%0d%0aSet-Cookie:%20a=b HTTP/1.0\r\n\r\n");
  EXPECT_EQ(StatusLine(r), "HTTP/1.0 401 Unauthorized");
  EXPECT_EQ(Field(r, "Set-Cookie"), "");
  EXPECT_EQ(Field(r, "WWW-Authenticate"), "Basic realm=/xSet-Cookie: a=b");
}

// Stand-in routes, to drive the writers no directory uses.
class StandInRoutes : public SessionRoutes {
public:
  bool Serve(CHttpClient& session) override {
    const ClientRequest& request = session.Request();
    if (request.url == "/go") {
      session.SendRedirect(request.query);
      return true;
    }
    if (request.url == "/buffer") {
      Buffer(session);
      return true;
    }
    if (request.url == "/nomem") throw std::bad_alloc();
    if (request.url == "/nomem-after") {
      Buffer(session);
      throw std::bad_alloc();
    }
    return false;
  }
  std::string LoggedRequestLine(std::string_view line) const override {
    return MaskUserInfoPassword(line);
  }
  std::string_view LogModule() const override { return "HttpClient"; }

private:
  // Answers as a camera picture is answered.
  static void Buffer(CHttpClient& session) {
    Response response;
    response.expiresNow = true;
    response.typeOf = "image.txt";
    response.bytes = "abc";
    response.bodyWithHead = true;
    session.Respond(std::move(response));
  }
};

std::unique_ptr<CHttpClient> RoutedClient(const ResourceLibrary& resources) {
  return std::make_unique<CHttpClient>(resources, std::make_unique<StandInRoutes>());
}

TEST_F(HttpSessionTest, CameraDispatchPointRedirectAndBuffer) {
  server_.settings().m_ClientFactory = [this] {
    return RoutedClient(server_.resources());
  };
  server_.Start();
  std::string r = Get("GET /go?/index.html%0d%0aX-Injected:%201 HTTP/1.0\r\n\r\n");
  EXPECT_EQ(StatusLine(r), "HTTP/1.0 302 Moved Temporarily");
  EXPECT_EQ(FieldNames(r), (Names{"Date", "Server", "Allow", "Location", "Content-Length",
                                  "Content-Type"}));
  EXPECT_EQ(Field(r, "Location"), "/index.htmlX-Injected: 1");
  EXPECT_EQ(Field(r, "X-Injected"), "");

  RawClient client(server_.port());
  client.Send("GET /buffer HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n");
  r = client.ReadResponse();
  EXPECT_EQ(FieldNames(r), (Names{"Date", "Server", "Allow", "Expires", "Connection",
                                  "Content-Length", "Content-Type"}));
  EXPECT_EQ(Field(r, "Expires"), Field(r, "Date"));
  EXPECT_EQ(Field(r, "Content-Type"), "text/plain");
  EXPECT_EQ(Body(r), "abc");
  // The connection goes on after a buffer. HEAD gets the body as well, and then the
  // connection ends, so that no client takes the body for its next response.
  client.Send("HEAD /buffer HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n");
  r = client.ReadAll();
  EXPECT_EQ(Body(r), "abc");
  EXPECT_EQ(Field(r, "Content-Length"), "3");
  EXPECT_EQ(Field(r, "Connection"), "");
  EXPECT_EQ(Get("GET /buffer\r\n"), "abc");  // HTTP/0.9: the body alone
  // Every other path still reaches the directories.
  EXPECT_EQ(Body(Get("GET /hello.txt HTTP/1.0\r\n\r\n")), "hello world");
}

// HEAD on a status page or a listing gets the head alone, with the length a GET would get,
// and the kept-alive connection goes on in step.
TEST_F(HttpSessionTest, HeadOnPagesAndListingsSendsTheHeadAlone) {
  server_.AddDirectory("/cam", File("cam")).m_bDirectoryListing = true;
  server_.Start();
  RawClient client(server_.port());
  const std::string keep = " HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n";
  for (const char* target : {"/missing.txt", "/cam/", "/hello.txt"}) {
    client.Send("GET " + std::string(target) + keep);
    const std::string get = client.ReadResponse();
    client.ExpectHeadResponses(true);
    client.Send("HEAD " + std::string(target) + keep);
    const std::string head = client.ReadResponse();
    client.ExpectHeadResponses(false);
    EXPECT_EQ(StatusLine(head), StatusLine(get)) << target;
    EXPECT_EQ(Field(head, "Content-Length"), std::to_string(Body(get).size())) << target;
    EXPECT_EQ(Field(head, "Connection"), "Keep-Alive") << target;
    EXPECT_EQ(Body(head), "") << target;
  }
  // Nothing of a body was left on the wire: the next answer is read in step.
  client.Send("GET /hello.txt HTTP/1.0\r\n\r\n");
  EXPECT_EQ(Body(client.ReadResponse()), "hello world");
  EXPECT_TRUE(client.ClosedByServer());
}

// A worker that runs out of memory answers 503 when nothing of its answer went out yet,
// else just closes; either way it is logged, and the server goes on serving.
TEST_F(HttpSessionTest, AnAllocationFailureAnswers503AndTheServerGoesOn) {
  server_.settings().m_ClientFactory = [this] {
    return RoutedClient(server_.resources());
  };
  server_.Start();
  const std::string keep = " HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n";
  // More failures than workers: none of them may end one.
  for (int i = 0; i < 4; ++i) {
    RawClient client(server_.port());
    client.Send("GET /nomem" + keep + "GET /hello.txt" + keep);
    const std::string r = client.ReadAll();
    EXPECT_EQ(StatusLine(r), "HTTP/1.0 503 Service Unavailable");
    EXPECT_EQ(Field(r, "Connection"), "");
    EXPECT_EQ(Body(r), std::string(server_.server().GetErrorPage(503)));
  }
  RawClient cut(server_.port());
  cut.Send("GET /nomem-after" + keep);
  const std::string r = cut.ReadAll();
  EXPECT_EQ(StatusLine(r), "HTTP/1.0 200 OK");
  EXPECT_EQ(Body(r), "abc");  // the answer begun, and nothing after it
  EXPECT_EQ(Body(Get("GET /hello.txt HTTP/1.0\r\n\r\n")), "hello world");
  EXPECT_TRUE(server_.LogShows("CHttpClient::HandleClient, Out of memory, answered 503"));
  EXPECT_TRUE(server_.LogShows("\"GET /nomem HTTP/1.0\" 503 "));
  EXPECT_TRUE(server_.LogShows(
      "CHttpClient::HandleClient, Out of memory while answering, connection closed"));
}

}  // namespace
}  // namespace orbiscope
