#include "httpd/client/RequestParser.h"

#include <climits>
#include <cstdint>
#include <vector>

#include "httpd/client/Base64.h"
#include "httpd/client/UrlCodec.h"

namespace orbiscope {
namespace {

// What atoi skips before a number.
constexpr std::string_view kBlanks = " \t\r\n\v\f";

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Upper(a[i]) != Upper(b[i])) return false;
  }
  return true;
}

// Tokens separated by runs of `separator`, empty tokens skipped (the tokenizer's way).
std::vector<std::string_view> Tokens(std::string_view text, char separator) {
  std::vector<std::string_view> out;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && text[i] == separator) ++i;
    std::size_t start = i;
    while (i < text.size() && text[i] != separator) ++i;
    if (i > start) out.push_back(text.substr(start, i - start));
  }
  return out;
}

HttpVerb VerbCode(std::string_view text) {
  static constexpr std::pair<std::string_view, HttpVerb> kVerbs[] = {
      {"GET", HttpVerb::Get},   {"POST", HttpVerb::Post},     {"HEAD", HttpVerb::Head},
      {"PUT", HttpVerb::Put},   {"LINK", HttpVerb::Link},     {"DELETE", HttpVerb::Delete},
      {"UNLINK", HttpVerb::Unlink},
  };
  for (const auto& [name, code] : kVerbs) {
    if (EqualsNoCase(text, name)) return code;
  }
  return HttpVerb::Unknown;
}

// Moves user information ("user:password@") from the front of the URL into the request.
void TakeUserInfo(ClientRequest& request) {
  // User information stands before the path; an "@" in the query (a camera password, say)
  // is a value, and taking it for credentials would cut the query and log it unmasked.
  std::size_t at = request.url.find('@');
  if (at == std::string::npos || at > request.url.find('?')) return;
  std::string_view info = std::string_view(request.url).substr(0, at);
  std::size_t colon = request.url.find(':');
  // A colon after the "@" belongs to the path; splitting there would reach backwards.
  if (colon != std::string::npos && colon < at) {
    request.userName = std::string(info.substr(0, colon));
    request.password = std::string(info.substr(colon + 1));
  } else {
    request.userName = std::string(info);
    request.password.clear();
  }
  request.url.erase(0, at + 1);
  request.authScheme = AuthScheme::Basic;
}

bool ParseVersion(ClientRequest& request, std::string_view token) {
  static constexpr std::string_view kPrefix = "HTTP/";
  if (token.substr(0, kPrefix.size()) != kPrefix) return false;
  std::vector<std::string_view> numbers = Tokens(token.substr(kPrefix.size()), '.');
  if (numbers.size() < 2) return false;
  std::uint32_t major = static_cast<std::uint16_t>(ParseDecimal(numbers[0]));
  std::uint32_t minor = static_cast<std::uint16_t>(ParseDecimal(numbers[1]));
  request.version = major * 65536u + minor;
  return true;
}

}  // namespace

int ParseDecimal(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && kBlanks.find(text[i]) != std::string_view::npos) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
  }
  if (negative) value = -value;
  if (value > INT_MAX) value = INT_MAX;
  return static_cast<int>(value);
}

RequestTarget FindRequestTarget(std::string_view requestLine) {
  std::vector<std::string_view> tokens = Tokens(requestLine, ' ');
  RequestTarget target;
  // Without a second token (a tab where a blank belongs, say) the whole line may hold it.
  if (tokens.size() < 2) {
    target.end = requestLine.size();
    return target;
  }
  const auto offset = [requestLine](std::string_view token) {
    return static_cast<std::size_t>(token.data() - requestLine.data());
  };
  std::size_t count = tokens.size();
  if (count >= 3 && tokens.back().substr(0, 5) == "HTTP/") --count;
  target.begin = offset(tokens[1]);
  target.end = offset(tokens[count - 1]) + tokens[count - 1].size();
  target.oneToken = count == 2;
  return target;
}

std::string MaskUserInfoPassword(std::string_view requestLine) {
  return MaskUserInfoPassword(requestLine, DecodeUrlSpans(requestLine));
}

std::string MaskUserInfoPassword(std::string_view requestLine,
                                 const std::vector<DecodedByte>& text) {
  std::string line(requestLine);
  // The whole line is searched: a tab where the blank belongs puts the URL into the verb.
  std::size_t colon = text.size();
  std::size_t at = text.size();
  for (std::size_t i = 0; i < text.size() && at == text.size(); ++i) {
    if (text[i].c == ':' && colon == text.size()) colon = i;
    if (text[i].c == '@' && colon < i) at = i;
  }
  if (at == text.size()) return line;
  // The parser stops at that "@"; an "@" written as such further on shows where the client
  // meant the password to end, one written encoded being part of it.
  for (std::size_t i = at; i < text.size(); ++i) {
    if (text[i].c == '@' && text[i].rawEnd - text[i].rawBegin == 1) {
      at = i;
      break;
    }
  }
  // An empty password has nothing to hide.
  const std::size_t from = text[colon].rawEnd;
  if (from < text[at].rawBegin) line.replace(from, text[at].rawBegin - from, 1, '*');
  return line;
}

