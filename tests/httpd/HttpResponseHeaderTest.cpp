#include "httpd/HttpResponseHeader.h"

#include <gtest/gtest.h>

namespace orbiscope {
namespace {

HttpTime Thursday2004() {
  HttpTime t;
  t.year = 2004;
  t.month = 1;
  t.dayOfWeek = 4;
  t.day = 1;
  t.hour = 9;
  t.minute = 5;
  t.second = 7;
  t.milliseconds = 999;  // never written
  return t;
}

TEST(HttpResponseHeaderTest, StatusLinesFollowTheTableAndUnknownCodesHaveNoReason) {
  const std::pair<int, const char*> table[] = {
      {200, "HTTP/1.0 200 OK\r\n"},
      {201, "HTTP/1.0 201 Created\r\n"},
      {202, "HTTP/1.0 202 Accepted\r\n"},
      {204, "HTTP/1.0 204 No Content\r\n"},
      {300, "HTTP/1.0 300 Multiple Choices\r\n"},
      {301, "HTTP/1.0 301 Moved Permanently\r\n"},
      {302, "HTTP/1.0 302 Moved Temporarily\r\n"},
      {304, "HTTP/1.0 304 Not Modified\r\n"},
      {400, "HTTP/1.0 400 Bad Request\r\n"},
      {401, "HTTP/1.0 401 Unauthorized\r\n"},
      {403, "HTTP/1.0 403 Forbidden\r\n"},
      {404, "HTTP/1.0 404 Not Found\r\n"},
      {500, "HTTP/1.0 500 Internal Server Error\r\n"},
      {501, "HTTP/1.0 501 Not Implemented\r\n"},
      {502, "HTTP/1.0 502 Bad Gateway\r\n"},
      {503, "HTTP/1.0 503 Service Unavailable\r\n"},
      {418, "HTTP/1.0 418\r\n"},
  };
  for (const auto& [code, line] : table) {
    CHttpResponseHeader header;
    header.AddStatusLine(code);
    EXPECT_EQ(header.Text(), line) << code;
  }
}

// The blocks of the response kinds, byte for byte, in the order the writers build them.
TEST(HttpResponseHeaderTest, ResponseKindsHaveTheirExactBytes) {
  const HttpTime now = Thursday2004();
  const std::string date = "Date: Thu, 01 Jan 2004 09:05:07 GMT\r\n";

  CHttpResponseHeader file;  // a file with AutoExpire, keep-alive and a known write time
  file.AddStatusLine(200);
  file.AddDate(now);
  file.AddServer("Zentrux/1.62");
  file.AddAllow(false);
  file.AddExpires(now);
  file.AddKeepAlive();
  file.AddLastModified(now);
  file.AddContentLength(1234);
  file.AddContentType("image/jpeg");
  EXPECT_EQ(file.GetData(),
            "HTTP/1.0 200 OK\r\n" + date +
                "Server: Zentrux/1.62\r\n"
                "Allow: GET, POST, HEAD\r\n"
                "Expires: Thu, 01 Jan 2004 09:05:07 GMT\r\n"
                "Connection: Keep-Alive\r\n"
                "Last-Modified: Thu, 01 Jan 2004 09:05:07 GMT\r\n"
                "Content-Length: 1234\r\n"
                "Content-Type: image/jpeg\r\n"
                "\r\n");

  CHttpResponseHeader redirect;
  redirect.AddStatusLine(302);
  redirect.AddDate(now);
  redirect.AddServer("S");
  redirect.AddAllow(true);
  redirect.AddLocation("/index.html");
  redirect.AddContentLength(0);
  redirect.AddContentType("text/html");
  EXPECT_EQ(redirect.GetData(),
            "HTTP/1.0 302 Moved Temporarily\r\n" + date +
                "Server: S\r\nAllow: GET, POST, HEAD, DELETE\r\nLocation: /index.html\r\n"
                "Content-Length: 0\r\nContent-Type: text/html\r\n\r\n");

  CHttpResponseHeader challenge;  // NTLM and Basic offered; an empty realm stays empty
  challenge.AddStatusLine(401);
  challenge.AddNtlmChallenge("");
  challenge.AddNtlmChallenge("TlRMTVNTUAAC");
  challenge.AddBasicChallenge("");
  challenge.AddBasicChallenge("\\cam\\");
  EXPECT_EQ(challenge.Text(),
            "HTTP/1.0 401 Unauthorized\r\n"
            "WWW-Authenticate: NTLM\r\n"
            "WWW-Authenticate: NTLM TlRMTVNTUAAC\r\n"
            "WWW-Authenticate: Basic realm=\r\n"
            "WWW-Authenticate: Basic realm=\\cam\\\r\n");
}

// Every answer's head comes from one formatter: each part in its place, and the parts a
// client or a setting chose unable to add lines.
TEST(HttpResponseHeaderTest, FormattedHeadsKeepTheirOrderAndTheirLines) {
  const HttpTime now = Thursday2004();
  const std::string date = "Thu, 01 Jan 2004 09:05:07 GMT";
  ResponseHead full;  // every part at once
  full.date = &now;
  full.server = "Zentrux/1.62";
  full.fields = "Cache-Control: no-cache\r\n";
  full.expiresAtDate = true;
  full.keepAlive = true;
  full.lastModified = &now;
  full.length = 3;
  full.type = "image/png";
  full.routeFields = "X-Timestamp: 1\r\n";
  EXPECT_EQ(FormatResponseHead(full),
            "HTTP/1.0 200 OK\r\nDate: " + date + "\r\nServer: Zentrux/1.62\r\n"
            "Allow: GET, POST, HEAD\r\nCache-Control: no-cache\r\nExpires: " + date +
                "\r\nConnection: Keep-Alive\r\nLast-Modified: " + date +
                "\r\nContent-Length: 3\r\nContent-Type: image/png\r\nX-Timestamp: 1\r\n\r\n");

  ResponseHead bare;  // no length (a stream), hostile server name and type
  bare.code = 503;
  bare.date = &now;
  bare.server = std::string_view("S\r\nX: 1\0\t", 10);
  bare.allowDelete = true;
  bare.type = "text/html\r\n\x7f<b>";
  EXPECT_EQ(FormatResponseHead(bare),
            "HTTP/1.0 503 Service Unavailable\r\nDate: " + date +
                "\r\nServer: SX: 1\t\r\nAllow: GET, POST, HEAD, DELETE\r\n"
                "Content-Type: text/html<b>\r\n\r\n");
}

TEST(HttpResponseHeaderTest, ClearedSeparatorLeavesTheBlockOpen) {
  CHttpResponseHeader header;
  header.AddStatusLine(200);
  header.SetAddEntityBodySeparator(false);
  EXPECT_EQ(header.GetData(), "HTTP/1.0 200 OK\r\n");
}

// A decoded URL may carry CR LF (from %0D%0A); used as a realm or a location it must not
// start header lines of its own.
TEST(HttpResponseHeaderTest, LineBreaksInValuesCannotAddHeaderLines) {
  CHttpResponseHeader header;
  header.AddBasicChallenge("/x\r\nSet-Cookie: a=b");
  header.AddLocation(std::string("/y\nZ: 1\0", 9));
  header.AddContentType("text/html\r\n\r\n<script>");
  EXPECT_EQ(header.Text(),
            "WWW-Authenticate: Basic realm=/xSet-Cookie: a=b\r\n"
            "Location: /yZ: 1\r\n"
            "Content-Type: text/html<script>\r\n");
}

TEST(HttpDateTest, FormatsTheFixedLayoutAndGuardsItsTables) {
  EXPECT_EQ(FormatHttpDate(Thursday2004()), "Thu, 01 Jan 2004 09:05:07 GMT");
  HttpTime odd = Thursday2004();
  odd.month = 0;
  odd.dayOfWeek = 7;
  EXPECT_EQ(FormatHttpDate(odd), ", 01  2004 09:05:07 GMT");
  odd.month = 13;
  odd.dayOfWeek = -1;
  EXPECT_EQ(FormatHttpDate(odd), ", 01  2004 09:05:07 GMT");
}

TEST(HttpDateTest, TheThreeRequestFormsGiveTheSameInstant) {
  HttpTime expected;
  expected.year = 1994;
  expected.month = 11;
  expected.dayOfWeek = 0;
  expected.day = 6;
  expected.hour = 8;
  expected.minute = 49;
  expected.second = 37;
  for (const char* text : {"Sun, 06 Nov 1994 08:49:37 GMT", "Sun Nov  6 08:49:37 1994",
                           "Sunday, 06-Nov-94 08:49:37 GMT", "sunday, 06-nov-94 08:49:37 GMT"}) {
    HttpTime t;
    t.milliseconds = 5;
    EXPECT_TRUE(ParseHttpDate(text, t)) << text;
    EXPECT_EQ(t, expected) << text;
  }
  HttpTime t;
  ASSERT_TRUE(ParseHttpDate("Thursday, 01-Jan-49 09:05:07 GMT", t));
  EXPECT_EQ(t.year, 2049);
  ASSERT_TRUE(ParseHttpDate("Thursday, 01-Jan-50 09:05:07 GMT", t));
  EXPECT_EQ(t.year, 1950);
  ASSERT_TRUE(ParseHttpDate("Thursday, 01-Jan-2004 09:05:07 GMT", t));
  EXPECT_EQ(t.year, 2004);
}

TEST(HttpDateTest, RejectsUnknownNamesMissingPartsAndShortTexts) {
  HttpTime t;
  EXPECT_FALSE(ParseHttpDate("06 Nov 1994 08:49:37 GMT", t));  // third form, "06" no weekday
  EXPECT_FALSE(ParseHttpDate("Sun, 06 Nox 1994 08:49:37 GMT", t));
  EXPECT_FALSE(ParseHttpDate("Sun, 06 Nov 1994 08:49", t));
  EXPECT_FALSE(ParseHttpDate("Sun,", t));
  EXPECT_FALSE(ParseHttpDate("Sun, 0", t));
  EXPECT_FALSE(ParseHttpDate("Sun, 06 November 1994 08:49:37 GMT", t));  // abbreviations only
  // Fields read before the failure are kept.
  HttpTime partial;
  EXPECT_FALSE(ParseHttpDate("Sun, 06 Nov 1994 08:49", partial));
  EXPECT_EQ(partial.day, 6);
  EXPECT_EQ(partial.month, 11);
  EXPECT_EQ(partial.year, 1994);
  // Digit runs too long for a date saturate rather than overflow or keep only their head.
  ASSERT_TRUE(ParseHttpDate("Sun, 99999999999999999999 Nov 1234567890123 08:49:37 GMT", t));
  EXPECT_EQ(t.day, 999999999);
  EXPECT_EQ(t.year, 999999999);
  ASSERT_TRUE(ParseHttpDate("Sun, 06 Nov -99999999999 08:49:37 GMT", t));
  EXPECT_EQ(t.year, -999999999);
}

TEST(HttpDateTest, RoundTripsThroughTimeT) {
  const HttpTime t = Thursday2004();
  HttpTime back = HttpTimeFromTimeT(TimeTFromHttpTime(t));
  back.milliseconds = t.milliseconds;
  EXPECT_EQ(back, t);
  HttpTime parsed;
  ASSERT_TRUE(ParseHttpDate(FormatHttpDate(t), parsed));
  parsed.milliseconds = t.milliseconds;
  EXPECT_EQ(parsed, t);
}

}  // namespace
}  // namespace orbiscope
