#include "httpd/camera/StatusPage.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "httpd/camera/CameraState.h"
#include "httpd/camera/CameraRoutes.h"
#include "httpd/client/Md5Hex.h"
#include "tests/httpd/client/LoopbackServer.h"

namespace orbiscope {
namespace {

using namespace orbiscope::testing;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

std::string Json(std::string_view text) {
  std::string out;
  AppendJsonString(out, text);
  return out;
}

// Each kind of character a device name may hold, and each way UTF-8 can be broken.
TEST(StatusPageTest, JsonStrings) {
  const std::pair<std::string, std::string> kCases[] = {
      {"USB Camera", "\"USB Camera\""},
      {"say \"cheese\" \\o/", "\"say \\\"cheese\\\" \\\\o/\""},
      {"a\nb\rc\td", "\"a\\nb\\rc\\td\""},
      {std::string("\x01\x1f\x7f", 3) + std::string(1, '\0'), "\"\\u0001\\u001f\x7f\\u0000\""},
      // Two, three and four bytes, at the edges of what each may encode.
      {"K\xC3\xA4mera \xE2\x82\xAC \xF0\x9F\x93\xB7 \xC2\x80 \xEF\xBF\xBF \xF4\x8F\xBF\xBF",
       "\"K\xC3\xA4mera \xE2\x82\xAC \xF0\x9F\x93\xB7 \xC2\x80 \xEF\xBF\xBF \xF4\x8F\xBF\xBF\""},
      // A windows-1252 byte, a cut sequence, an overlong "/", a surrogate, above U+10FFFF:
      // each byte that starts no valid sequence stands for itself.
      {"caf\xE9", "\"caf\\ufffd\""},
      {"x\xE2\x82", "\"x\\ufffd\\ufffd\""},
      {"\xC0\xAF", "\"\\ufffd\\ufffd\""},
      {"\xED\xA0\x80", "\"\\ufffd\\ufffd\\ufffd\""},
      {"\xF4\x90\x80\x80", "\"\\ufffd\\ufffd\\ufffd\\ufffd\""},
      {"\xE2\x82" "a", "\"\\ufffd\\ufffda\""},
      {"", "\"\""},
  };
  for (const auto& [text, expected] : kCases) EXPECT_EQ(Json(text), expected) << text;
}

// The whole document, as a JSON parser reads it, with an odd device name and each state.
TEST(StatusPageTest, DocumentParses) {
  StatusFigures f;
  f.capture.device = std::string("Cam \"1\"\\\n\x01\xC3\xBC\xFF", 13);
  f.capture.width = 640;
  f.capture.height = 480;
  f.fps = 29.97;
  f.frames = 12345678901ULL;
  f.connections = 3;
  f.streams = 2;
  f.requests = 17;
  f.uptimeSeconds = 86400;
  const std::pair<CaptureRun, const char*> kStates[] = {
      {CaptureRun::Stopped, "stopped"}, {CaptureRun::Paused, "paused"}, {CaptureRun::Running, "running"},
      {CaptureRun::NoCamera, "no camera"}};
  for (const auto& [run, name] : kStates) {
    f.capture.run = run;
    const std::string json = StatusJson(f);
    EXPECT_EQ(json.substr(0, json.find(',')), std::string("{\"state\":\"") + name + "\"");
  }
  TempDir dir;
  const std::string path = dir.File("status.json");
  std::ofstream(path, std::ios::binary) << StatusJson(f);
  // Python's parser is strict about escapes and, reading bytes, about UTF-8.
  const std::string command =
      "/usr/bin/python3 -c \"import json,sys; d=json.loads(open(sys.argv[1],'rb').read()); "
      "print(ascii(d['device']), d['width'], d['height'], d['fps'], d['frames'], "
      "d['connections'], d['streams'], d['requests'], d['uptime'])\" " + path;
  FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  char line[512] = {};
  const bool read = std::fgets(line, sizeof line, pipe) != nullptr;
  EXPECT_EQ(::pclose(pipe), 0);
  ASSERT_TRUE(read);
  EXPECT_STREQ(line, "'Cam \"1\"\\\\\\n\\x01\\xfc\\ufffd' 640 480 30.0 12345678901 3 2 17 86400\n");
}

// The rate comes from publication times: steady cameras at their pace, a young one over
// what it has shown, a stopped one falls to 0, a fast one beyond what the ring holds.
TEST(StatusPageTest, FrameRate) {
  struct Case {
    const char* what;
    int framesPerSecond;
    int frames;
    milliseconds readAfterLast;
    double expected;
  } kCases[] = {
      {"no frame", 25, 0, milliseconds(0), 0.0},
      {"one frame", 25, 1, milliseconds(0), 0.0},
      {"steady", 25, 500, milliseconds(0), 25.0},
      {"young", 10, 15, milliseconds(0), 10.0},
      {"slow", 1, 20, milliseconds(0), 1.0},
      {"fast", 200, 2000, milliseconds(0), 200.0},
      {"paused a while", 25, 500, milliseconds(2500), 25.0 * 2.5 / 5.0},
      {"stopped", 25, 500, milliseconds(5000), 0.0},
  };
  for (const Case& c : kCases) {
    ServingStatus status;
    const Clock::time_point start = Clock::now();
    const auto step = std::chrono::microseconds(1000000 / c.framesPerSecond);
    Clock::time_point last = start;
    for (int i = 0; i < c.frames; ++i) status.FramePublished(last = start + i * step);
    EXPECT_NEAR(status.FrameRate(last + c.readAfterLast), c.expected, c.expected * 0.03 + 0.01)
        << c.what;
  }
}

constexpr const char* kUser = "Cam";

std::string Digest(std::string_view text) {
  std::string out;
  Md5Hex(text, out);
  return out;
}

// A number of the page's object (this test's own documents only).
double Number(const std::string& json, const std::string& key) {
  const std::size_t at = json.find("\"" + key + "\":");
  return at == std::string::npos ? -1 : std::strtod(json.c_str() + at + key.size() + 3, nullptr);
}

class StatusPageLoopbackTest : public ::testing::Test {
protected:
  void SetUp() override {
    camera_.m_sCameraUser = kUser;
    camera_.m_sCameraPassword = Digest("s3cret");
    camera_.m_ProgramStarted = Clock::now() - std::chrono::seconds(90);
    camera_.m_Status.Report({CaptureRun::Paused, "Test \"pattern\"", 640, 480});
    server_.settings().m_bKeepAlives = true;
    server_.settings().m_ClientFactory = [this] {
      return MakeCameraSession(server_.resources(), camera_);
    };
    server_.Start();
  }
  void Publish(int frames) {
    CPicture frame(8, 6, 24, kFormatBmp);
    for (int i = 0; i < frames; ++i) camera_.m_LatestFrame.Publish(frame, 6, 8);
  }
  std::string Get(const std::string& query, const char* verb = "GET") {
    return Exchange(server_.port(), std::string(verb) + " /status.json?" + query + " HTTP/1.0\r\n\r\n");
  }
  std::string Status() { return Body(Get(Query())); }
  static std::string Query(std::string digest = Digest("s3cret")) {
    return std::string("user=") + kUser + "&pass=" + digest;
  }

