#include "httpd/camera/CameraRoutes.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "httpd/camera/CameraPicture.h"
#include "httpd/camera/CameraState.h"
#include "httpd/camera/CompatRoutes.h"
#include "httpd/client/Md5Hex.h"
#include "httpd/client/RequestParser.h"

namespace orbiscope {
namespace {

std::string Digest(std::string_view text) {
  std::string out;
  Md5Hex(text, out);
  return out;
}

// The paths are compared whole and case-sensitively, and the phone gate only exists while
// phones are switched off.
TEST(CameraRoutesTest, RouteTable) {
  EXPECT_EQ(FindCameraRoute("/image ", false), CameraRoute::Jpeg);
  EXPECT_EQ(FindCameraRoute("/image.xhtml", false), CameraRoute::Gif);
  EXPECT_EQ(FindCameraRoute("/image.chtml", true), CameraRoute::Gif);
  EXPECT_EQ(FindCameraRoute("/image.wml", false), CameraRoute::Wbmp);
  EXPECT_EQ(FindCameraRoute("/image.png", false), CameraRoute::Png);
  EXPECT_EQ(FindCameraRoute("/stream.mjpg", false), CameraRoute::Stream);
  EXPECT_EQ(FindCameraRoute("/status.json", false), CameraRoute::Status);
  EXPECT_EQ(FindCameraRoute("/index.wml", false), CameraRoute::PhoneGate);
  EXPECT_EQ(FindCameraRoute("/index.wml", true), CameraRoute::None);
  for (const char* other : {"/image", "/image  ", "/IMAGE.png", "/image.png/", "/x/image.png",
                            "image.png", "/image.jpg", "/stream.mjpg/", "/Stream.mjpg",
                            "/status.json/", "/status", ""}) {
    EXPECT_EQ(FindCameraRoute(other, false), CameraRoute::None) << other;
  }
}

// Each value ends at its own separator; a missing separator leaves its value empty, and a
// value without "=" is the whole text it was taken from.
TEST(CameraRoutesTest, PositionalValues) {
  QueryValues v = SplitQueryValues("user=U pass=D w=320 h=240", ' ');
  EXPECT_EQ(v.value[0], "U");
  EXPECT_EQ(v.value[1], "D");
  EXPECT_EQ(v.value[2], "320");
  EXPECT_EQ(v.value[3], "240");

  // Key names do not matter, and "=" inside a value is kept.
  v = SplitQueryValues("a=x=y&b=&c=3&d=4", '&');
  EXPECT_EQ(v.value[0], "x=y");
  EXPECT_EQ(v.value[1], "");
  EXPECT_EQ(v.value[2], "3");
  EXPECT_EQ(v.value[3], "4");

  // No second separator: value 2 and 3 are empty, value 4 is the whole query (no "=" is
  // searched for from a separator that was not found).
  v = SplitQueryValues("user=U&pass=P", '&');
  EXPECT_EQ(v.value[0], "U");
  EXPECT_EQ(v.value[1], "");
  EXPECT_EQ(v.value[2], "");
  EXPECT_EQ(v.value[3], "user=U&pass=P");

  // Values without "=" reach back to the start of the query.
  v = SplitQueryValues("U&P&", '&');
  EXPECT_EQ(v.value[0], "U");
  EXPECT_EQ(v.value[1], "U&P");

  v = SplitQueryValues("", '&');
  for (const std::string& value : v.value) EXPECT_EQ(value, "");
}

TEST(CameraRoutesTest, QueryPerRoute) {
  CameraQuery q = ReadCameraQuery(CameraRoute::Jpeg, "user=U pass=d w=320 h=240");
  EXPECT_EQ(q.user, "U");
  EXPECT_EQ(q.password, "d");
  EXPECT_EQ(q.width, 320);
  EXPECT_EQ(q.height, 240);

  // The JPEG route does not split on "&", so "&" belongs to the values.
  q = ReadCameraQuery(CameraRoute::Jpeg, "user=U&pass=D&w=1&h=2");
  EXPECT_EQ(q.user, "");
  EXPECT_EQ(q.width, 0);

  // Sizes read like atoi, saturating instead of overflowing.
  q = ReadCameraQuery(CameraRoute::Png, "u=U&p=D&w=12px&h=99999999999999999999");
  EXPECT_EQ(q.width, 12);
  EXPECT_EQ(q.height, INT_MAX);
  q = ReadCameraQuery(CameraRoute::Png, "u=U&p=D&w=-5&h=-99999999999999999999");
  EXPECT_EQ(q.width, -5);
  EXPECT_EQ(q.height, INT_MIN);

  // The GIF password needs a second "&" after it; the WBMP one is the rest of the query.
  EXPECT_EQ(ReadCameraQuery(CameraRoute::Gif, "user=U&pass=P&n=1").password, "P");
  EXPECT_EQ(ReadCameraQuery(CameraRoute::Gif, "user=U&pass=P").password, "");
  EXPECT_EQ(ReadCameraQuery(CameraRoute::Wbmp, "user=U&pass=P").password, "P");
  EXPECT_EQ(ReadCameraQuery(CameraRoute::Wbmp, "user=U&pass=P&x=1").password, "P&x=1");
  EXPECT_EQ(ReadCameraQuery(CameraRoute::Wbmp, "P").password, "P");
  // The status page's digest ends its two-value query, or the next "&" ends it.
  for (const char* query : {"user=U&pass=D", "user=U&pass=D&n=1", "user=U&pass=D&n=1&x=2"}) {
    q = ReadCameraQuery(CameraRoute::Status, query);
    EXPECT_EQ(q.user + "|" + q.password, "U|D") << query;
  }
  EXPECT_EQ(ReadCameraQuery(CameraRoute::Status, "user=U").password, "");
  EXPECT_EQ(ReadCameraQuery(CameraRoute::Status, "user=U&pass=").password, "");
}

TEST(CameraRoutesTest, Credentials) {
  const std::string digest = Digest("secret");
  auto check = [&](CameraRoute route, std::string user, std::string password) {
    CameraQuery q;
    q.user = std::move(user);
    q.password = std::move(password);
    return CheckCameraCredentials(route, q, "Cam", digest);
  };
  std::string lower = digest;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (CameraRoute route : {CameraRoute::Jpeg, CameraRoute::Png, CameraRoute::Status}) {
    EXPECT_TRUE(check(route, "Cam", digest));
    EXPECT_TRUE(check(route, "Cam", lower));
    EXPECT_FALSE(check(route, "cam", digest));  // the user name is case-sensitive
    EXPECT_FALSE(check(route, "Cam", "secret"));
    EXPECT_FALSE(check(route, "Cam", ""));
  }
  for (CameraRoute route : {CameraRoute::Gif, CameraRoute::Wbmp}) {
    EXPECT_TRUE(check(route, "Cam", "secret"));
    EXPECT_FALSE(check(route, "Cam", "Secret"));
    EXPECT_FALSE(check(route, "Cam", digest));  // the digest is not the password here
    EXPECT_FALSE(check(route, "Cam ", "secret"));
  }
  // No stored user or no stored digest: nobody, whatever the request carries.
  const std::string emptyDigest = Digest("");
  for (CameraRoute route : {CameraRoute::Jpeg, CameraRoute::Png, CameraRoute::Status, CameraRoute::Gif,
                            CameraRoute::Wbmp, CameraRoute::Stream}) {
    for (const auto& [user, stored] : {std::pair<std::string, std::string>{"", ""}, {"Cam", ""}, {"", digest}}) {
      for (const std::string& sent : {std::string(), emptyDigest, digest, std::string("secret")}) {
        CameraQuery q;
        q.user = user;
        q.password = sent;
        EXPECT_FALSE(CheckCameraCredentials(route, q, user, stored)) << user << "|" << stored << "|" << sent;
      }
    }
  }
  // A non-ASCII password matches whether the phone sends it in UTF-8 or in the code page
  // the digest was made from; nothing else does.
  const std::string stored = Digest("contrase\xF1" "a");
  for (CameraRoute route : {CameraRoute::Gif, CameraRoute::Wbmp}) {
    CameraQuery q;
    q.user = "Cam";
    for (const char* sent : {"contrase\xC3\xB1" "a", "contrase\xF1" "a"}) {
      q.password = sent;
      EXPECT_TRUE(CheckCameraCredentials(route, q, "Cam", stored)) << sent;
    }
    for (const char* wrong : {"contrasena", "contrase?a", "contrase\xC3\xB1"}) {
      q.password = wrong;
      EXPECT_FALSE(CheckCameraCredentials(route, q, "Cam", stored)) << wrong;
    }
  }
}

// On a line in its route's layout only the password (or digest) is hidden, on a route's line
// laid out any other way the whole query; elsewhere only what could be a secret.
TEST(CameraRoutesTest, MaskedRequestLines) {
  const std::string d = "0123456789ABCDEF0123456789ABCDEF";  // the stored digest
  const std::pair<std::string, std::string> kLines[] = {
      {"GET /image%20?user=U%20pass=ABCD%20w=320%20h=240 HTTP/1.0",
       "GET /image%20?user=U%20pass=*%20w=320%20h=240 HTTP/1.0"},
      {"GET /image.png?user=U&pass=abcd&w=1&h=2 HTTP/1.1", "GET /image.png?user=U&pass=*&w=1&h=2 HTTP/1.1"},
      {"GET /image.xhtml?user=U&pass=P&n=1 HTTP/1.0", "GET /image.xhtml?user=U&pass=*&n=1 HTTP/1.0"},
      {"GET /status.json?user=U&pass=D HTTP/1.0", "GET /status.json?user=U&pass=* HTTP/1.0"},
      {"HEAD /status.json?user=U&pass=D&n=2 HTTP/1.0", "HEAD /status.json?user=U&pass=*&n=2 HTTP/1.0"},
      // WBMP: the rest of the query, as the route reads it.
      {"GET /image.wml?user=U&pass=P&x=1 HTTP/1.0", "GET /image.wml?user=U&pass=* HTTP/1.0"},
      // No separator after the password: up to the end of the query; HTTP/0.9 has no version.
      {"GET /image.xhtml?user=U&pass=P", "GET /image.xhtml?user=U&pass=*"},
      // An encoded "=" counts; an encoded "&" is part of a value.
      {"GET /image.png?user=U&pass%3Dse%26cret&w=1 HTTP/1.0", "GET /image.png?user=U&pass%3D*&w=1 HTTP/1.0"},
      {"GET /image.wml%3Fuser=U&pass=P%00tail HTTP/1.0", "GET /image.wml%3Fuser=U&pass=* HTTP/1.0"},
      {"GET u:p@/image.png?user=U&pass=D&w=1 HTTP/1.0", "GET u:*@/image.png?user=U&pass=*&w=1 HTTP/1.0"},
      // Another value of a route's line that is a secret.
      {"GET /image.png?user=U&pass=x&w=1&h=1&token=t HTTP/1.0",
       "GET /image.png?user=U&pass=*&w=1&h=1&token=* HTTP/1.0"},
      // Not in the route's layout: the wrong separator, no "=" or no separator at all, the
      // password's "=" only past the next separator.
      {"GET /image%20?user=U&pass=D&w=1&h=1 HTTP/1.0", "GET /image%20?* HTTP/1.0"},
      {"GET /image.png?user=U%26pass=D%26w=1 HTTP/1.0", "GET /image.png?* HTTP/1.0"},
      {"GET /image.png?user=U&D HTTP/1.0", "GET /image.png?* HTTP/1.0"},
      {"GET /image.png?user=U&" + d + "&w=1&h=1 HTTP/1.0", "GET /image.png?* HTTP/1.0"},
      {"GET /image.wml?user=U&P&x=1 HTTP/1.0", "GET /image.wml?* HTTP/1.0"},
      {"GET /image.wml?D HTTP/1.0", "GET /image.wml?* HTTP/1.0"},
      // Off the routes (a stray blank or slash, a NUL in the path, other paths, the phone
      // gate, a line the parser cannot split): the values that could be secrets.
      {"GET /image ?user=U pass=D w=1 h=1 HTTP/1.0", "GET /image ?user=* HTTP/1.0"},
      {"GET /image.png/?user=U&pass=D&w=1&h=1 HTTP/1.0", "GET /image.png/?user=U&pass=*&w=1&h=1 HTTP/1.0"},
      {"GET /image.png%00?user=U&pass=D HTTP/1.0", "GET /image.png%00?user=U&pass=* HTTP/1.0"},
      {"GET /a?u=U&p=P HTTP/1.0", "GET /a?u=U&p=* HTTP/1.0"},
      {"GET /index.wml?u=U&Password=P&API_Key=K&x=", "GET /index.wml?u=U&Password=*&API_Key=*&x="},
      {"GET\t/image.png?user=U&pass=D\tHTTP/1.0", "GET\t/image.png?user=U&pass=*"},
      {"GET /image.png?user=U&pass=D FTP/1.0", "GET /image.png?user=U&pass=*"},
      // The stored digest in any case and spelling, bare or as a value, and a value holding
      // values of its own.
      {"GET /a?x=" + d + "&y=1 HTTP/1.0", "GET /a?x=*&y=1 HTTP/1.0"},
      {"GET /a?0123456789abcdef%30123456789ABCDEF0123456789abcdef HTTP/1.0", "GET /a?* HTTP/1.0"},
      {"GET /a/" + d + "/b?n=1 HTTP/1.0", "GET /a/*/b?n=1 HTTP/1.0"},
      {"GET /a?user=U%26pass=D&n=1 HTTP/1.0", "GET /a?user=*&n=1 HTTP/1.0"},
      // Ordinary queries are kept as sent.
      {"GET /pub/hello.txt?sn=1 HTTP/1.0", "GET /pub/hello.txt?sn=1 HTTP/1.0"},
      {"GET /a?q=hello%20world&page=2&sort=-date&flag&keyword=x HTTP/1.1",
       "GET /a?q=hello%20world&page=2&sort=-date&flag&keyword=x HTTP/1.1"},
      // Nothing to hide.
      {"GET /image.png HTTP/1.0", "GET /image.png HTTP/1.0"},
      {"GET /image.png? HTTP/1.0", "GET /image.png? HTTP/1.0"},
      {"GET", "GET"},
      {"", ""},
  };
  for (const auto& [line, expected] : kLines) EXPECT_EQ(MaskCameraPassword(line, d), expected) << line;
}

// The camera password itself is hidden wherever it is a value, in UTF-8 as the phone routes
// also take it; a short stored value (no digest the program made) hides nothing.
TEST(CameraRoutesTest, MaskedCameraPassword) {
  std::string digest;
  ASSERT_TRUE(Md5Hex("contrase\xF1" "a", digest));  // stored from windows-1252
  EXPECT_EQ(MaskCameraPassword("GET /a?n=1&x=contrase%C3%B1a&y=2 HTTP/1.0", digest),
            "GET /a?n=1&x=*&y=2 HTTP/1.0");
  EXPECT_EQ(MaskCameraPassword("GET /a?x=contrase%C3%B1a%00tail HTTP/1.0", digest),
            "GET /a?x=* HTTP/1.0");
  EXPECT_EQ(MaskCameraPassword("GET /a?x=contrasena HTTP/1.0", digest), "GET /a?x=contrasena HTTP/1.0");
  EXPECT_EQ(MaskCameraPassword("GET /a?x=1&y=1 HTTP/1.0", "1"), "GET /a?x=1&y=1 HTTP/1.0");
  EXPECT_EQ(MaskCameraPassword("GET /a?x=1 HTTP/1.0", ""), "GET /a?x=1 HTTP/1.0");
}

// A 24-bit frame whose colour tells where each pixel came from.
FrameSnapshot Frame(std::uint32_t w, std::uint32_t h) {
  FrameSnapshot s;
  s.image.Create(w, h, 24, kFormatBmp);
  for (std::uint32_t y = 0; y < h; ++y) {
    std::uint8_t* row = s.image.Row(y);
    for (std::uint32_t x = 0; x < w; ++x) {
      row[3 * x] = static_cast<std::uint8_t>(x);
      row[3 * x + 1] = static_cast<std::uint8_t>(y);
      row[3 * x + 2] = static_cast<std::uint8_t>(x + y);
    }
  }
  s.width = static_cast<std::int32_t>(w);
  s.height = static_cast<std::int32_t>(h);
  return s;
}

// Size of the picture the route sends, read back from its bytes.
std::pair<std::uint32_t, std::uint32_t> SentSize(CameraRoute route, int w, int h,
                                                 FrameSnapshot frame = Frame(64, 48)) {
  CameraPicture p = MakeCameraPicture(route, frame, w, h);
  if (!p.bytes) return {0, 0};
  CPicture back(p.bytes.get(), p.size, kFormatUnknown);
  return {back.Width(), back.Height()};
}

using Size = std::pair<std::uint32_t, std::uint32_t>;

TEST(CameraPictureTest, DesktopSizeRules) {
  for (CameraRoute route : {CameraRoute::Jpeg, CameraRoute::Png}) {
    EXPECT_EQ(SentSize(route, 32, 24), Size(32, 24));
    EXPECT_EQ(SentSize(route, 64, 48), Size(64, 48));
    EXPECT_EQ(SentSize(route, 640, 480), Size(64, 48));   // larger: frame size
    EXPECT_EQ(SentSize(route, 0, 24), Size(64, 48));      // a zero side: unchanged
    EXPECT_EQ(SentSize(route, 32, 0), Size(64, 48));
    EXPECT_EQ(SentSize(route, 100, 20), Size(100, 20));   // larger in one side only
    // Sizes that cannot be made leave the frame as it was.
    EXPECT_EQ(SentSize(route, 100000, 47), Size(64, 48));
    EXPECT_EQ(SentSize(route, -1, -1), Size(64, 48));
    EXPECT_EQ(SentSize(route, INT_MAX, 1), Size(64, 48));
    EXPECT_EQ(SentSize(route, 20, INT_MIN), Size(64, 48));
    // Bounded by the picture's block limit: 16384 x 2000 x 3 bytes is too much.
    EXPECT_EQ(SentSize(route, 16384, 2000, Frame(64, 48)), Size(64, 48));
  }
}

TEST(CameraPictureTest, PhoneSizesAndDepths) {
  FrameSnapshot frame = Frame(64, 48);
  CameraPicture gif = MakeCameraPicture(CameraRoute::Gif, frame, 0, 0);
  ASSERT_TRUE(gif.bytes);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(gif.bytes.get()), 6), "GIF89a");
  EXPECT_EQ(frame.image.Width(), kGifSide);
  EXPECT_EQ(frame.image.Bpp(), 8u);
  EXPECT_EQ(frame.image.Info().alphaPaletteEnabled, 0);

