// The access log never shows the camera password, its digest, or the password of URL user
// information, however a request line spells them and wherever the request went; it keeps
// ordinary queries as sent, and no client makes its entries large.

#include "httpd/camera/CameraRoutes.h"
#include "httpd/camera/CameraState.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "httpd/AccessLog.h"
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

// What the camera session writes of a request line when the camera password is kPassword.
std::string Logged(std::string_view line) { return MaskCameraPassword(line, Digest(kPassword)); }

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
  // A digest is matched in any letter case; a password in its own only (another case is
  // another password).
  const std::string spelled = Spell(digest && random() % 2 ? Lower(g.secret) : g.secret, random);

  std::string target = path;
  const int where = static_cast<int>(random() % 8);
  if (where == 0) {
    // URL user information carries the secret instead of the query.
    g.secret = kPassword;
    target = "u:" + Spell(kPassword, random) + "@" + path + "?user=Cam&w=1";
  } else if (where == 1) {
    // The digest as a part of the path, or as a bare value.
    g.secret = Digest(kPassword);
    const std::string any = Spell(random() % 2 ? g.secret : Lower(g.secret), random);
    target = random() % 2 ? "/d/" + any + path + "?n=1" : path + "?n=1&" + any + "&m=2";
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

// A query that carries no secret, on any path that is no picture route, is written as sent;
// on a picture route's line in its layout only the password's value becomes "*".
TEST(AccessLogMask, OrdinaryQueriesAreKept) {
  static const char* const kPaths[] = {"/pub/hello.txt", "/", "/index.wml", "/image.png/",
                                       "/image", "/a%20b/c.html", "/stream.mjpg/x"};
  static const char* const kKeys[] = {"sn", "page", "q", "lang", "n", "w", "h", "user", "size",
                                      "t", "sort", "id", "keyword", "monkey"};
  static const char* const kValues[] = {"1", "es", "hello%20world", "caf%C3%A9", "a+b", "-date",
                                        "", "2026-12-08", "%2Fx%2Fy", "0x1F", "Cam"};
  static const char* const kVersions[] = {"", " HTTP/1.0", " HTTP/1.1"};
  std::mt19937 random(1208);
  for (int i = 0; i < 5000; ++i) {
    const bool routed = random() % 3 == 0;
    std::string query;
    const int count = 1 + static_cast<int>(random() % 5);
    for (int k = 0; k < count; ++k) {
      if (k > 0) query += '&';
      query += std::string(Pick(kKeys, random)) + "=" + Pick(kValues, random);
    }
    const std::string version = Pick(kVersions, random);
    if (!routed) {
      const std::string line = "GET " + std::string(Pick(kPaths, random)) + "?" + query + version;
      ASSERT_EQ(Logged(line), line);
      continue;
    }
    // The route's own values first, the ordinary ones after.
    const std::string head = "GET /image.png?user=Cam&pass=";
    const std::string tail = "&w=320&h=240&" + query + version;
    ASSERT_EQ(Logged(head + Spell(Digest(kPassword), random) + tail), head + "*" + tail);
  }
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
    return MakeCameraSession(server.resources(), camera);
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
      "GET /image.png?user=Cam&" + digest + "&w=1&h=1 HTTP/1.0\r\n\r\n",
      "GET /hello.txt?sn=1&lang=es HTTP/1.0\r\n\r\n",
  };
  for (const std::string& request : requests) Exchange(server.port(), request);
  server.Stop();
  std::string log = server.LogText();
  for (std::size_t at = log.find("&amp;"); at != std::string::npos; at = log.find("&amp;", at + 1)) {
    log.replace(at, 5, "&");
  }
  EXPECT_NE(log.find("\"GET /image.png/?user=Cam&pass=*&w=1&h=1 HTTP/1.0\" 404"),
            std::string::npos) << log;
  EXPECT_NE(log.find("\"GET u:*@/hello.txt HTTP/1.0\" 404"), std::string::npos) << log;
  EXPECT_NE(log.find("\"GET /hello.txt?sn=1&lang=es HTTP/1.0\" 404"), std::string::npos) << log;
  EXPECT_FALSE(Shows(log, digest)) << log;
  EXPECT_FALSE(Shows(log, kPassword)) << log;
}

// Forty requests whose user name is 39 000 bytes of "&" (from the URL, or from Basic
// authorization) leave small entries, and the log they are written to is not rotated away.
TEST(AccessLogMask, HostileRequestsLeaveSmallEntries) {
  CameraState camera;
  camera.m_sCameraUser = "Cam";
  camera.m_sCameraPassword = Digest(kPassword);
  LoopbackServer server;
  server.settings().m_ClientFactory = [&server, &camera] {
    return MakeCameraSession(server.resources(), camera);
  };
  server.Start();
  std::string authorization = "Authorization: Basic ";
  for (int i = 0; i < 13000; ++i) authorization += "JiYm";  // "&&&"
  authorization += "Onh4\r\n";                               // ":xx"
  const std::string inUrl = "GET /" + std::string(39000, '&') + ":x@/ HTTP/1.0\r\n\r\n";
  for (int i = 0; i < 40; ++i)
    Exchange(server.port(), i % 2 ? inUrl : "GET / HTTP/1.0\r\n" + authorization + "\r\n");
  server.Stop();
  const std::string log = server.LogText();
  EXPECT_EQ(log.find("Fichero de LOG borrado"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(server.tmp() / "orbiscope.LOG.xml.1"));
  std::size_t entries = 0;
  for (std::size_t at = log.find("<LogItem>"); at != std::string::npos;) {
    const std::size_t next = log.find("<LogItem>", at + 1);
    const std::string item = log.substr(at, next == std::string::npos ? next : next - at);
    if (item.find(std::string(kPostLogFunction)) != std::string::npos) {
      ++entries;
      EXPECT_LE(item.size(), 2560u);
    }
    at = next;
  }
  EXPECT_EQ(entries, 40u);
}

}  // namespace
}  // namespace orbiscope
