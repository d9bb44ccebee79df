#include "httpd/camera/CameraRoutes.h"

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <vector>

#include "config/Codepage.h"
#include "httpd/HttpServerSettings.h"
#include "httpd/camera/CameraPicture.h"
#include "httpd/camera/CameraState.h"
#include "httpd/camera/StatusPage.h"
#include "httpd/camera/CameraStream.h"
#include "httpd/camera/CompatRoutes.h"
#include "httpd/client/HttpClient.h"
#include "httpd/client/Md5Hex.h"
#include "httpd/client/RequestParser.h"
#include "httpd/client/UrlCodec.h"

namespace orbiscope {
namespace {

constexpr std::size_t npos = std::string_view::npos;

// A search that starts from a position that was not found finds nothing.
std::size_t FindFrom(std::string_view text, char c, std::size_t from) {
  return from == npos ? npos : text.find(c, from);
}

// The text after the first "=" at or after `from` in `text`, or the whole text without one.
std::string_view AfterEquals(std::string_view text, std::size_t from) {
  std::size_t equals = from == npos || from > text.size() ? npos : text.find('=', from);
  return equals == npos ? text : text.substr(equals + 1);
}

// The text of `query` before separator position `end`; empty when it was not found.
std::string_view Before(std::string_view query, std::size_t end) {
  return end == npos ? std::string_view() : query.substr(0, end);
}

// The routes whose query carries the camera's credentials.
bool IsPictureRoute(CameraRoute route) {
  return route == CameraRoute::Jpeg || route == CameraRoute::Gif || route == CameraRoute::Wbmp ||
         route == CameraRoute::Png || route == CameraRoute::Stream ||
         route == CameraRoute::Status;
}

// The routes that read a size: the desktop pictures and the stream.
bool IsSizedRoute(CameraRoute route) {
  return route == CameraRoute::Jpeg || route == CameraRoute::Png || route == CameraRoute::Stream;
}

// The routes whose password is the digest rather than the password itself.
bool TakesDigest(CameraRoute route) {
  return IsSizedRoute(route) || route == CameraRoute::Status;
}

// A part of the raw request line the access log writes as "*".
struct RawSpan {
  std::size_t begin;
  std::size_t end;
};

// `line` with each span (merged where they overlap) replaced by one "*".
std::string ReplaceSpans(std::string_view line, std::vector<RawSpan>& spans) {
  std::sort(spans.begin(), spans.end(),
            [](const RawSpan& a, const RawSpan& b) { return a.begin < b.begin; });
  std::string out;
  out.reserve(line.size());
  std::size_t done = 0;
  for (const RawSpan& span : spans) {
    if (span.end <= done) continue;
    if (span.begin >= done) {
      out.append(line.substr(done, span.begin - done));
      out += '*';
    }
    done = span.end;
  }
  out.append(line.substr(done));
  return out;
}

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Whether a query key, given in lower case, names a secret: the words clients and camera
// pages use for a password, a key, a token or a session. Errs towards hiding.
bool NamesSecret(std::string_view lower) {
  static constexpr std::string_view kExact[] = {"p",    "pw",  "pin", "key",       "auth",
                                                "sig",  "sid", "session", "signature",
                                                "authorization"};
  static constexpr std::string_view kParts[] = {"pass", "pwd", "secret", "token",
                                                "credential", "apikey", "_key", "-key",
                                                "sessionid", "session_id"};
  for (std::string_view name : kExact) {
    if (lower == name) return true;
  }
  for (std::string_view part : kParts) {
    if (lower.find(part) != npos) return true;
  }
  return false;
}

// Whether `value` is the password whose digest is `cameraDigest`, in the bytes it came in or,
// as the phone routes also accept it, in windows-1252. `digest` is the caller's scratch.
bool IsCameraPassword(std::string_view value, std::string_view cameraDigest, std::string& digest) {
  if (Md5Hex(value, digest) && digest == cameraDigest) return true;
  // ASCII reads the same in both.
  if (std::all_of(value.begin(), value.end(),
                  [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
    return false;
  }
  const std::string cp1252 = Utf8ToCp1252(value);
  return cp1252 != value && Md5Hex(cp1252, digest) && digest == cameraDigest;
}

// A stored digest shorter than this is no digest the program made; looked for everywhere it
// would hide ordinary text.
constexpr std::size_t kShortestDigest = 8;

// Hides every run of the decoded line that spells the stored digest in any letter case.
void HideStoredDigest(const std::vector<DecodedByte>& text, std::string_view cameraDigest,
                      std::vector<RawSpan>& hidden) {
  if (cameraDigest.size() < kShortestDigest) return;
  const auto same = [](const DecodedByte& d, char c) { return LowerAscii(d.c) == LowerAscii(c); };
  const auto search = [&](std::vector<DecodedByte>::const_iterator from) {
    return std::search(from, text.end(), cameraDigest.begin(), cameraDigest.end(), same);
  };
  // Overlapping runs too: each is hidden, as one "*" once merged.
  for (auto at = search(text.begin()); at != text.end(); at = search(at + 1))
    hidden.push_back({at->rawBegin, (at + static_cast<std::ptrdiff_t>(cameraDigest.size()) - 1)->rawEnd});
}

// Whether a decoded byte separates a route's query values as its pages write them: an
// encoded blank (the only kind a URL holds) or an "&" written as such; an encoded "&" is a
// character of some value.
bool IsQuerySeparator(const DecodedByte& d, char separator) {
  return d.c == separator && (separator == ' ' || d.rawEnd - d.rawBegin == 1);
}

// Hides the values of the query between decoded indexes `from` and `to` that could be a
// secret and keeps the others as sent. Values are split at each `separator`; a key
// ends at the value's first "=", encoded or not. Hidden: the value of a key that names a
// secret, a value that is the camera password (up to a NUL too, where the parser stops), and
// a value holding an "=" of its own, which may be several values sent with encoded
// separators.
void HideSecretValues(const std::vector<DecodedByte>& text, std::size_t from, std::size_t to,
                      char separator, std::string_view cameraDigest,
                      std::vector<RawSpan>& hidden) {
  // Kept across the values: the line costs its buffers once, not a few per value.
  std::string key;
  std::string decoded;
  std::string digest;
  while (from < to) {
    std::size_t end = from;
    while (end < to && !IsQuerySeparator(text[end], separator)) ++end;
    key.clear();
    std::size_t value = from;
    while (value < end && text[value].c != '=') key += LowerAscii(text[value++].c);
    if (value < end) {
      ++value;
    } else {
      key.clear();
      value = from;
    }
    bool nested = false;
    for (std::size_t i = value; i < end && !nested; ++i) nested = text[i].c == '=';
    // Decoded and digested only when nothing else hides the value already: a digest of
    // every value is the dearest part of the line.
    const auto password = [&] {
      if (cameraDigest.size() < kShortestDigest) return false;
      decoded.clear();
      for (std::size_t i = value; i < end; ++i) decoded += text[i].c;
      const std::size_t nul = decoded.find('\0');
      return IsCameraPassword(decoded, cameraDigest, digest) ||
             (nul != npos &&
              IsCameraPassword(std::string_view(decoded).substr(0, nul), cameraDigest, digest));
    };
    if (value < end && (nested || NamesSecret(key) || password()))
      hidden.push_back({text[value].rawBegin, text[end - 1].rawEnd});
    from = end + 1;
  }
}

// Whether the request could reach the phone page through the directories: its path names
// the page in some letter case (a folder may ignore case), or some directory serves it as
// its default file. Only then is the path resolved a second time, so that other files cost
// nothing more.
bool MayServePhonePage(CHttpClient& client) {
  constexpr std::string_view kPage = "index.wml";
  const auto names = [kPage](std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(), LowerAscii);
    return lower.find(kPage) != std::string::npos;
  };
  if (names(client.Request().url)) return true;
  for (const HttpDirectorySettings& directory : client.Settings().m_Directories) {
    if (names(directory.m_sDefaultFile)) return true;
  }
  return false;
}

}  // namespace

void RefuseCameraRequest(CHttpClient& client, int code, std::string_view fields) {
  Response response = client.ErrorResponse(code);
  response.keepAlive = false;
  response.routeFields = fields;
  client.Respond(std::move(response));
}

CameraRoute FindCameraRoute(std::string_view path, bool phoneSwitch) {
  if (path == "/index.wml" && !phoneSwitch) return CameraRoute::PhoneGate;
  if (path == "/image ") return CameraRoute::Jpeg;
  if (path == "/image.xhtml" || path == "/image.chtml") return CameraRoute::Gif;
  if (path == "/image.wml") return CameraRoute::Wbmp;
  if (path == "/image.png") return CameraRoute::Png;
  if (path == "/stream.mjpg") return CameraRoute::Stream;
  if (path == "/status.json") return CameraRoute::Status;
  return CameraRoute::None;
}

CameraRoute FindRequestRoute(CHttpClient& client, bool phoneSwitch) {
  const CameraRoute route = FindCameraRoute(client.Request().url, phoneSwitch);
  if (route != CameraRoute::None || phoneSwitch || !MayServePhonePage(client)) return route;
  // Gated on what the directories make of the path rather than on its spelling: every
  // form of it they serve the page for is refused.
  // Without the page (its path resolves to a folder and path info) there is nothing to gate.
  const std::optional<ResolvedPath> gated = client.ResolvePath("/index.wml");
  if (!gated || !gated->pathInfo.empty() || gated->isDirectory) return route;
  const std::optional<ResolvedPath> asked = client.ResolvePath(client.Request().url);
  if (!asked) return route;
  std::error_code ec;
  return std::filesystem::equivalent(gated->localFile, asked->localFile, ec)
             ? CameraRoute::PhoneGate
             : route;
}

char QuerySeparator(CameraRoute route) { return route == CameraRoute::Jpeg ? ' ' : '&'; }

QueryValues SplitQueryValues(std::string_view query, char separator) {
  const std::size_t s1 = query.find(separator);
  const std::size_t s2 = FindFrom(query, separator, s1 == npos ? npos : s1 + 1);
  const std::size_t s3 = FindFrom(query, separator, s2 == npos ? npos : s2 + 1);
  QueryValues values;
  values.value[0] = AfterEquals(Before(query, s1), 0);
  values.value[1] = AfterEquals(Before(query, s2), s1);
  values.value[2] = AfterEquals(Before(query, s3), s2);
  values.value[3] = AfterEquals(query, s3);
  return values;
}

CameraQuery ReadCameraQuery(CameraRoute route, std::string_view query) {
  QueryValues values = SplitQueryValues(query, QuerySeparator(route));
  CameraQuery out;
  out.user = std::move(values.value[0]);
  if (route == CameraRoute::Wbmp) {
    out.password = AfterEquals(query, query.find('&'));
  } else if (route == CameraRoute::Status) {
    // Read as PNG reads it, the password of "user=U&pass=D", the page's whole query, would
    // be empty: it ends the query, so it runs to the query's end when no "&" follows.
    const std::size_t s1 = query.find('&');
    const bool last = s1 != npos && FindFrom(query, '&', s1 + 1) == npos;
    out.password = last ? std::string(AfterEquals(query, s1)) : std::move(values.value[1]);
  } else {
    out.password = std::move(values.value[1]);
  }
  if (IsSizedRoute(route)) {
    out.width = ParseDecimal(values.value[2]);
    out.height = ParseDecimal(values.value[3]);
  }
  // Named, after the positional values: where the layout reads them, they never count.
  if (route == CameraRoute::Jpeg || route == CameraRoute::Stream) {
    out.quality = NamedQueryNumber(query, "quality", false);
  }
  if (route == CameraRoute::Stream) out.fps = NamedQueryNumber(query, "fps", false);
  return out;
}

bool CheckCameraCredentials(CameraRoute route, const CameraQuery& query,
                            std::string_view cameraUser, std::string_view cameraDigest) {
  // No user or no password set means the camera is not shared yet, not shared with all.
  if (cameraUser.empty() || cameraDigest.empty()) return false;
  if (query.user != cameraUser) return false;
  if (TakesDigest(route)) {
    std::string upper = query.password;
    // ASCII only: a locale the front-end sets must not change what a digest matches.
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; });
    return upper == cameraDigest;
  }
  std::string digest;
  if (Md5Hex(query.password, digest) && digest == cameraDigest) return true;
  // The stored digest is of the password's windows-1252 bytes, while today's phones send
  // UTF-8; a password that is UTF-8 the code page can hold is tried in that form too.
  const std::string cp1252 = Utf8ToCp1252(query.password);
  return cp1252 != query.password && Cp1252ToUtf8(cp1252) == query.password &&
         Md5Hex(cp1252, digest) && digest == cameraDigest;
}

