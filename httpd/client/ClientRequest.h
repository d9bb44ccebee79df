#pragma once
// One request of a client connection, as received and as parsed.

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "httpd/HttpResponseHeader.h"

namespace orbiscope {

// Request verbs; the numbers are part of the access log and of the session's dispatch.
enum class HttpVerb : std::int32_t {
  Post = 0,
  Get = 1,
  Head = 2,
  Put = 3,
  Link = 4,
  Delete = 5,
  Unlink = 6,
  Unknown = 7,
};

// The kind of credentials a request carries.
enum class AuthScheme : std::int32_t {
  Anonymous = 0,
  Basic = 1,
  Ntlm = 2,
};

// The version value that stands for a request without a version token.
inline constexpr std::uint32_t kHttp09 = 9;
// Buckets of the header map, as the server has always sized it.
inline constexpr std::size_t kHeaderBuckets = 53;

struct ClientRequest {
  ClientRequest() : headers(kHeaderBuckets) {}

  std::string raw;                // every byte of this request (std::string keeps a NUL after them)
  std::size_t bodyOffset = 0;     // where the body starts in `raw`; meaningful when bodyLength > 0
  std::size_t bodyLength = 0;     // bytes after the first CR LF CR LF; 0 when there is none
  std::int32_t contentLength = 0; // the Content-Length field; 0 when absent
  std::string requestLine;        // the first non-empty line as received
  sockaddr_in clientAddress{};    // set by the pool, kept across requests
  HttpVerb verb = HttpVerb::Unknown;
  std::string verbText;           // the first token of the request line as received
  std::string url;                // decoded path, without user information and query
  std::string pathInfo;           // what the path resolver left over after the file
  std::string query;              // decoded text after the first "?"
  std::uint32_t version = 0;      // major * 65536 + minor; kHttp09 for a version-less request
  bool ifModifiedSincePresent = false;
  HttpTime ifModifiedSince;       // UTC
  AuthScheme authScheme = AuthScheme::Anonymous;
  std::string userName;
  std::string password;
  std::string clientHostName;     // kept across requests
  std::string contentType;
  bool keepAliveRequested = false;  // Connection: Keep-Alive, any letter case
  std::string challengeText;      // always empty: no NTLM exchange is performed
  std::string localFile;          // set by the path resolver
  std::unordered_map<std::string, std::string> headers;  // upper-case name -> last value

  // The body bytes, empty when there is none.
  std::string_view Body() const { return std::string_view(raw).substr(bodyOffset, bodyLength); }
};

}  // namespace orbiscope
