#pragma once
// Turns the bytes of one received request into the fields of a ClientRequest.
//
// Nothing here touches a socket: the session reads the bytes (RequestFraming.h) and hands
// them over, so every split and every malformed form can be fed in by tests and fuzzers.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "httpd/RequestFraming.h"
#include "httpd/client/ClientRequest.h"
#include "httpd/client/UrlCodec.h"

namespace orbiscope {

// What the server's settings decide about parsing.
struct ParsePolicy {
  bool allowBasic = true;   // user information in the URL and Basic authorization count
  bool allowNtlm = false;   // user information in the URL counts
};

// atoi over a text that may not end where the number does: leading blanks, a sign and
// digits; saturates instead of overflowing.
int ParseDecimal(std::string_view text);

// The end of the line that starts at `position`: the next line feed after its first
// character, but never beyond `limit` (the body start, or the end of the bytes).
std::size_t FindLineEnd(std::string_view raw, std::size_t position, std::size_t limit);

// Reads the request line: verb, decoded URL, user information, query and version.
// False for a missing verb or URL, a malformed version, or a version-less verb but GET.
bool ParseStartLine(ClientRequest& request, std::string_view line, const ParsePolicy& policy);

// Reads an Authorization value. False only for "Basic" without a credential token.
bool ParseCredentials(ClientRequest& request, std::string_view value, const ParsePolicy& policy);

// Records one line: the request line when `isFirstLine`, else the split header field.
bool ParseField(ClientRequest& request, std::string_view line, bool isFirstLine,
                const std::string& name, const std::string& value, const ParsePolicy& policy);

// Parses `request.raw`: finds the body, walks the lines and records each. False when the
// head holds no line or a line cannot be parsed (the session answers 400).
bool ParseHead(ClientRequest& request, const ParsePolicy& policy);

// Where the target of a request line lies: from its second blank-separated token to the
// end of the line, less a last token that is a version ("HTTP/..."), so that blanks a
// client left inside its URL stay inside. `oneToken` tells that the target is the single
// token the parser reads as the URL. A line without a second token is all target.
struct RequestTarget {
  std::size_t begin = 0;
  std::size_t end = 0;
  bool oneToken = false;
};
RequestTarget FindRequestTarget(std::string_view requestLine);

// The request line with the password of URL user information ("user:password@") replaced
// by "*", for the access log. Read more widely than the parser does (anywhere in the line,
// past a "?", a NUL or an encoded "@"), so that a line the parser refused, or read
// differently from what its client meant, does not show it either.
std::string MaskUserInfoPassword(std::string_view requestLine);
// The same, for a line whose DecodeUrlSpans a caller already holds.
std::string MaskUserInfoPassword(std::string_view requestLine,
                                 const std::vector<DecodedByte>& text);

}  // namespace orbiscope