std::string MaskCameraPassword(std::string_view requestLine, std::string_view cameraDigest) {
  // The whole line is searched: a tab where the blank belongs puts the URL into the verb.
  std::vector<DecodedByte> text = DecodeUrlSpans(requestLine);
  // User information needs an "@"; without one the line stays as sent, and is not copied.
  std::string_view line = requestLine;
  std::string withoutUserInfo;
  if (std::any_of(text.begin(), text.end(), [](const DecodedByte& d) { return d.c == '@'; })) {
    withoutUserInfo = MaskUserInfoPassword(requestLine, text);
    // Decoded once unless the user information's password was hidden.
    if (withoutUserInfo != requestLine) {
      line = withoutUserInfo;
      text = DecodeUrlSpans(line);
    }
  }
  std::vector<RawSpan> hidden;
  hidden.reserve(8);  // a line hides a few spans: one allocation, not one per growth
  const auto hide = [&text, &hidden](std::size_t from, std::size_t to) {  // decoded indexes
    if (from < to) hidden.push_back({text[from].rawBegin, text[to - 1].rawEnd});
  };
  HideStoredDigest(text, cameraDigest, hidden);
  const auto find = [&text](char c, std::size_t from) {
    for (std::size_t i = from; i < text.size(); ++i) {
      if (text[i].c == c) return i;
    }
    return npos;
  };
  const std::size_t question = find('?', 0);
  if (question == npos) return ReplaceSpans(line, hidden);
  const RequestTarget target = FindRequestTarget(line);
  // The query ends before the version, unless it started after the target.
  const std::size_t rawQueryEnd = text[question].rawBegin < target.end ? target.end : line.size();
  std::size_t queryEnd = question + 1;
  while (queryEnd < text.size() && text[queryEnd].rawBegin < rawQueryEnd) ++queryEnd;

  // The route the parser finds: the path without user information, and only when it
  // reads the same path (no NUL cuts it short).
  CameraRoute route = CameraRoute::None;
  if (target.oneToken && text[question].rawBegin >= target.begin) {
    std::size_t from = 0;
    while (text[from].rawBegin < target.begin) ++from;
    const std::size_t at = find('@', from);
    std::string path;
    for (std::size_t i = at < question ? at + 1 : from; i < question; ++i) path += text[i].c;
    if (path.find('\0') == std::string::npos) route = FindCameraRoute(path, true);
  }
  if (!IsPictureRoute(route)) {
    HideSecretValues(text, question + 1, queryEnd, '&', cameraDigest, hidden);
    return ReplaceSpans(line, hidden);
  }
  const char separator = QuerySeparator(route);
  const auto nextSeparator = [&](std::size_t from) {
    while (from < queryEnd && !IsQuerySeparator(text[from], separator)) ++from;
    return from;
  };
  const std::size_t first = find(separator, question + 1);
  const bool separated = first < queryEnd && IsQuerySeparator(text[first], separator);
  const std::size_t second = separated ? nextSeparator(first + 1) : queryEnd;
  // The password's "=" must stand before the next separator: one taken from a later value
  // would show the text in between, which the route read as the password.
  const std::size_t equals = separated ? find('=', first + 1) : npos;
  if (equals < second) {
    hide(equals + 1, route == CameraRoute::Wbmp ? queryEnd : second);
    HideSecretValues(text, question + 1, queryEnd, separator, cameraDigest, hidden);
  } else {
    // Not in the layout of its route: which value the route took for a password cannot be
    // told, so no value is shown.
    hide(question + 1, queryEnd);
  }
  return ReplaceSpans(line, hidden);
}

