#include "httpd/AccessLog.h"

#include <time.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>

#include "log/LogXML.h"

namespace orbiscope {

namespace {

// Month names are written in English whatever locale the front-end set.
constexpr const char* kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// What one byte of an entry's text costs in the log file, whose element text spells "&"
// and "<" as references (and ">" too after "]]").
std::size_t LoggedSize(char c) {
  switch (c) {
    case '&': return 5;
    case '<':
    case '>': return 4;
    default: return 1;
  }
}

// Appends `text`, or as much of it as fits `limit` logged bytes followed by "...". The cut
// falls before a byte that starts a character, so no half character reaches the file.
void AppendCapped(std::string& out, std::string_view text, std::size_t limit) {
  std::size_t size = 0;
  for (char c : text) size += LoggedSize(c);
  if (size <= limit) {
    out.append(text);
    return;
  }
  std::size_t end = 0;
  for (size = 3; end < text.size() && size + LoggedSize(text[end]) <= limit; ++end)
    size += LoggedSize(text[end]);
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  out.append(text.substr(0, end)).append("...");
}

// Appends `value` as printf's "%0*lld" writes it: at least `width` characters, zeros after
// a sign. By hand, as the line is made for every answered request and the formatting
// functions were a fifth of the entry's cost.
void AppendPadded(std::string& out, long long value, std::size_t width) {
  char digits[24];
  const std::to_chars_result written = std::to_chars(digits, digits + sizeof digits, value);
  std::string_view text(digits, static_cast<std::size_t>(written.ptr - digits));
  if (value < 0) {
    out += '-';
    text.remove_prefix(1);
    width = width > 0 ? width - 1 : 0;
  }
  if (text.size() < width) out.append(width - text.size(), '0');
  out.append(text);
}

}  // namespace

std::string FormatAccessLogLine(const sockaddr_in& client, std::string_view user,
                                const std::tm& localTime, long biasMinutes,
                                std::string_view requestLine, int code, std::int64_t bytes) {
  const auto* address = reinterpret_cast<const unsigned char*>(&client.sin_addr.s_addr);
  const char* month =
      localTime.tm_mon >= 0 && localTime.tm_mon < 12 ? kMonths[localTime.tm_mon] : "";
  std::string line;
  line.reserve(std::min(user.size(), kMaxLoggedUser) +
               std::min(requestLine.size(), kMaxLoggedRequestLine) + 128);
  // "a.b.c.d - user [dd/Mon/yyyy:hh:mm:ss bias] "request" code bytes"
  for (int i = 0; i < 4; ++i) {
    if (i > 0) line += '.';
    AppendPadded(line, address[i], 0);
  }
  line.append(" - ");
  AppendCapped(line, user.empty() ? std::string_view("-") : user, kMaxLoggedUser);
  line.append(" [");
  AppendPadded(line, localTime.tm_mday, 2);
  line.append("/").append(month).append("/");
  AppendPadded(line, localTime.tm_year + 1900LL, 4);
  line += ':';
  AppendPadded(line, localTime.tm_hour, 2);
  line += ':';
  AppendPadded(line, localTime.tm_min, 2);
  line += ':';
  AppendPadded(line, localTime.tm_sec, 2);
  line += ' ';
  AppendPadded(line, biasMinutes, 4);
  line.append("] \"");
  AppendCapped(line, requestLine, kMaxLoggedRequestLine);
  line.append("\" ");
  AppendPadded(line, code, 0);
  line += ' ';
  AppendPadded(line, bytes, 0);
  line += '\n';
  return line;
}

long TimeZoneBiasMinutes() {
  // Asked for every access line: each thread asks the C library once a second, or when
  // TZ changed, as reading the zone (a look at its file) under a lock shared by every
  // worker cost the busy server more than anything else in the line.
  struct Cached {
    std::time_t second = -1;
    std::optional<std::string> tz;  // unset and empty are different zones
    long bias = 0;
  };
  thread_local Cached cached;
  const std::time_t now = std::time(nullptr);
  const char* tz = std::getenv("TZ");
  if (now == cached.second && (tz == nullptr ? !cached.tz : cached.tz && *cached.tz == tz))
    return cached.bias;
  {
    // tzset rewrites the C library's zone state (it re-reads TZ every time); workers
    // logging at once take turns here rather than rely on a lock the library keeps.
    static std::mutex zoneLock;
    std::lock_guard lock(zoneLock);
    ::tzset();
    cached.bias = ::timezone / 60;
  }
  cached.second = now;
  cached.tz = tz != nullptr ? std::optional<std::string>(tz) : std::nullopt;
  return cached.bias;
}

bool PostAccessLog(LogXML& log, std::string_view module, const sockaddr_in& client,
                   std::string_view user, std::string_view requestLine, int code,
                   std::int64_t bytes) {
  const std::time_t now = std::time(nullptr);
  std::tm local {};
  ::localtime_r(&now, &local);
  return log.WriteEntry(FormatAccessLogLine(client, user, local, TimeZoneBiasMinutes(), requestLine,
                                     code, bytes),
                 module, kPostLogFunction);
}

}  // namespace orbiscope
