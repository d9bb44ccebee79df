// The access log never shows the camera password, its digest, or the password of URL user
// information, however a request line spells them and wherever the request went.

#include "httpd/camera/CameraRoutes.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "httpd/camera/MyHttpClient.h"
#include "httpd/client/Md5Hex.h"
#include "httpd/client/RequestParser.h"
#include "httpd/client/UrlCodec.h"
#include "tests/httpd/client/LoopbackServer.h"

namespace orbiscope {
namespace {

using namespace orbiscope::testing;

// Every character a URL gives a meaning to, and one that is not ASCII.
const std::string kPassword = "Zq7 p&s=w?r@d:/%+#\xc3\xbc";

std::string Digest(std::string_view text) {
  std::string out;
  Md5Hex(text, out);
  return out;
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  return out;
}

// Whether `text` shows any eight bytes running of `secret` in any spelling: percent-decoded,
// letter case ignored.
bool Shows(std::string_view text, std::string_view secret) {
  std::string decoded;
  for (const DecodedByte& d : DecodeUrlSpans(text)) decoded += d.c;
  decoded = Lower(decoded);
  const std::string lower = Lower(secret);
  for (std::size_t at = 0; at + 8 <= lower.size(); ++at) {
    if (decoded.find(lower.substr(at, 8)) != std::string::npos) return true;
  }
  return false;
}

// What CMyHttpClient::PostLog writes of a request line.
std::string Logged(std::string_view line) {
  return MaskCameraPassword(MaskUserInfoPassword(line));
}

// Spells `text` for a URL as a client might: what a URL gives a meaning to always
// percent-encoded, the rest now and then, with upper- or lower-case hexadecimal digits.
std::string Spell(std::string_view text, std::mt19937& random) {
  static const std::string kMeaningful = " &=?@:/%+#";
  std::string out;
  for (unsigned char c : text) {
    if (c < 0x80 && kMeaningful.find(static_cast<char>(c)) == std::string::npos &&
        random() % 3 != 0) {
      out += static_cast<char>(c);
      continue;
    }
    char hex[4];
    std::snprintf(hex, sizeof hex, random() % 2 ? "%%%02X" : "%%%02x", c);
    out += hex;
  }
  return out;
}

template <typename T, std::size_t N>
const T& Pick(const T (&items)[N], std::mt19937& random) {
  return items[random() % N];
}

// One request line carrying `secret` (spelled at random) where a camera route or URL user
// information reads a password, or anywhere in a query no route reads the way it is laid
// out. Paths, separators, versions, NULs and stray blanks vary.
struct Generated {
  std::string line;
  std::string secret;
};
Generated Generate(std::mt19937& random) {
  static const char* const kVerbs[] = {"GET", "HEAD", "POST", "PUT", "DELETE", "FOO"};
  // Paths with a route, then paths that miss one by a stray blank, slash or letter.
  static const char* const kRouted[] = {"/image%20", "/image.png", "/image.xhtml",
                                        "/image.chtml", "/image.wml", "/image%2Epng",
                                        "/status.json"};
  static const char* const kMissed[] = {"/image ", "/image", "/image.png/", "/image%20/",
                                        "/image.png%00", "/Image.png", "/hello.txt", "/",
                                        "/index.wml"};
  static const char* const kQuestion[] = {"?", "%3F", "%3f"};
  static const char* const kSeparators[] = {"&", "%26", "%20", " "};
  static const char* const kVersions[] = {"", " HTTP/1.0", " HTTP/1.1", " FTP/1.0", " HTTP/1.0 x"};
  static const char* const kGaps[] = {" ", " ", "  ", "\t"};

  Generated g;
  const bool routed = random() % 2 == 0;
  const std::string path = routed ? Pick(kRouted, random) : Pick(kMissed, random);
  const bool digest = path.find("image.png") != std::string::npos || path == "/image%20" ||
                      path == "/image%2Epng" || path == "/status.json" ||
                      (!routed && random() % 2);
  g.secret = digest ? Digest(kPassword) : kPassword;
  const std::string spelled = Spell(random() % 2 ? g.secret : Lower(g.secret), random);

  std::string target = path;
  if (random() % 4 == 0) {
    // URL user information carries the secret instead of the query.
    g.secret = kPassword;
    target = "u:" + Spell(kPassword, random) + "@" + path + "?user=Cam&w=1";
  } else {
    const std::string separator = routed && random() % 2
                                      ? (path == "/image%20" ? "%20" : "&")
                                      : Pick(kSeparators, random);
    std::string values[4] = {"Cam", "x", "320", "240"};
    // Where the routes read the password; anywhere when the line is not in their layout.
    values[routed ? 1 : random() % 4] = spelled + (random() % 5 == 0 ? "%00" : "");
    static const char* const kKeys[] = {"user", "pass", "w", "h"};
    target += Pick(kQuestion, random);
    for (int i = 0; i < 4; ++i) {
      if (i > 0) target += separator;
      target += std::string(kKeys[i]) + "=" + values[i];
    }
  }
  g.line = Pick(kVerbs, random) + std::string(Pick(kGaps, random)) + target + Pick(kVersions, random);
  return g;
}

TEST(AccessLogMask, NoGeneratedLineShowsItsSecret) {
  std::mt19937 random(20240514);
  int shown = 0;
  for (int i = 0; i < 20000; ++i) {
    const Generated g = Generate(random);
    ASSERT_TRUE(Shows(g.line, g.secret)) << g.line;  // the generator hides nothing itself
    const std::string logged = Logged(g.line);
    if (Shows(logged, g.secret) && ++shown <= 10) {
      ADD_FAILURE() << g.line << "\n  logged as " << logged;
    }
  }
  EXPECT_EQ(shown, 0);
}

// The same through the server, once for each way a request can end: answered by a route,
// refused by it, missed by a stray blank or slash, 400, 404, 501, HTTP/0.9.
TEST(AccessLogMask, TheServersLogShowsNoSecret) {
  const std::string digest = Digest(kPassword);
  // Declared first: the server's workers read it until the server is gone.
  CameraState camera;
  camera.m_sCameraUser = "Cam";
  camera.m_sCameraPassword = digest;
  camera.m_nPhoneSwitch = 0;
  LoopbackServer server;
  server.settings().m_ClientFactory = [&server, &camera] {
    return std::make_unique<CMyHttpClient>(server.resources(), camera);
  };
  server.Start();
  std::mt19937 random(7);
  const std::string password = Spell(kPassword, random);
  const std::string lowerDigest = Lower(digest);
  const std::string requests[] = {
      "GET /image.png?user=Cam&pass=" + lowerDigest + "&w=1&h=1 HTTP/1.0\r\n\r\n",
      "GET /status.json?user=Cam&pass=" + lowerDigest + " HTTP/1.0\r\n\r\n",
      "HEAD /status.json?user=Cam&pass=" + Spell(digest, random) + "&n=1 HTTP/1.0\r\n\r\n",
      "GET /image.xhtml?user=Cam&pass=" + password + "&n=1 HTTP/1.0\r\n\r\n",
      "GET /image.wml?user=Cam&pass=" + password + "\r\n",  // HTTP/0.9
      "GET /image ?user=Cam%20pass=" + digest + "%20w=1%20h=1 HTTP/1.0\r\n\r\n",
      "GET /image.png/?user=Cam&pass=" + digest + "&w=1&h=1 HTTP/1.0\r\n\r\n",
      "GET /image.png?user=Cam&pass=" + digest + "&w=1 FTP/1.0\r\n\r\n",
      "PUT /image.png?user=Cam&pass=" + Spell(digest, random) + " HTTP/1.0\r\n\r\n",
      "GET /index.wml?user=Cam&pass=" + password + " HTTP/1.0\r\n\r\n",
      "GET u:" + password + "@/hello.txt HTTP/1.0\r\n\r\n",
      "GET\tu:" + password + "@/image.png?pass=" + digest + "\tHTTP/1.0\r\n\r\n",
  };
  for (const std::string& request : requests) Exchange(server.port(), request);
  server.Stop();
  std::string log = server.LogText();
  for (std::size_t at = log.find("&amp;"); at != std::string::npos; at = log.find("&amp;", at + 1)) {
    log.replace(at, 5, "&");
  }
  EXPECT_NE(log.find("\"GET /image.png/?* HTTP/1.0\" 404"), std::string::npos) << log;
  EXPECT_NE(log.find("\"GET u:*@/hello.txt HTTP/1.0\" 404"), std::string::npos) << log;
  EXPECT_FALSE(Shows(log, digest)) << log;
  EXPECT_FALSE(Shows(log, kPassword)) << log;
}

}  // namespace
}  // namespace orbiscope
