#include "httpd/HttpResponseHeader.h"

#include <strings.h>

#include <array>
#include <cstdio>
#include <vector>

namespace orbiscope {

namespace {

constexpr std::array<const char*, 7> kWeekdays = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr std::array<const char*, 7> kLongWeekdays = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                                      "Thursday", "Friday", "Saturday"};
constexpr std::array<const char*, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

const char* ReasonPhrase(int code) {
  switch (code) {
    case 200: return "OK";
    case 201: return "Created";
    case 202: return "Accepted";
    case 204: return "No Content";
    case 300: return "Multiple Choices";
    case 301: return "Moved Permanently";
    case 302: return "Moved Temporarily";
    case 304: return "Not Modified";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    default: return nullptr;
  }
}

// A value that carried CR or LF would end its line early and let a client-chosen text (a
// decoded URL used as realm, a redirect target) add header lines of its own; NUL would cut
// the block short for C-string readers. Those bytes are dropped.
void AppendValue(std::string& out, std::string_view value) {
  for (char c : value)
    if (c != '\r' && c != '\n' && c != '\0') out += c;
}

// No date field needs more than nine digits, and a bound this far inside int keeps the
// year arithmetic after the parse (1900 off, 2000 on) from overflowing.
constexpr int kMaxDateNumber = 999999999;

// Decimal like atoi, but saturating at kMaxDateNumber instead of overflowing on long digit
// runs.
int ReadNumber(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
    value = value > (kMaxDateNumber - (text[i] - '0')) / 10 ? kMaxDateNumber
                                                            : value * 10 + (text[i] - '0');
  return negative ? -value : value;
}

// The C tokenizer's splitting without its hidden state: runs of delimiters separate tokens.
std::vector<std::string_view> Tokens(std::string_view text, std::string_view delimiters) {
  std::vector<std::string_view> out;
  std::size_t pos = 0;
  for (;;) {
    pos = text.find_first_not_of(delimiters, pos);
    if (pos == std::string_view::npos) break;
    std::size_t end = text.find_first_of(delimiters, pos);
    if (end == std::string_view::npos) end = text.size();
    out.push_back(text.substr(pos, end - pos));
    pos = end;
  }
  return out;
}

bool EqualNoCase(std::string_view a, const char* b) {
  const std::string_view bv(b);
  return a.size() == bv.size() && ::strncasecmp(a.data(), b, a.size()) == 0;
}

int WeekdayOf(std::string_view token) {
  for (int i = 0; i < 7; ++i)
    if (EqualNoCase(token, kWeekdays[i]) || EqualNoCase(token, kLongWeekdays[i])) return i;
  return -1;
}

int MonthOf(std::string_view token) {
  for (int i = 0; i < 12; ++i)
    if (EqualNoCase(token, kMonths[i])) return i + 1;
  return -1;
}

}  // namespace

HttpTime HttpTimeFromTimeT(std::time_t t) {
  std::tm utc {};
  ::gmtime_r(&t, &utc);
  HttpTime out;
  out.year = utc.tm_year + 1900;
  out.month = utc.tm_mon + 1;
  out.dayOfWeek = utc.tm_wday;
  out.day = utc.tm_mday;
  out.hour = utc.tm_hour;
  out.minute = utc.tm_min;
  out.second = utc.tm_sec;
  return out;
}

