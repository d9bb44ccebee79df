#include "httpd/camera/CameraRoutes.h"
#include "httpd/camera/CameraState.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "httpd/MimeMap.h"
#include "httpd/camera/CameraPicture.h"
#include "httpd/camera/CompatRoutes.h"
#include "httpd/client/RequestParser.h"
#include "tests/httpd/camera/CameraTestSupport.h"
#include "tests/httpd/client/LoopbackServer.h"

namespace orbiscope {
namespace {

using namespace orbiscope::testing;


// Runs a command and answers its standard output (and error), with its exit status.
std::string RunCommand(const std::string& command, int* status = nullptr) {
  std::string out;
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  int rc = ::pclose(pipe);
  if (status != nullptr) *status = rc;
  return out;
}

class CameraLoopbackTest : public ::testing::Test {
protected:
  void SetUp() override {
    ConfigStore store;
    store.SetFileName((server_.tmp() / "camera-mime.xml").string());
    const char* types[][2] = {{"JPG", "image/jpeg"},
                              {"PNG", "image/png"},
                              {"GIF", "image/gif"},
                              {"WBMP", "image/vnd.wap.wbmp"},
                              {"TXT", "text/plain"}};
    store.SetInt("GENERAL", "MimeRegistred", 5);
    for (int i = 0; i < 5; ++i) {
      const std::string section = "MIME\\MIME" + std::to_string(i + 1);
      store.SetValue(section, "KEY", types[i][0]);
      store.SetValue(section, "VALUE", types[i][1]);
    }
    mime_.Load(store);
    server_.settings().m_pMimeManager = &mime_;
    server_.settings().m_bKeepAlives = true;
    WriteFile((server_.root() / "image").string(), "a file named image");
  }

  // Starts the server; publishes a 640 x 480 frame unless `empty`.
  void Start(bool empty = false, bool phones = true) {
    camera_.m_sCameraUser = kUser;
    camera_.m_sCameraPassword = Digest(kPassword);
    camera_.m_nPhoneSwitch = phones ? 1 : 0;
    if (!empty) camera_.m_LatestFrame.Publish(TestFrame(), 480, 640);
    server_.settings().m_ClientFactory = [this] {
      return MakeCameraSession(server_.resources(), camera_);
    };
    server_.Start();
  }
  // A 640 x 480 frame with gradients and a checkerboard; `shift` moves the gradient.
  static CPicture TestFrame(int shift = 0) {
    CPicture frame(640, 480, 24, kFormatBmp);
    for (std::uint32_t y = 0; y < 480; ++y) {
      std::uint8_t* row = frame.Row(y);
      for (std::uint32_t x = 0; x < 640; ++x) {
        row[3 * x] = static_cast<std::uint8_t>(x / 3 + shift);
        row[3 * x + 1] = static_cast<std::uint8_t>(y / 2);
        row[3 * x + 2] = static_cast<std::uint8_t>((x / 40 + y / 40) % 2 ? 220 : 30);
      }
    }
    return frame;
  }