  frame = Frame(64, 48);
  CameraPicture wbmp = MakeCameraPicture(CameraRoute::Wbmp, frame, 0, 0);
  ASSERT_TRUE(wbmp.bytes);
  // Type 0, fixed header 0, then 90 and 70 as one-byte multi-byte integers.
  ASSERT_GE(wbmp.size, 4u);
  EXPECT_EQ(wbmp.bytes[0], 0);
  EXPECT_EQ(wbmp.bytes[2], 90);
  EXPECT_EQ(wbmp.bytes[3], 70);
  EXPECT_EQ(wbmp.size, 4u + 12u * 70u);  // 90 pixels take 12 bytes a row
}

// Before the first frame: JPEG encodes nothing, the others have no pixels to send.
TEST(CameraPictureTest, EmptyStore) {
  for (CameraRoute route : {CameraRoute::Jpeg, CameraRoute::Png, CameraRoute::Gif,
                            CameraRoute::Wbmp}) {
    FrameSnapshot empty;
    CameraPicture p = MakeCameraPicture(route, empty, 320, 240);
    EXPECT_FALSE(p.hasPixels);
    EXPECT_FALSE(p.bytes);
    EXPECT_EQ(p.size, 0u);
    // Stored sizes without pixels must not lead to sampling either.
    empty.width = 640;
    empty.height = 480;
    EXPECT_FALSE(MakeCameraPicture(route, empty, -1, 5).hasPixels);
  }
  EXPECT_STREQ(CameraFileName(CameraRoute::Wbmp), "image.wbmp");
}


