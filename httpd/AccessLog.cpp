#include "httpd/AccessLog.h"

#include <time.h>

#include <algorithm>
#include <cstdio>
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

}  // namespace

std::string FormatAccessLogLine(const sockaddr_in& client, std::string_view user,
                                const std::tm& localTime, long biasMinutes,
                                std::string_view requestLine, int code, std::int64_t bytes) {
  const auto* address = reinterpret_cast<const unsigned char*>(&client.sin_addr.s_addr);
  const char* month =
      localTime.tm_mon >= 0 && localTime.tm_mon < 12 ? kMonths[localTime.tm_mon] : "";
  char head[160];
  std::snprintf(head, sizeof head, "%d.%d.%d.%d - ", address[0], address[1], address[2],
                address[3]);
  char when[96];
  std::snprintf(when, sizeof when, " [%02d/%s/%04d:%02d:%02d:%02d %04ld] \"", localTime.tm_mday,
                month, localTime.tm_year + 1900, localTime.tm_hour, localTime.tm_min,
                localTime.tm_sec, biasMinutes);
  char tail[64];
  std::snprintf(tail, sizeof tail, "\" %d %lld\n", code, static_cast<long long>(bytes));
  std::string line;
  line.reserve(sizeof head + std::min(user.size(), kMaxLoggedUser) +
               std::min(requestLine.size(), kMaxLoggedRequestLine) + 64);
  line.append(head);
  AppendCapped(line, user.empty() ? std::string_view("-") : user, kMaxLoggedUser);
  line.append(when);
  AppendCapped(line, requestLine, kMaxLoggedRequestLine);
  line.append(tail);
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