  std::string Get(const std::string& target, const char* verb = "GET") {
    return Exchange(server_.port(), std::string(verb) + " " + target + " HTTP/1.0\r\n\r\n");
  }
  static std::string Jpeg(int w, int h, std::string digest = Digest(kPassword)) {
    return "/image%20?user=" + std::string(kUser) + "%20pass=" + digest + "%20w=" +
           std::to_string(w) + "%20h=" + std::to_string(h);
  }
  static std::string Png(int w, int h) {
    return "/image.png?user=" + std::string(kUser) + "&pass=" + Digest(kPassword) +
           "&w=" + std::to_string(w) + "&h=" + std::to_string(h);
  }
  static std::string Phone(const char* path) {
    return std::string(path) + "?user=" + kUser + "&pass=" + kPassword + "&n=1";
  }
  // What encoding a private copy of the stored frame for the request gives.
  std::string Reference(CameraRoute route, int w, int h) {
    FrameSnapshot snapshot = camera_.m_LatestFrame.Snapshot();
    const CameraPicture picture = MakeCameraPicture(route, snapshot, w, h);
    return std::string(reinterpret_cast<const char*>(picture.bytes.get()), picture.size);
  }
  // The body saved to a file for the decoders.
  std::string Save(const std::string& body, const std::string& name) {
    const std::string path = (server_.tmp() / name).string();
    std::ofstream(path, std::ios::binary) << body;
    return path;
  }
  // "FORMAT WxH MODE" as Pillow reads the file.
  std::string Pillow(const std::string& path) {
    std::string out = RunCommand(
        "/usr/bin/python3 -c \"import sys; from PIL import Image; im = Image.open(sys.argv[1]); "
        "im.load(); print(im.format, '%dx%d' % im.size, im.mode)\" " + path);
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
  }
  std::string PillowOfBody(const std::string& response, const std::string& name) {
    EXPECT_EQ(StatusLine(response), "HTTP/1.0 200 OK") << response.substr(0, 300);
    return Pillow(Save(Body(response), name));
  }