HttpTime CurrentHttpTime() {
  timespec now {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  HttpTime t = HttpTimeFromTimeT(now.tv_sec);
  t.milliseconds = static_cast<int>(now.tv_nsec / 1000000);
  return t;
}

std::time_t TimeTFromHttpTime(const HttpTime& t) {
  std::tm utc {};
  utc.tm_year = t.year - 1900;
  utc.tm_mon = t.month - 1;
  utc.tm_mday = t.day;
  utc.tm_hour = t.hour;
  utc.tm_min = t.minute;
  utc.tm_sec = t.second;
  return ::timegm(&utc);
}

void CHttpResponseHeader::AddStatusLine(int code) {
  char line[64];
  if (const char* reason = ReasonPhrase(code))
    std::snprintf(line, sizeof line, "HTTP/1.0 %d %s\r\n", code, reason);
  else
    std::snprintf(line, sizeof line, "HTTP/1.0 %d\r\n", code);
  text_ += line;
}

void CHttpResponseHeader::AddField(std::string_view name, std::string_view value) {
  text_.append(name).append(": ");
  AppendValue(text_, value);
  text_ += "\r\n";
}

void CHttpResponseHeader::AddContentLength(std::int64_t length) {
  AddField("Content-Length", std::to_string(length));
}

void CHttpResponseHeader::AddContentType(std::string_view type) { AddField("Content-Type", type); }

void CHttpResponseHeader::AddAllow(bool allowDelete) {
  text_ += allowDelete ? "Allow: GET, POST, HEAD, DELETE\r\n" : "Allow: GET, POST, HEAD\r\n";
}

void CHttpResponseHeader::AddDate(const HttpTime& t) { AddField("Date", FormatHttpDate(t)); }

void CHttpResponseHeader::AddLastModified(const HttpTime& t) {
  AddField("Last-Modified", FormatHttpDate(t));
}

void CHttpResponseHeader::AddExpires(const HttpTime& t) { AddField("Expires", FormatHttpDate(t)); }

void CHttpResponseHeader::AddKeepAlive() { text_ += "Connection: Keep-Alive\r\n"; }

void CHttpResponseHeader::AddBasicChallenge(std::string_view realm) {
  text_ += "WWW-Authenticate: Basic realm=";
  AppendValue(text_, realm);
  text_ += "\r\n";
}

void CHttpResponseHeader::AddNtlmChallenge(std::string_view challenge) {
  text_ += "WWW-Authenticate: NTLM";
  if (!challenge.empty()) {
    text_ += ' ';
    AppendValue(text_, challenge);
  }
  text_ += "\r\n";
}

void CHttpResponseHeader::AddLocation(std::string_view url) { AddField("Location", url); }

void CHttpResponseHeader::AddServer(std::string_view name) { AddField("Server", name); }

void CHttpResponseHeader::AddCacheControl(std::string_view directives) {
  AddField("Cache-Control", directives);
}

std::string CHttpResponseHeader::GetData() const {
  std::string data;
  data.reserve(text_.size() + 2);
  data = text_;
  if (addBlankLine_) data += "\r\n";
  return data;
}

std::string FormatResponseHead(const ResponseHead& head) {
  const HttpTime now = head.date != nullptr ? *head.date : CurrentHttpTime();
  CHttpResponseHeader header;
  header.text_.reserve(320 + head.fields.size() + head.routeFields.size());
  // A picture expires at its date: the date is spelled once for both lines.
  const std::string date = FormatHttpDate(now);
  header.AddStatusLine(head.code);
  header.AddField("Date", date);
  header.AddServer(head.server);
  header.AddAllow(head.allowDelete);
  header.text_.append(head.fields);
  if (head.expiresAtDate) {
    header.AddField("Expires", date);
  } else if (head.expires != nullptr) {
    header.AddExpires(*head.expires);
  }
  if (head.keepAlive) header.AddKeepAlive();
  if (head.lastModified != nullptr) header.AddLastModified(*head.lastModified);
  if (head.length >= 0) header.AddContentLength(head.length);
  // A type taken from a file name or the MIME map could hold any byte.
  header.text_.append("Content-Type: ");
  for (char c : head.type) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u != 0x7F) header.text_ += c;
  }
  header.text_.append("\r\n").append(head.routeFields).append("\r\n");
  return std::move(header.text_);
}

std::string FormatHttpDate(const HttpTime& t) {
  // Out-of-range fields give an empty name rather than reading past the tables.
  const char* weekday = t.dayOfWeek >= 0 && t.dayOfWeek < 7 ? kWeekdays[t.dayOfWeek] : "";
  const char* month = t.month >= 1 && t.month <= 12 ? kMonths[t.month - 1] : "";
  char text[96];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", weekday, t.day, month,
                t.year, t.hour, t.minute, t.second);
  return text;
}

bool ParseHttpDate(std::string_view text, HttpTime& t) {
  t.milliseconds = 0;
  if (text.size() <= 5) return false;
  enum Field { kWeekday, kDay, kMonth, kYear, kHour, kMinute, kSecond };
  std::vector<Field> order;
  std::string_view delimiters = ", :";
  bool shortYear = false;
  if (text[3] == ',') {
    order = {kWeekday, kDay, kMonth, kYear, kHour, kMinute, kSecond};
  } else if (text[3] == ' ') {
    order = {kWeekday, kMonth, kDay, kHour, kMinute, kSecond, kYear};
  } else {
    order = {kWeekday, kDay, kMonth, kYear, kHour, kMinute, kSecond};
    delimiters = ", :-";
    shortYear = true;
  }
  const auto tokens = Tokens(text, delimiters);
  bool weekdayKnown = false;
  bool monthKnown = false;
  for (std::size_t i = 0; i < order.size(); ++i) {
    if (i >= tokens.size()) return false;
    const std::string_view token = tokens[i];
    switch (order[i]) {
      case kWeekday: {
        const int w = WeekdayOf(token);
        weekdayKnown = w >= 0;
        if (weekdayKnown) t.dayOfWeek = w;
        break;
      }
      case kMonth: {
        // The month only counts once the weekday was recognised.
        if (!weekdayKnown) break;
        const int m = MonthOf(token);
        monthKnown = m > 0;
        if (monthKnown) t.month = m;
        break;
      }
      case kDay: t.day = ReadNumber(token); break;
      case kYear: {
        int year = ReadNumber(token);
        if (shortYear) {
          if (year < 50)
            year += 2000;
          else if (year < 100)
            year += 1900;
        }
        t.year = year;
        break;
      }
      case kHour: t.hour = ReadNumber(token); break;
      case kMinute: t.minute = ReadNumber(token); break;
      case kSecond: t.second = ReadNumber(token); break;
    }
  }
  return weekdayKnown && monthKnown;
}

}  // namespace orbiscope