std::string Md5Lower(const std::string& text) {
  std::string digest;
  Md5Hex(text, digest);
  for (char& c : digest) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return digest;
}

// Digest answers computed as RFC 7616 clients compute them, with the stored digest as the
// shared secret: accepted only where enabled, for this URI and method, with a signed nonce
// that has not expired (an expired one is reported stale).
TEST(CompatCredentialsTest, DigestAnswers) {
  CameraState camera;
  camera.m_sCameraUser = "Cam";
  Md5Hex("s3cret", camera.m_sCameraPassword);
  camera.m_bDigestAuth = true;
  const auto now = std::chrono::system_clock::now();
  const std::string uri = "/webcam/?action=snapshot&_=1";
  const auto answer = [&](const std::string& nonce, const std::string& method,
                          const std::string& secret, const std::string& forUri) {
    const std::string ha1 = Md5Lower("Cam:Orbiscope camera:" + secret);
    const std::string ha2 = Md5Lower(method + ":" + forUri);
    const std::string response = Md5Lower(ha1 + ":" + nonce + ":00000001:c0ffee:auth:" + ha2);
    ClientRequest request;
    request.raw = "GET " + uri + " HTTP/1.1\r\nAuthorization: Digest username=\"Cam\", "
                  "realm=\"Orbiscope camera\", nonce=\"" + nonce + "\", uri=\"" + forUri +
                  "\", response=\"" + response + "\", qop=auth, nc=00000001, cnonce=\"c0ffee\", "
                  "algorithm=MD5\r\n\r\n";
    EXPECT_TRUE(ParseHead(request, ParsePolicy {}));
    bool stale = false;
    const bool ok = CheckCompatCredentials(request, "action=snapshot&_=1", camera, now, stale);
    return std::pair(ok, stale);
  };
  const std::string fresh = MakeNonce(now, camera.m_sNonceKey);
  EXPECT_EQ(answer(fresh, "GET", camera.m_sCameraPassword, uri), std::pair(true, false));
  EXPECT_EQ(answer(fresh, "GET", "s3cret", uri), std::pair(false, false));
  EXPECT_EQ(answer(fresh, "GET", camera.m_sCameraPassword, "/other"), std::pair(false, false));
  EXPECT_EQ(answer(fresh, "POST", camera.m_sCameraPassword, uri), std::pair(false, false));
  std::string forged = fresh;
  forged.back() = forged.back() == '0' ? '1' : '0';
  EXPECT_EQ(answer(forged, "GET", camera.m_sCameraPassword, uri), std::pair(false, false));
  const std::string old = MakeNonce(now - kNonceLifetime - std::chrono::seconds(1), camera.m_sNonceKey);
  EXPECT_EQ(answer(old, "GET", camera.m_sCameraPassword, uri), std::pair(false, true));
  EXPECT_EQ(answer(MakeNonce(now, "another server"), "GET", camera.m_sCameraPassword, uri),
            std::pair(false, false));
  camera.m_bDigestAuth = false;
  EXPECT_EQ(answer(fresh, "GET", camera.m_sCameraPassword, uri).first, false);
  EXPECT_EQ(CompatChallenge(camera, now, false), "WWW-Authenticate: Basic realm=\"Orbiscope camera\"\r\n");
}

TEST(CompatCredentialsTest, NamedValuesAndDigestComparison) {
  struct Case {
    const char* query;
    const char* name;
    const char* value;
  } cases[] = {
      {"a=1&b=2", "b", "2"},     {"b=&b=3", "b", "3"},          {"1733700000000&b=4", "b", "4"},
      {"a=1?b=5", "b", "5"},     {"ab=6&b=7", "b", "7"},        {"b", "b", ""},
      {"b=%41%26", "b", "A&"},   {"x=1", "b", ""},              {"B=1", "b", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(NamedQueryValue(c.query, c.name, true), c.value) << c.query;
  EXPECT_TRUE(SameDigest("ABCDEF0123", "abcdef0123"));
  EXPECT_FALSE(SameDigest("ABCDEF0123", "ABCDEF012"));
  EXPECT_FALSE(SameDigest("ABCDEF0123", "ABCDEF0124"));
}

}  // namespace
}  // namespace orbiscope