  // Both outlive the server, whose sessions read them.
  CameraState camera_;
  CMimeMap mime_;
  LoopbackServer server_;
};

// Each desktop route's size rules, read back with Pillow; JPEG also by djpeg and PNG by
// pngcheck, so a second decoder vouches for the stream.
TEST_F(CameraLoopbackTest, DesktopRoutesDecodeAtTheirSizes) {
  Start();
  std::string r = Get(Jpeg(320, 240));
  // The specified block, then the frame's capture time: the one field added to it.
  EXPECT_EQ(FieldNames(r), (std::vector<std::string>{"Date", "Server", "Allow", "Expires",
                                                     "Content-Length", "Content-Type",
                                                     "X-Timestamp"}));
  EXPECT_EQ(Field(r, "Content-Type"), "image/jpeg");
  EXPECT_EQ(Field(r, "Expires"), Field(r, "Date"));
  const std::string jpeg = Save(Body(r), "a.jpg");
  EXPECT_EQ(Pillow(jpeg), "JPEG 320x240 RGB");
  int status = -1;
  std::string ppm = RunCommand("djpeg -pnm " + jpeg + " | head -c 2", &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(ppm, "P6");

  struct Case {
    int w, h;
    const char* size;
  } cases[] = {
      {640, 480, "640x480"}, {1000, 900, "640x480"},  // at least the frame: frame size
      {0, 100, "640x480"},   {100, 0, "640x480"},     // a zero side: unchanged
      {800, 100, "800x100"},                          // larger in one side, smaller in the other
      {100000, 479, "640x480"}, {-20, -30, "640x480"}, // cannot be made: unchanged
  };
  for (const Case& c : cases) {
    EXPECT_EQ(PillowOfBody(Get(Jpeg(c.w, c.h)), "b.jpg"), std::string("JPEG ") + c.size + " RGB")
        << c.w << "x" << c.h;
  }
  // The digest in lower case opens the route too.
  std::string lower = Digest(kPassword);
  for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  EXPECT_EQ(PillowOfBody(Get(Jpeg(32, 24, lower)), "c.jpg"), "JPEG 32x24 RGB");

  r = Get(Png(160, 120));
  EXPECT_EQ(Field(r, "Content-Type"), "image/png");
  const std::string png = Save(Body(r), "a.png");
  EXPECT_EQ(Pillow(png), "PNG 160x120 RGB");
  RunCommand("pngcheck -q " + png, &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(PillowOfBody(Get(Png(0, 0)), "b.png"), "PNG 640x480 RGB");
  EXPECT_EQ(PillowOfBody(Get(Png(700, 10)), "c.png"), "PNG 700x10 RGB");
  EXPECT_EQ(PillowOfBody(Get(Png(2000, 2000)), "d.png"), "PNG 640x480 RGB");
}

TEST_F(CameraLoopbackTest, PhoneRoutesDecode) {
  Start();
  std::string gifQuery = std::string("?user=") + kUser + "&pass=" + kPassword + "&n=1";
  for (const char* path : {"/image.xhtml", "/image.chtml"}) {
    std::string r = Get(path + gifQuery);
    EXPECT_EQ(Field(r, "Content-Type"), "image/gif");
    const std::string gif = Save(Body(r), "a.gif");
    EXPECT_EQ(Pillow(gif), "GIF 90x90 P");
    int status = -1;
    std::string text = RunCommand("giftext " + gif, &status);
    EXPECT_EQ(status, 0) << text;
    EXPECT_NE(text.find("Width = 90, Height = 90"), std::string::npos) << text;
  }
  std::string r = Get(std::string("/image.wml?user=") + kUser + "&pass=" + kPassword);
  EXPECT_EQ(Field(r, "Content-Type"), "image/vnd.wap.wbmp");
  const std::string wbmp = Save(Body(r), "a.wbmp");
  int status = -1;
  std::string pbm = RunCommand("wbmptopbm " + wbmp + " | head -c 9", &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(pbm, "P4\n90 70\n");

  // A request without a version gets the picture alone, without a header.
  const std::string bare = Exchange(
      server_.port(), std::string("GET /image.wml?user=") + kUser + "&pass=" + kPassword + "\r\n\r\n");
  EXPECT_EQ(bare, Body(r));
}

// Wrong credentials and the closed phone gate get 401 without keep-alive, and the
// connection ends; so do the GIF query without its second "&" and a WBMP password that is
// followed by another parameter.
TEST_F(CameraLoopbackTest, RefusalsEndTheConnection) {
  Start(false, /*phones=*/false);
  const std::string refused[] = {
      Jpeg(10, 10, Digest("wrong")),
      "/image%20?user=cam%20pass=" + Digest(kPassword) + "%20w=1%20h=1",  // user case matters
      std::string("/image.xhtml?user=") + kUser + "&pass=" + kPassword,
      std::string("/image.wml?user=") + kUser + "&pass=" + kPassword + "&x=1",
      std::string("/image.png?user=") + kUser + "&pass=" + kPassword + "&w=1&h=1",
      "/index.wml",
  };
  for (const std::string& target : refused) {
    RawClient client(server_.port());
    client.Send("GET " + target + " HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n");
    std::string r = client.ReadResponse();
    EXPECT_EQ(StatusLine(r), "HTTP/1.0 401 Unauthorized") << target;
    EXPECT_EQ(Field(r, "Connection"), "") << target;
    EXPECT_TRUE(client.ClosedByServer()) << target;
  }
}

// A picture keeps a kept-alive connection open for the next request. HEAD carries the
// body, as GET does, and then closes the connection.
TEST_F(CameraLoopbackTest, KeepAliveAndHead) {
  Start();
  RawClient client(server_.port());
  client.Send("GET " + Jpeg(64, 48) + " HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n");
  std::string first = client.ReadResponse();
  EXPECT_EQ(Field(first, "Connection"), "Keep-Alive");
  EXPECT_EQ(std::to_string(Body(first).size()), Field(first, "Content-Length"));
  client.Send("HEAD " + Png(32, 24) + " HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n");
  std::string head = client.ReadResponse();
  EXPECT_EQ(StatusLine(head), "HTTP/1.0 200 OK");
  EXPECT_EQ(Pillow(Save(Body(head), "head.png")), "PNG 32x24 RGB");
  EXPECT_EQ(Field(head, "Connection"), "");
  EXPECT_TRUE(client.ClosedByServer());
  RawClient other(server_.port());
  other.Send("GET " + Jpeg(1, 1, "bad") + " HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n");
  EXPECT_EQ(StatusLine(other.ReadResponse()), "HTTP/1.0 401 Unauthorized");
  EXPECT_TRUE(other.ClosedByServer());
}

// "/image" without the blank is a file of the content folder, and the phone page passes
// while phones are on.
TEST_F(CameraLoopbackTest, OtherPathsGoToTheDirectories) {
  WriteFile((server_.root() / "index.wml").string(), "<wml/>");
  Start();
  std::string r = Get("/image?user=Cam");
  EXPECT_EQ(StatusLine(r), "HTTP/1.0 200 OK");
  EXPECT_EQ(Body(r), "a file named image");
  EXPECT_EQ(Body(Get("/index.wml")), "<wml/>");
  EXPECT_EQ(StatusLine(Get("/image.jpg")), "HTTP/1.0 404 Not Found");
}

// While phones are off, no spelling of the phone page's path that the directories would
// serve it for gets it, through another alias of the folder or as a default file neither;
// other files, and a missing page's neighbours, are served as before.
TEST_F(CameraLoopbackTest, PhoneGateHoldsForEveryPathToThePage) {
  WriteFile((server_.root() / "index.wml").string(), "<wml/>");
  WriteFile((server_.root() / "index.wml.txt").string(), "text");
  server_.AddDirectory("/phones/", server_.root().string());
  server_.AddDirectory("/wap/", server_.root().string()).m_sDefaultFile = "index.wml";
  Start(false, /*phones=*/false);
  const char* const kGated[] = {"/index.wml",  "/index.wml/",     "//index.wml",
                                "/./index.wml", "/index.wml/x/y", "/.//./index.wml?x=1",
                                "/phones/index.wml", "/PHONES/./index.wml", "/wap/",
                                "/index.wm%6C"};
  for (const char* target : kGated)
    EXPECT_EQ(StatusLine(Get(target)), "HTTP/1.0 401 Unauthorized") << target;
  EXPECT_EQ(Body(Get("/index.wml.txt")), "text");
  EXPECT_EQ(Body(Get("/phones/index.wml.txt")), "text");
  EXPECT_EQ(StatusLine(Get("/index.wmlx")), "HTTP/1.0 404 Not Found");
}

TEST_F(CameraLoopbackTest, EmptyStoreAnswers) {
  Start(/*empty=*/true);
  std::string r = Get(Jpeg(320, 240));
  EXPECT_EQ(StatusLine(r), "HTTP/1.0 200 OK");
  EXPECT_EQ(Field(r, "Content-Length"), "0");
  EXPECT_EQ(Body(r), "");
  const std::string others[] = {
      Png(320, 240),
      std::string("/image.xhtml?user=") + kUser + "&pass=" + kPassword + "&n=1",
      std::string("/image.wml?user=") + kUser + "&pass=" + kPassword,
  };
  for (const std::string& target : others) {
    RawClient client(server_.port());
    client.Send("GET " + target + " HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n");
    r = client.ReadResponse();
    EXPECT_EQ(StatusLine(r), "HTTP/1.0 400 Bad Request") << target;
    EXPECT_EQ(Field(r, "Connection"), "") << target;
    EXPECT_TRUE(client.ClosedByServer()) << target;
  }
}

// The access log keeps the requests but not the passwords or digests that open the camera.
TEST_F(CameraLoopbackTest, AccessLogMasksPasswords) {
  Start();
  const std::string digest = Digest(kPassword);
  Get(Jpeg(8, 6));
  Get(Png(8, 6));
  Get(std::string("/image.xhtml?user=") + kUser + "&pass=" + kPassword + "&n=1");
  Get(std::string("/image.wml?user=") + kUser + "&pass=" + kPassword);
  Get(std::string("/image.wml?user=") + kUser + "&pass=wrong&x=1");
  // Refused before the route (verb not handled): still a camera request line.
  Get(std::string("/image.xhtml?user=") + kUser + "&pass=" + kPassword + "&n=2", "PUT");
  Get("/hello.txt?pass=hidden&sn=1");
  server_.Stop();
  const std::string log = server_.LogText();
  EXPECT_EQ(log.find(digest), std::string::npos);
  EXPECT_EQ(log.find(kPassword), std::string::npos);
  EXPECT_EQ(log.find("wrong"), std::string::npos);
  EXPECT_NE(log.find("GET /image%20?user=Cam%20pass=*%20w=8%20h=6 HTTP/1.0\" 200"), std::string::npos)
      << log;
  EXPECT_NE(log.find("GET /image.png?user=Cam&amp;pass=*&amp;w=8&amp;h=6 HTTP/1.0"), std::string::npos);
  EXPECT_NE(log.find("GET /image.xhtml?user=Cam&amp;pass=*&amp;n=1 HTTP/1.0"), std::string::npos);
  EXPECT_NE(log.find("GET /image.wml?user=Cam&amp;pass=* HTTP/1.0\" 401"), std::string::npos);
  EXPECT_NE(log.find("PUT /image.xhtml?user=Cam&amp;pass=*&amp;n=2 HTTP/1.0\" 501"), std::string::npos);
  EXPECT_NE(log.find("GET /hello.txt?pass=*&amp;sn=1 HTTP/1.0"), std::string::npos);
}

// Sizes that cannot be made, sent ten at once, neither crash the server nor make it take
// gigabytes; the largest size that can be made is served meanwhile.
TEST_F(CameraLoopbackTest, BadSizesStayBounded) {
  server_.settings().m_nThreadPoolSize = 10;
  Start();
  const std::string targets[] = {
      Jpeg(100000, 479), Jpeg(-1, -1), Png(-640, 1), "/image%20?user=Cam%20pass=" +
      Digest(kPassword) + "%20w=99999999999999999999%20h=-99999999999999999999",
      Png(2147483647, 2147483647), Jpeg(16384, 479), Png(16384, 479), Jpeg(640, 16384),
      Jpeg(479, 16384), Png(100000, 1),
  };
  std::vector<std::string> answers(std::size(targets));
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < std::size(targets); ++i) {
    threads.emplace_back([&, i] { answers[i] = Get(targets[i]); });
  }
  for (std::thread& t : threads) t.join();
  for (std::size_t i = 0; i < std::size(targets); ++i) {
    EXPECT_EQ(StatusLine(answers[i]), "HTTP/1.0 200 OK") << targets[i];
    EXPECT_FALSE(Body(answers[i]).empty()) << targets[i];
  }
  EXPECT_EQ(PillowOfBody(answers[0], "big0.jpg"), "JPEG 640x480 RGB");
  EXPECT_EQ(PillowOfBody(answers[5], "big5.jpg"), "JPEG 16384x479 RGB");
  rusage usage {};
  ::getrusage(RUSAGE_SELF, &usage);
  EXPECT_LT(usage.ru_maxrss, 1024L * 1024L);  // kilobytes
  // The server is still there.
  EXPECT_EQ(PillowOfBody(Get(Jpeg(16, 12)), "after.jpg"), "JPEG 16x12 RGB");
}

// The shared pictures are byte for byte what each request would encode for itself, over
// every route, sizes that scale and sizes that do not, and several frames.
TEST_F(CameraLoopbackTest, SharedPicturesAreThePerRequestBytes) {
  Start();
  struct Case {
    CameraRoute route;
    std::string target;
    int w, h;
  };
  const std::vector<Case> cases = {
      {CameraRoute::Jpeg, Jpeg(0, 0), 0, 0},       {CameraRoute::Jpeg, Jpeg(320, 240), 320, 240},
      {CameraRoute::Jpeg, Jpeg(640, 480), 640, 480}, {CameraRoute::Jpeg, Jpeg(800, 100), 800, 100},
      {CameraRoute::Jpeg, Jpeg(33, 17), 33, 17},   {CameraRoute::Png, Png(0, 0), 0, 0},
      {CameraRoute::Png, Png(160, 120), 160, 120}, {CameraRoute::Gif, Phone("/image.xhtml"), 0, 0},
      {CameraRoute::Gif, Phone("/image.chtml"), 0, 0}, {CameraRoute::Wbmp,
      std::string("/image.wml?user=") + kUser + "&pass=" + kPassword, 0, 0},
  };
  for (int frame = 1; frame <= 3; ++frame) {
    if (frame > 1) camera_.m_LatestFrame.Publish(TestFrame(frame * 7), 480, 640);
    for (const Case& c : cases) {
      const std::string expected = Reference(c.route, c.w, c.h);
      ASSERT_FALSE(expected.empty()) << c.target;
      EXPECT_TRUE(Body(Get(c.target)) == expected) << c.target << " frame " << frame;
      EXPECT_TRUE(Body(Get(c.target)) == expected) << c.target << " frame " << frame << " again";
    }
  }
  const PictureCacheStats stats = camera_.m_PictureCache.Stats();
  // The two GIF paths, and JPEG's unscaled sizes, give equal bytes and share one picture.
  EXPECT_EQ(stats.encodes, 3u * 8u);
  EXPECT_EQ(stats.bypasses, 0u);
}

// Requests that arrive together for a frame nobody asked for yet cause one encode.
TEST_F(CameraLoopbackTest, ConcurrentRequestsEncodeAFrameOnce) {
  constexpr int kClients = 8;
  server_.settings().m_nThreadPoolSize = kClients;
  Start();
  camera_.m_LatestFrame.Publish(TestFrame(3), 480, 640);
  const PictureCacheStats before = camera_.m_PictureCache.Stats();
  std::vector<std::string> answers(kClients);
  std::vector<std::thread> threads;
  for (int i = 0; i < kClients; ++i)
    threads.emplace_back([&, i] { answers[i] = Get(Jpeg(320, 240)); });
  for (std::thread& t : threads) t.join();
  const PictureCacheStats after = camera_.m_PictureCache.Stats();
  EXPECT_EQ(after.encodes - before.encodes, 1u);
  EXPECT_EQ(after.hits + after.waits - before.hits - before.waits, kClients - 1u);
  for (const std::string& answer : answers) EXPECT_TRUE(Body(answer) == Body(answers[0]));
}

// A newer frame drops what was kept for the older one, and its requests get its pictures.
TEST_F(CameraLoopbackTest, ANewerFrameReplacesTheKeptPictures) {
  Start();
  const std::string old = Body(Get(Jpeg(320, 240)));
  Get(Png(0, 0));
  EXPECT_EQ(camera_.m_PictureCache.Stats().entries, 2u);
  camera_.m_LatestFrame.Publish(TestFrame(50), 480, 640);
  const std::string now = Body(Get(Jpeg(320, 240)));
  EXPECT_EQ(camera_.m_PictureCache.Stats().entries, 1u);
  EXPECT_TRUE(now != old);
  EXPECT_TRUE(now == Reference(CameraRoute::Jpeg, 320, 240));
}

// The compatibility routes, as printer hosts, home automation and recorders ask for them.
class CompatRouteTest : public CameraLoopbackTest {
protected:
  static constexpr const char* kBasic = "Authorization: Basic Q2FtOnMzY3JldA==\r\n";  // Cam:s3cret
  std::string Ask(const std::string& target, const std::string& fields = kBasic) {
    return Exchange(server_.port(), "GET " + target + " HTTP/1.0\r\n" + fields + "\r\n");
  }
  static ClientRequest ParsedRequest(const std::string& raw) {
    ClientRequest request;
    request.raw = raw;
    EXPECT_TRUE(ParseHead(request, ParsePolicy {}));
    return request;
  }
  bool stale_ = false;
};

// Every cache-buster form the clients append, under every prefix, answers the snapshot; a
// path or query that does not name an action stays the content folder's.
TEST_F(CompatRouteTest, QueriesAreReadByName) {
  Start();
  const char* queries[] = {
      "?action=snapshot",
      "?action=snapshot?1733700000000",           // a second "?" with a bare number
      "?1733700000000&action=snapshot",           // a bare number first
      "?action=snapshot&timestamp=1733700000",
      "?action=snapshot&cacheBust=1733700000",
      "?action=snapshot&x=1?nonce_ab12=0.5",      // a second query after an existing one
      "?w=&foo=bar&action=snapshot&h=",           // empty and unknown values
      "?act%69on=snapshot",                        // names are decoded before they count
  };
  for (const char* prefix : {"/", "/webcam/", "/cam/"}) {
    for (const char* query : queries) {
      const std::string target = prefix + std::string(query);
      const std::string r = Ask(target);
      ASSERT_EQ(StatusLine(r), "HTTP/1.0 200 OK") << target;
      EXPECT_EQ(Field(r, "Content-Type"), "image/jpeg") << target;
      EXPECT_FALSE(Field(r, "X-Timestamp").empty()) << target;
      EXPECT_EQ(Body(r), Reference(CameraRoute::Jpeg, 0, 0)) << target;
    }
  }
  EXPECT_EQ(PillowOfBody(Ask("/webcam/?action=snapshot&w=160&h=120&_=1"), "s.jpg"),
            "JPEG 160x120 RGB");
  // Each name's first entry with a value counts, whichever names come between.
  EXPECT_EQ(PillowOfBody(Ask("/webcam/?w=&h=120&action=snapshot&w=160&%68=240&w=320"), "d.jpg"),
            "JPEG 160x120 RGB");
  // Not an action: the directories answer (no such file here), never a picture or a 401.
  for (const char* target : {"/webcam?action=snapshot", "/?action=snapshots", "/?action=",
                             "/?snapshot", "/?xaction=stream"}) {
    const std::string r = Ask(target, "");
    EXPECT_NE(Field(r, "Content-Type"), "image/jpeg") << target;
    EXPECT_NE(StatusLine(r), "HTTP/1.0 401 Unauthorized") << target;
  }
}

// Basic in the header or the URL, or the named values with the password or its digest;
// anything else is refused with the challenge and the connection ends.
TEST_F(CompatRouteTest, CredentialsAndTheChallenge) {
  Start();
  const std::string digest = Digest(kPassword);
  struct Case {
    std::string target, fields;
    bool accepted;
  } cases[] = {
      {"/?action=snapshot", kBasic, true},
      {"Cam:s3cret@/?action=snapshot", "", true},
      {"/?action=snapshot&user=Cam&pass=s3cret", "", true},
      {"/?user=Cam&pass=" + digest + "&action=snapshot", "", true},
      {"/?action=snapshot", "", false},
      {"/?action=snapshot", "Authorization: Basic Q2FtOndyb25n\r\n", false},  // Cam:wrong
      {"/?action=snapshot&user=cam&pass=s3cret", "", false},                  // user's case
      {"/?action=snapshot&user=Cam&pass=", "", false},
      {"Cam:wrong@/?action=snapshot", "", false},
      {"/?action=stream&user=Cam&pass=wrong", "", false},
  };
  for (const Case& c : cases) {
    RawClient client(server_.port());
    client.Send("GET " + c.target + " HTTP/1.0\r\nConnection: Keep-Alive\r\n" + c.fields + "\r\n");
    const std::string r = client.ReadResponse();
    if (c.accepted) {
      EXPECT_EQ(StatusLine(r), "HTTP/1.0 200 OK") << c.target;
      continue;
    }
    EXPECT_EQ(StatusLine(r), "HTTP/1.0 401 Unauthorized") << c.target;
    EXPECT_EQ(Field(r, "WWW-Authenticate"), "Basic realm=\"Orbiscope camera\"") << c.target;
    EXPECT_TRUE(client.ClosedByServer()) << c.target;
  }
  // Refusals are logged like the others, without the password.
  EXPECT_TRUE(server_.LogShows("401"));
  EXPECT_EQ(server_.LogText().find("pass=wrong"), std::string::npos);
}

// A camera nobody has set up opens to nobody, whatever is sent; the explicit setting opens
// these routes (and only these) without credentials.
TEST_F(CompatRouteTest, EmptyStoredCredentialsAndTheOpenSetting) {
  for (const char* user : {"", kUser}) {
    camera_.m_sCameraUser = user;
    camera_.m_sCameraPassword = *user == '\0' ? Digest(kPassword) : "";
    const std::string empty = Digest("");
    for (const std::string& target :
         {std::string("/?action=snapshot&user=&pass="), std::string("/?action=snapshot&user=Cam&pass="),
          "/?action=snapshot&user=Cam&pass=" + empty, std::string(":@/?action=snapshot")}) {
      EXPECT_FALSE(CheckCompatCredentials(ParsedRequest("GET " + target + " HTTP/1.0\r\n\r\n"),
                                          target.substr(target.find('?') + 1), camera_,
                                          std::chrono::system_clock::now(), stale_))
          << user << " " << target;
    }
  }
  camera_.m_bOpenCamera = true;
  Start();
  EXPECT_EQ(StatusLine(Ask("/webcam/?action=snapshot", "")), "HTTP/1.0 200 OK");
  EXPECT_EQ(StatusLine(Get(Jpeg(10, 10, "wrong"))), "HTTP/1.0 401 Unauthorized");
}

// quality= has a picture of its own, smaller for a lower quality; the snapshot action and
// the JPEG route at the same size and quality share one encode per frame.
TEST_F(CompatRouteTest, QualityAndSharedEncodes) {
  Start();
  const std::string low = Body(Ask("/?action=snapshot&quality=10"));
  const std::string high = Body(Ask("/?action=snapshot&quality=90"));
  EXPECT_LT(low.size() * 2, high.size());
  EXPECT_EQ(Body(Get(Jpeg(640, 480) + "%20quality=10")), low);
  // The frame's own quality (75) is the stored one: the same picture as without the value,
  // and values out of range ask for nothing.
  const std::string plain = Body(Get(Jpeg(0, 0)));
  for (const char* q : {"75", "0", "101", "-5", "x"}) {
    EXPECT_EQ(Body(Ask(std::string("/?action=snapshot&quality=") + q)), plain) << q;
  }
  const std::uint64_t before = camera_.m_PictureCache.Stats().encodes;
  camera_.m_LatestFrame.Publish(TestFrame(9), 480, 640);
  for (int i = 0; i < 3; ++i) {
    Get(Jpeg(320, 240));
    Ask("/cam/?action=snapshot&w=320&h=240&t=" + std::to_string(i));
  }
  EXPECT_EQ(camera_.m_PictureCache.Stats().encodes, before + 1);
}

// X-Timestamp is the frame's capture time, as the status page reports it; CORS, when set,
// is on the pictures, the status page and the refusals of the compatibility routes.
TEST_F(CompatRouteTest, CaptureTimeAndCors) {
  camera_.m_sCorsOrigin = "http://printer.local:8080";
  Start();
  const auto captured = std::chrono::system_clock::time_point(std::chrono::milliseconds(1733700000123));
  camera_.m_LatestFrame.Publish(TestFrame(3), 480, 640, captured);
  const std::string status = Get("/status.json?user=Cam&pass=" + Digest(kPassword));
  EXPECT_NE(Body(status).find("\"captured\":1733700000.123}"), std::string::npos) << Body(status);
  for (const std::string& r : {Ask("/?action=snapshot"), Get(Jpeg(10, 10)), Get(Png(10, 10)),
                               Get(std::string("/image.wml?user=Cam&pass=") + kPassword)}) {
    EXPECT_EQ(Field(r, "X-Timestamp"), "1733700000.123") << r.substr(0, 200);
    EXPECT_EQ(Field(r, "Access-Control-Allow-Origin"), "http://printer.local:8080");
  }
  EXPECT_EQ(Field(status, "Access-Control-Allow-Origin"), "http://printer.local:8080");
  EXPECT_EQ(Field(Ask("/?action=snapshot", ""), "Access-Control-Allow-Origin"),
            "http://printer.local:8080");
}

}  // namespace
}  // namespace orbiscope
