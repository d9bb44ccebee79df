#pragma once
// The access-log line written once per answered request, in the common web-server layout:
//   192.168.0.7 - - [05/Mar/2004:14:03:09 -060] "GET /index.htm HTTP/1.0" 200 1234

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace orbiscope {

class LogXML;

// The function name every access-log entry carries.
inline constexpr std::string_view kPostLogFunction = "CHttpClient::PostLog";

// The most a request line and a user name take of a log entry, counted as the log file
// writes them (an "&" takes five bytes there, a "<" four). A longer one keeps its first bytes
// and ends in "...", so that an entry stays under about 2.5 KiB and a few hostile requests
// cannot fill the log and rotate the previous one away.
inline constexpr std::size_t kMaxLoggedRequestLine = 2048;
inline constexpr std::size_t kMaxLoggedUser = 128;

// The line for the given local time and time-zone bias (minutes, local = UTC - bias); an
// empty user is written "-", the user and the request line are cut as above. Ends in "\n".
std::string FormatAccessLogLine(const sockaddr_in& client, std::string_view user,
                                const std::tm& localTime, long biasMinutes,
                                std::string_view requestLine, int code, std::int64_t bytes);

// The standard-time bias of the zone in force (TZ honoured), daylight saving not added.
long TimeZoneBiasMinutes();

// Formats the line for now and writes it as one entry with module (the client's source name,
// "MyHttpClient" or "HttpClient") and kPostLogFunction. This is the body of a client's PostLog.
// False when the log did not take the entry (closed, or the write failed).
bool PostAccessLog(LogXML& log, std::string_view module, const sockaddr_in& client,
                   std::string_view user, std::string_view requestLine, int code,
                   std::int64_t bytes);

// One answered request as its line tells it. It owns its texts, so an answer whose line is
// written later (a stream, when it ends) can keep it.
struct AccessRecord {
  std::string_view module;   // a string literal: "HttpClient" or "MyHttpClient"
  sockaddr_in client {};
  std::string user;
  std::string requestLine;   // as the log may show it: passwords masked
  int code = 0;
  std::int64_t bytes = 0;
};

// How sessions and streams write their lines.
inline bool PostAccessLog(LogXML& log, const AccessRecord& record) {
  return PostAccessLog(log, record.module, record.client, record.user, record.requestLine,
                       record.code, record.bytes);
}

}  // namespace orbiscope