std::size_t FindLineEnd(std::string_view raw, std::size_t position, std::size_t limit) {
  if (limit > raw.size()) limit = raw.size();
  std::size_t end = raw.find('\n', position + 1);
  return (end == std::string_view::npos || end > limit) ? limit : end;
}

bool ParseStartLine(ClientRequest& request, std::string_view line, const ParsePolicy& policy) {
  std::vector<std::string_view> tokens = Tokens(line, ' ');
  if (tokens.empty()) return false;
  request.verbText = std::string(tokens[0]);
  request.verb = VerbCode(tokens[0]);
  if (tokens.size() < 2) return false;
  request.url = DecodeUrl(tokens[1]);
  if ((policy.allowBasic || policy.allowNtlm) && !request.url.empty()) TakeUserInfo(request);
  std::size_t question = request.url.find('?');
  if (question != std::string::npos) {
    request.query = request.url.substr(question + 1);
    request.url.erase(question);
  }
  if (tokens.size() < 3) {
    request.version = kHttp09;
    return request.verb == HttpVerb::Get;
  }
  return ParseVersion(request, tokens[2]);
}

bool ParseCredentials(ClientRequest& request, std::string_view value, const ParsePolicy& policy) {
  std::vector<std::string_view> tokens = Tokens(value, ' ');
  if (tokens.empty()) return true;
  if (!EqualsNoCase(tokens[0], "Basic") || !policy.allowBasic) return true;
  if (tokens.size() < 2) return false;
  std::string decoded = DecodeBase64(tokens[1]);
  // The credentials end where a C string would: a NUL hides what follows.
  decoded.erase(std::min(decoded.find('\0'), decoded.size()));
  std::size_t colon = decoded.find(':');
  if (colon != std::string::npos) {
    request.authScheme = AuthScheme::Basic;
    request.userName = decoded.substr(0, colon);
    request.password = decoded.substr(colon + 1);
  }
  return true;
}

bool ParseField(ClientRequest& request, std::string_view line, bool isFirstLine,
                const std::string& name, const std::string& value, const ParsePolicy& policy) {
  if (isFirstLine) {
    request.requestLine = std::string(line);
    return ParseStartLine(request, line, policy);
  }
  std::string key = name;
  for (char& c : key) c = Upper(c);
  request.headers[key] = value;
  if (EqualsNoCase(name, "If-Modified-Since")) {
    HttpTime time;
    if (ParseHttpDate(value, time)) {
      request.ifModifiedSincePresent = true;
      request.ifModifiedSince = time;
    }
    return true;
  }
  if (EqualsNoCase(name, "Authorization")) return ParseCredentials(request, value, policy);
  if (EqualsNoCase(name, "Content-Type")) {
    request.contentType = value;
  } else if (EqualsNoCase(name, "Content-Length")) {
    request.contentLength = ParseDecimal(value);
  } else if (EqualsNoCase(name, "Connection")) {
    if (EqualsNoCase(value, "Keep-Alive")) request.keepAliveRequested = true;
  }
  return true;
}

bool ParseHead(ClientRequest& request, const ParsePolicy& policy) {
  std::string_view raw = request.raw;
  // Empty lines before the request line are skipped, so they cannot pass for the end of
  // the head either.
  std::size_t lead = std::min(raw.find_first_not_of("\r\n"), raw.size());
  std::size_t separator = raw.find("\r\n\r\n", lead);
  std::size_t bodyStart = raw.size();
  request.bodyOffset = 0;
  request.bodyLength = 0;
  if (separator != std::string_view::npos) {
    bodyStart = separator + 4;
    request.bodyOffset = bodyStart;
    request.bodyLength = raw.size() - bodyStart;
  }

  bool answer = false;
  bool firstLine = true;
  std::string name, value;
  std::size_t start = 0;
  std::size_t end = std::min(raw.find('\n'), bodyStart);
  while (start < bodyStart) {
    std::string_view line = raw.substr(start, end - start);
    // Only a carriage return is taken off: a line ended by a bare line feed keeps its last
    // character.
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!line.empty()) {
      if (firstLine) {
        answer = ParseField(request, line, true, name, value, policy);
        firstLine = false;
      } else {
        SplitField(line, name, value);
        answer = ParseField(request, line, false, name, value, policy);
      }
      if (!answer) return false;
    }
    start = end + 1;
    if (start >= bodyStart) break;
    end = FindLineEnd(raw, start, bodyStart);
  }
  return answer;
}

}  // namespace orbiscope
