#pragma once
// The header block of every response: an HTTP/1.0 status line, header lines in the order the
// caller adds them, and the blank line that ends the block. Also the HTTP date format.

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace orbiscope {

struct ResponseHead;

// A broken-down UTC calendar time; milliseconds are carried but never written.
struct HttpTime {
  int year = 0;
  int month = 0;      // 1..12
  int dayOfWeek = 0;  // 0..6, 0 = Sunday
  int day = 0;        // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
  int milliseconds = 0;

  bool operator==(const HttpTime&) const = default;
};

// The current UTC time.
HttpTime CurrentHttpTime();
// A time_t as UTC calendar time.
HttpTime HttpTimeFromTimeT(std::time_t t);
// Calendar fields back to a time_t (day of week and milliseconds are not used).
std::time_t TimeTFromHttpTime(const HttpTime& t);

class CHttpResponseHeader {
public:
  // "HTTP/1.0 <code> <reason>\r\n"; codes outside the table get "HTTP/1.0 <code>\r\n".
  void AddStatusLine(int code);
  // "Content-Length: %d\r\n", 64 bits wide so that files of 2 GiB and more say their size.
  void AddContentLength(std::int64_t length);
  // "Content-Type: %s\r\n".
  void AddContentType(std::string_view type);
  // "Allow: GET, POST, HEAD[, DELETE]\r\n".
  void AddAllow(bool allowDelete);
  // "Date: <HTTP date>\r\n".
  void AddDate(const HttpTime& t);
  // "Last-Modified: <HTTP date>\r\n".
  void AddLastModified(const HttpTime& t);
  // "Expires: <HTTP date>\r\n".
  void AddExpires(const HttpTime& t);
  // "Connection: Keep-Alive\r\n".
  void AddKeepAlive();
  // "WWW-Authenticate: Basic realm=<realm>\r\n", the realm unquoted.
  void AddBasicChallenge(std::string_view realm);
  // "WWW-Authenticate: NTLM[ <challenge>]\r\n".
  void AddNtlmChallenge(std::string_view challenge);
  // "Location: %s\r\n".
  void AddLocation(std::string_view url);
  // "Server: %s\r\n".
  void AddServer(std::string_view name);
  // "Cache-Control: %s\r\n".
  void AddCacheControl(std::string_view directives);
  // Whether GetData ends the block with a blank line (true after construction).
  void SetAddEntityBodySeparator(bool add) { addBlankLine_ = add; }
  bool GetAddEntityBodySeparator() const { return addBlankLine_; }

  // The lines so far plus, when the flag is set, the blank line.
  std::string GetData() const;
  // The lines added so far, without the blank line.
  const std::string& Text() const { return text_; }

private:
  friend std::string FormatResponseHead(const ResponseHead& head);
  void AddField(std::string_view name, std::string_view value);

  std::string text_;
  bool addBlankLine_ = true;
};

// Everything the head of a server answer says. Written in this order: the status line,
// Date, Server, Allow, `fields`, Expires, "Connection: Keep-Alive" when kept alive,
// Last-Modified, Content-Length, Content-Type, `routeFields`, and the blank line.
struct ResponseHead {
  int code = 200;
  const HttpTime* date = nullptr;  // now when not given
  std::string_view server;         // CR, LF and NUL are dropped
  bool allowDelete = false;
  std::string_view fields;         // formatted lines ("Name: value\r\n" each), as they are
  const HttpTime* expires = nullptr;
  bool expiresAtDate = false;      // Expires the Date's time: stale at once
  bool keepAlive = false;
  const HttpTime* lastModified = nullptr;
  std::int64_t length = -1;        // none when negative: the connection's end ends the body
  std::string_view type;           // control characters are dropped
  std::string_view routeFields;    // formatted lines, as they are
};

// The head, in one piece: the one place every answer's head is written.
std::string FormatResponseHead(const ResponseHead& head);

// "Sun, 06 Nov 1994 08:49:37 GMT".
std::string FormatHttpDate(const HttpTime& t);
// Reads the three date forms of requests (RFC 1123, asctime, RFC 850). False when the weekday
// or the month is not recognised or a part is missing; the fields read so far are filled in.
bool ParseHttpDate(std::string_view text, HttpTime& t);

}  // namespace orbiscope