void ServeCameraRoute(CHttpClient& client, CameraState& camera, CameraRoute route) {
  if (route == CameraRoute::PhoneGate) {
    RefuseCameraRequest(client, 401);
    return;
  }
  const CameraQuery query = ReadCameraQuery(route, client.Request().query);
  if (!CheckCameraCredentials(route, query, camera.m_sCameraUser, camera.m_sCameraPassword)) {
    RefuseCameraRequest(client, 401);
    return;
  }
  if (route == CameraRoute::Status) {
    ServeStatusPage(client, camera);
    return;
  }
  if (route == CameraRoute::Stream) {
    ServeCameraStream(client, camera, query);
    return;
  }
  ServeCameraPicture(client, camera, route, query);
}

void ServeCameraPicture(CHttpClient& client, CameraState& camera, CameraRoute route,
                        const CameraQuery& query) {
  // The stored frame is shared, not copied: a picture of it is made once per route, size
  // and quality, by the first request that asks, and every other request sends those bytes.
  const SharedCameraPicture shared = ShareCameraPicture(
      camera.m_LatestFrame, camera.m_PictureCache, route, query.width, query.height, query.quality);
  const CameraPicture& picture = *shared.picture;
  // Before the first frame the JPEG route still answers 200, with an empty body.
  if (route != CameraRoute::Jpeg && (!picture.hasPixels || !picture.bytes)) {
    RefuseCameraRequest(client, 400);
    return;
  }
  Response response;
  response.typeOf = CameraFileName(route);
  const std::string fields = CameraFields(shared.captured, camera.m_sCorsOrigin);
  response.expiresNow = true;
  response.routeFields = fields;
  response.bytes =
      std::string_view(reinterpret_cast<const char*>(picture.bytes.get()), picture.size);
  response.owner = shared.picture;
  response.bodyWithHead = true;
  client.Respond(std::move(response));
}

CameraSessionRoutes::CameraSessionRoutes(CameraState& camera) : camera_(camera) {}

bool CameraSessionRoutes::Serve(CHttpClient& session) {
  return ServeCameraRequest(session, camera_);
}

std::string CameraSessionRoutes::LoggedRequestLine(std::string_view requestLine) const {
  // A camera query carries the password or its digest, and URL user information a
  // password; none may reach the log file, whichever way the request went.
  return MaskCameraPassword(requestLine, camera_.m_sCameraPassword);
}

std::unique_ptr<CHttpClient> MakeCameraSession(const ResourceLibrary& resources,
                                               CameraState& camera) {
  return std::make_unique<CHttpClient>(resources, std::make_unique<CameraSessionRoutes>(camera));
}

bool ServeCameraRequest(CHttpClient& client, CameraState& camera) {
  const CameraRoute route = FindRequestRoute(client, camera.m_nPhoneSwitch != 0);
  if (route != CameraRoute::None) {
    ServeCameraRoute(client, camera, route);
    return true;
  }
  // After the specified routes and before the directories: a path ending in "/" is the
  // content folder's unless its query names one of the actions.
  return ServeCompatRoute(client, camera);
}

}  // namespace orbiscope
