#include "httpd/client/RequestParser.h"

#include <gtest/gtest.h>

namespace orbiscope {
namespace {

ClientRequest Parse(std::string raw, bool& ok, ParsePolicy policy = {}) {
  ClientRequest request;
  request.raw = std::move(raw);
  ok = ParseHead(request, policy);
  return request;
}

ClientRequest ParseOk(std::string raw, ParsePolicy policy = {}) {
  bool ok = false;
  ClientRequest request = Parse(std::move(raw), ok, policy);
  EXPECT_TRUE(ok);
  return request;
}

bool Fails(std::string raw, ParsePolicy policy = {}) {
  bool ok = true;
  Parse(std::move(raw), ok, policy);
  return !ok;
}

TEST(ParseHead, FullRequest) {
  ClientRequest r = ParseOk(
      "\r\n\r\nPOST /cam/a%20b.htm?x=%31&y HTTP/1.1\r\n"
      "Host: example\r\n"
      "Content-Type:  text/plain \r\n"
      "Content-Length: 5\r\n"
      "connection: keep-ALIVE\r\n"
      "If-Modified-Since: Thu, 01 Jan 2004 09:05:07 GMT\r\n"
      "host: second\r\n"
      "\r\nhello");
  EXPECT_EQ(r.requestLine, "POST /cam/a%20b.htm?x=%31&y HTTP/1.1");
  EXPECT_EQ(r.verb, HttpVerb::Post);
  EXPECT_EQ(r.verbText, "POST");
  EXPECT_EQ(r.url, "/cam/a b.htm");
  EXPECT_EQ(r.query, "x=1&y");
  EXPECT_EQ(r.version, 65537u);
  EXPECT_EQ(r.contentType, "text/plain");
  EXPECT_EQ(r.contentLength, 5);
  EXPECT_TRUE(r.keepAliveRequested);
  EXPECT_TRUE(r.ifModifiedSincePresent);
  EXPECT_EQ(r.ifModifiedSince.year, 2004);
  EXPECT_EQ(r.ifModifiedSince.hour, 9);
  EXPECT_EQ(r.ifModifiedSince.second, 7);
  EXPECT_EQ(r.headers.at("HOST"), "second");  // a later field replaces the earlier one
  EXPECT_EQ(r.Body(), "hello");
  EXPECT_EQ(r.authScheme, AuthScheme::Anonymous);
}

TEST(ParseHead, VerbsAndVersions) {
  EXPECT_EQ(ParseOk("get / HTTP/1.0\r\n\r\n").verb, HttpVerb::Get);
  EXPECT_EQ(ParseOk("Unlink / HTTP/1.0\r\n\r\n").verb, HttpVerb::Unlink);
  EXPECT_EQ(ParseOk("PATCH / HTTP/1.0\r\n\r\n").verb, HttpVerb::Unknown);
  EXPECT_EQ(ParseOk("DELETE /x HTTP/1.0\r\n\r\n").verb, HttpVerb::Delete);
  EXPECT_EQ(ParseOk("GET  /   HTTP/1.0  \r\n\r\n").url, "/");  // runs of blanks are one
  EXPECT_EQ(ParseOk("GET / HTTP/0.9\r\n\r\n").version, kHttp09);
  EXPECT_EQ(ParseOk("GET / HTTP/2.3.4\r\n\r\n").version, 2u * 65536 + 3);
  EXPECT_EQ(ParseOk("GET / HTTP/65537.1\r\n\r\n").version, 65536u + 1);  // 16 bits each
  ClientRequest v09 = ParseOk("GET /\r\n");
  EXPECT_EQ(v09.version, kHttp09);
  EXPECT_EQ(v09.url, "/");
}

// Every malformed form that must end in 400.
TEST(ParseHead, MalformedFormsFail) {
  EXPECT_TRUE(Fails(""));
  EXPECT_TRUE(Fails("\r\n\r\n"));
  EXPECT_TRUE(Fails("GET\r\n\r\n"));                    // no URL
  EXPECT_TRUE(Fails("HEAD /\r\n\r\n"));                 // version-less but not GET
  EXPECT_TRUE(Fails("GET / FTP/1.0\r\n\r\n"));          // not HTTP/
  EXPECT_TRUE(Fails("GET / HTTP/1\r\n\r\n"));           // no minor number
  EXPECT_TRUE(Fails("GET / HTTP/\r\n\r\n"));
  EXPECT_TRUE(Fails("GET / HTTP/1.0\r\nAuthorization: Basic\r\n\r\n"));
  EXPECT_TRUE(Fails("GET\t/\tHTTP/1.0\r\n\r\n"));       // tabs do not separate
}

TEST(ParseHead, UserInformationInTheUrl) {
  ClientRequest r = ParseOk("GET u:p@/image HTTP/1.0\r\n\r\n");
  EXPECT_EQ(r.userName, "u");
  EXPECT_EQ(r.password, "p");
  EXPECT_EQ(r.url, "/image");
  EXPECT_EQ(r.authScheme, AuthScheme::Basic);

  r = ParseOk("GET /x@y HTTP/1.0\r\n\r\n");
  EXPECT_EQ(r.userName, "/x");
  EXPECT_EQ(r.password, "");
  EXPECT_EQ(r.url, "y");

  // A colon after the "@" is part of the path, not of the credentials.
  r = ParseOk("GET u@/a:b HTTP/1.0\r\n\r\n");
  EXPECT_EQ(r.userName, "u");
  EXPECT_EQ(r.password, "");
  EXPECT_EQ(r.url, "/a:b");

  // An "@" in the query is a value, not user information.
  r = ParseOk("GET /image.wml?user=cam&pass=p@ss:1 HTTP/1.0\r\n\r\n");
  EXPECT_EQ(r.url, "/image.wml");
  EXPECT_EQ(r.query, "user=cam&pass=p@ss:1");
  EXPECT_EQ(r.userName, "");
  EXPECT_EQ(r.authScheme, AuthScheme::Anonymous);
  r = ParseOk("GET u:p@/image?a=b@c HTTP/1.0\r\n\r\n");
  EXPECT_EQ(r.userName, "u");
  EXPECT_EQ(r.url, "/image");
  EXPECT_EQ(r.query, "a=b@c");

  ParsePolicy off;
  off.allowBasic = false;
  r = ParseOk("GET u:p@/image HTTP/1.0\r\n\r\n", off);
  EXPECT_EQ(r.url, "u:p@/image");
  EXPECT_EQ(r.authScheme, AuthScheme::Anonymous);
  off.allowNtlm = true;
  EXPECT_EQ(ParseOk("GET u:p@/image HTTP/1.0\r\n\r\n", off).authScheme, AuthScheme::Basic);
}

// The access log shows no password of user information, also where the parser would not
// take it (a line it refuses, a "?" or a NUL inside).
TEST(MaskUserInfoPassword, HidesThePasswordOnly) {
  const std::pair<const char*, const char*> kLines[] = {
      {"GET u:p@/image HTTP/1.0", "GET u:*@/image HTTP/1.0"},
      {"GET u%3Ap%3f%00x%40y@/a?q=1 FTP/1.0", "GET u%3A*@/a?q=1 FTP/1.0"},
      {"GET u:p%40x HTTP/1.0", "GET u:*%40x HTTP/1.0"},  // the parser's "@" when no other
      {"GET u:p w@/a HTTP/1.0", "GET u:*@/a HTTP/1.0"},  // read past a stray blank
      {"GET u@/a:b HTTP/1.0", "GET u@/a:b HTTP/1.0"},        // no password
      {"GET u:@/a HTTP/1.0", "GET u:@/a HTTP/1.0"},
      {"GET u:%40p@/a HTTP/1.0", "GET u:*@/a HTTP/1.0"},
      {"GET /image.wml?user=u&pass=p@ss:1 HTTP/1.0", "GET /image.wml?user=u&pass=p@ss:1 HTTP/1.0"},
      {"GET /a HTTP/1.0", "GET /a HTTP/1.0"},
      {"GET", "GET"},
  };
  for (const auto& [line, expected] : kLines) EXPECT_EQ(MaskUserInfoPassword(line), expected) << line;
}

TEST(ParseHead, AuthorizationField) {
  ClientRequest r = ParseOk("GET / HTTP/1.0\r\nAuthorization: basic dXNlcjpwYTpzcw==\r\n\r\n");
  EXPECT_EQ(r.authScheme, AuthScheme::Basic);
  EXPECT_EQ(r.userName, "user");
  EXPECT_EQ(r.password, "pa:ss");  // only the first colon splits

  r = ParseOk("GET / HTTP/1.0\r\nAuthorization: NTLM TlRMTVNTUAAB\r\n\r\n");
  EXPECT_EQ(r.authScheme, AuthScheme::Anonymous);
  r = ParseOk("GET / HTTP/1.0\r\nAuthorization: Basic dXNlcg==\r\n\r\n");  // "user", no colon
  EXPECT_EQ(r.authScheme, AuthScheme::Anonymous);
  EXPECT_EQ(r.userName, "");
  r = ParseOk("GET / HTTP/1.0\r\nAuthorization:\r\n\r\n");
  EXPECT_EQ(r.authScheme, AuthScheme::Anonymous);

  ParsePolicy off;
  off.allowBasic = false;
  r = ParseOk("GET / HTTP/1.0\r\nAuthorization: Basic\r\n\r\n", off);  // ignored, not 400
  EXPECT_EQ(r.authScheme, AuthScheme::Anonymous);
}

TEST(ParseHead, OddLines) {
  // A line without a colon is kept under an empty name and does not fail the request.
  ClientRequest r = ParseOk("GET / HTTP/1.0\r\njunk\r\nX-A:1\r\n\r\n");
  EXPECT_EQ(r.headers.at(""), "");
  EXPECT_EQ(r.headers.at("X-A"), "1");
  // A bare line feed ends a line without losing its last character.
  r = ParseOk("GET / HTTP/1.0\nConnection: Keep-Alive\n\r\n\r\n");
  EXPECT_EQ(r.version, 65536u);
  EXPECT_TRUE(r.keepAliveRequested);
  // Without the blank line there is no body and every line is still read.
  r = ParseOk("GET / HTTP/1.0\r\nContent-Length: 7");
  EXPECT_EQ(r.contentLength, 7);
  EXPECT_EQ(r.bodyLength, 0u);
  // An unreadable date is ignored.
  EXPECT_FALSE(ParseOk("GET / HTTP/1.0\r\nIf-Modified-Since: yesterday\r\n\r\n")
                   .ifModifiedSincePresent);
  // Keep-alive needs the exact token.
  EXPECT_FALSE(ParseOk("GET / HTTP/1.0\r\nConnection: close\r\n\r\n").keepAliveRequested);
}

TEST(SplitField, TrimsAndRefuses) {
  std::string name = "x", value = "y";
  EXPECT_FALSE(SplitField("", name, value));
  EXPECT_FALSE(SplitField("no colon", name, value));
  EXPECT_EQ(name, "");
  EXPECT_TRUE(SplitField(" A b :  c: d \t", name, value));
  EXPECT_EQ(name, "A b");
  EXPECT_EQ(value, "c: d");
}

TEST(ParseDecimal, AtoiWithoutOverflow) {
  EXPECT_EQ(ParseDecimal(" 12abc"), 12);
  EXPECT_EQ(ParseDecimal("-7"), -7);
  EXPECT_EQ(ParseDecimal("abc"), 0);
  EXPECT_EQ(ParseDecimal("99999999999999999999"), 2147483647);
  EXPECT_EQ(ParseDecimal("-99999999999999999999"), -2147483647 - 1);
}

}  // namespace
}  // namespace orbiscope