  // Declared first: the server's workers read it until the server is gone.
  CameraState camera_;
  LoopbackServer server_;
};

// The fields follow what happened: frames published, requests answered, connections
// opened and closed; the head is the usual one, never cached.
TEST_F(StatusPageLoopbackTest, FieldsFollowWhatHappened) {
  Publish(3);
  const std::string r = Get(Query());
  EXPECT_EQ(StatusLine(r), "HTTP/1.0 200 OK");
  EXPECT_EQ(FieldNames(r), (std::vector<std::string>{"Date", "Server", "Allow", "Cache-Control",
                                                     "Content-Length", "Content-Type"}));
  EXPECT_EQ(Field(r, "Cache-Control"), "no-cache");
  EXPECT_EQ(Field(r, "Content-Type"), "application/json");
  const std::string first = Body(r);
  EXPECT_EQ(std::to_string(first.size()), Field(r, "Content-Length"));
  const std::string opening = "{\"state\":\"paused\",\"device\":\"Test \\\"pattern\\\"\",\"width\":640,";
  EXPECT_EQ(first.substr(0, opening.size()), opening);
  EXPECT_EQ(Number(first, "frames"), 3);
  EXPECT_EQ(Number(first, "streams"), 0);
  EXPECT_GE(Number(first, "uptime"), 90);

  Publish(2);
  camera_.m_nStreams = 4;
  camera_.m_Status.Report({CaptureRun::Running, "Test", 320, 240});
  const std::string second = Status();
  EXPECT_EQ(second.substr(0, 18), "{\"state\":\"running\"");
  EXPECT_EQ(Number(second, "frames"), 5);
  EXPECT_EQ(Number(second, "streams"), 4);
  EXPECT_EQ(Number(second, "width"), 320);
  EXPECT_GT(Number(second, "requests"), Number(first, "requests"));

  // Idle connections count while open, and no longer once closed.
  constexpr int kIdle = 3;
  const auto connectionsReach = [this](auto done) {
    const auto deadline = Clock::now() + std::chrono::seconds(kReadTimeoutSeconds);
    double seen = -1;
    while (Clock::now() < deadline && !done(seen = Number(Status(), "connections"))) {
    }
    return seen;
  };
  {
    std::vector<std::unique_ptr<RawClient>> idle;
    for (int i = 0; i < kIdle; ++i) idle.push_back(std::make_unique<RawClient>(server_.port()));
    EXPECT_EQ(connectionsReach([](double n) { return n == kIdle + 1; }), kIdle + 1);
  }
  EXPECT_EQ(connectionsReach([](double n) { return n == 1; }), 1);
}

// HEAD gets the head alone, with the length the body would have; the connection stays
// open when kept alive.
TEST_F(StatusPageLoopbackTest, HeadAndKeepAlive) {
  RawClient client(server_.port());
  client.ExpectHeadResponses(true);
  client.Send("HEAD /status.json?" + Query() + " HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n");
  const std::string head = client.ReadResponse();
  EXPECT_EQ(StatusLine(head), "HTTP/1.0 200 OK");
  EXPECT_EQ(Field(head, "Connection"), "Keep-Alive");
  EXPECT_GT(std::atoi(Field(head, "Content-Length").c_str()), 100);
  client.ExpectHeadResponses(false);
  client.Send("GET /status.json?" + Query() + "&n=2 HTTP/1.0\r\n\r\n");
  const std::string get = client.ReadResponse();
  EXPECT_EQ(Body(get).substr(0, 9), "{\"state\":") << get;
  EXPECT_TRUE(client.ClosedByServer());
  EXPECT_EQ(Body(Get(Query(), "HEAD")), "");
}

// Wrong credentials get the routes' 401 and the connection ends; the digest may come in
// either case, and the log never shows it.
TEST_F(StatusPageLoopbackTest, CredentialsAndLog) {
  const std::string digest = Digest("s3cret");
  const std::string refused[] = {
      Query(Digest("wrong")),
      "user=cam&pass=" + digest,
      "user=Cam",
      "user=Cam&pass=s3cret",
      "user=Cam&pass=" + digest + "x",
  };
  for (const std::string& query : refused) {
    RawClient client(server_.port());
    client.Send("GET /status.json?" + query + " HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n");
    const std::string r = client.ReadResponse();
    EXPECT_EQ(StatusLine(r), "HTTP/1.0 401 Unauthorized") << query;
    EXPECT_EQ(Field(r, "Connection"), "") << query;
    EXPECT_TRUE(client.ClosedByServer()) << query;
  }
  std::string lower = digest;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_EQ(StatusLine(Get(Query(lower))), "HTTP/1.0 200 OK");
  server_.Stop();
  const std::string log = server_.LogText();
  EXPECT_EQ(log.find(digest), std::string::npos);
  EXPECT_EQ(log.find(lower), std::string::npos);
  EXPECT_NE(log.find("GET /status.json?user=Cam&amp;pass=* HTTP/1.0\" 200"), std::string::npos) << log;
}

}  // namespace
}  // namespace orbiscope
