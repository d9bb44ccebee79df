// The session against the clients people use: curl and Python's http.client (Debian's
// python3, which the project's install script provides).

#include "httpd/client/HttpClient.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "tests/httpd/client/LoopbackServer.h"

namespace orbiscope {
namespace {

namespace fs = std::filesystem;
using namespace orbiscope::testing;

// Runs a shell command and answers its standard output.
std::string RunCommand(const std::string& command) {
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  ::pclose(pipe);
  return out;
}

class HttpToolsTest : public ::testing::Test {
protected:
  void SetUp() override {
    WriteFile((server_.root() / "hello.txt").string(), "hello world");
    fs::create_directories(server_.root() / "cam");
    WriteFile((server_.root() / "cam" / "pic.txt").string(), "cam pic");
    server_.settings().m_bAllowDeleteRequest = true;
    auto& cam = server_.AddDirectory("/cam", (server_.root() / "cam").string());
    cam.m_sUsername = "u";
    cam.m_sPassword = "p";
    cam.m_sRealm = "Cameras";
    cam.m_bWritable = true;
    server_.Start();
  }
  std::string Curl(const std::string& args) {
    return RunCommand("curl -s --max-time 10 " + args + " 2>&1");
  }

  LoopbackServer server_;
};

TEST_F(HttpToolsTest, CurlKeepsTheConnectionAcrossRequests) {
  // -w prints how many connections each transfer opened: the later ones reuse the first.
  std::string url = server_.Url("/hello.txt");
  std::string out = Curl("--http1.0 -H 'Connection: Keep-Alive' -w '%{http_code}:%{num_connects} ' "
                         "-o /dev/null " + url + " -o /dev/null " + url + " -o /dev/null " + url);
  EXPECT_EQ(out, "200:1 200:0 200:0 ");
}

TEST_F(HttpToolsTest, CurlConditionalGetAuthenticationAndDelete) {
  EXPECT_EQ(Curl(server_.Url("/hello.txt")), "hello world");
  // -z sends If-Modified-Since; a date after the file's time gets 304.
  EXPECT_EQ(Curl("-o /dev/null -w '%{http_code}' -z 'Sat, 01 Jan 2050 00:00:00 GMT' " +
                 server_.Url("/hello.txt")),
            "304");
  EXPECT_EQ(Curl("-o /dev/null -w '%{http_code}' -z 'Sat, 01 Jan 2000 00:00:00 GMT' " +
                 server_.Url("/hello.txt")),
            "200");
  std::string head = Curl("-i " + server_.Url("/cam/pic.txt"));
  EXPECT_NE(head.find("HTTP/1.0 401 Unauthorized"), std::string::npos) << head;
  EXPECT_NE(head.find("WWW-Authenticate: Basic realm=Cameras"), std::string::npos);
  EXPECT_EQ(Curl("-u u:p " + server_.Url("/cam/pic.txt")), "cam pic");
  EXPECT_EQ(Curl("-o /dev/null -w '%{http_code}' -X DELETE -u u:p " + server_.Url("/cam/pic.txt")),
            "200");
  EXPECT_FALSE(fs::exists(server_.root() / "cam" / "pic.txt"));
  // curl left to itself would tidy these paths; --path-as-is sends them as typed.
  EXPECT_EQ(Curl("--path-as-is -o /dev/null -w '%{http_code}' " + server_.Url("//etc/passwd")), "404");
  EXPECT_EQ(Curl("--path-as-is -o /dev/null -w '%{http_code}' " + server_.Url("/../../etc/passwd")), "404");
}

TEST_F(HttpToolsTest, PythonHttpClientOnOnePersistentConnection) {
  const std::string script =
      "import http.client, sys\n"
      "c = http.client.HTTPConnection('127.0.0.1', " + std::to_string(server_.port()) + ", timeout=10)\n"
      "out = []\n"
      "for path in ['/hello.txt', '/missing', '/hello.txt']:\n"
      "    c.request('GET', path, headers={'Connection': 'Keep-Alive'})\n"
      "    r = c.getresponse()\n"
      "    body = r.read()\n"
      "    out.append('%d %s %d %s' % (r.status, r.version, len(body), r.will_close))\n"
      "c.request('HEAD', '/hello.txt')\n"
      "r = c.getresponse()\n"
      "out.append('%d %s %s' % (r.status, r.getheader('Content-Length'), r.read()))\n"
      "print('|'.join(out))\n";
  WriteFile((server_.tmp() / "client.py").string(), script);
  std::string out = RunCommand("/usr/bin/python3 " + (server_.tmp() / "client.py").string() + " 2>&1");
  EXPECT_EQ(out.substr(0, 16), "200 10 11 False|") << out;
  EXPECT_NE(out.find("|404 10 "), std::string::npos) << out;
  EXPECT_NE(out.find("|200 10 11 False|200 11 b''"), std::string::npos) << out;
}

}  // namespace
}  // namespace orbiscope
