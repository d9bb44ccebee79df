#include "httpd/camera/CameraRoutes.h"

#include <algorithm>
#include <vector>

#include "config/Codepage.h"
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

// A refused camera request: no keep-alive promised, and the connection ends after it.
void Refuse(CHttpClient& client, int code) {
  client.m_bResponseKeepAlive = false;
  client.ReturnErrorMessage(code);
}

}  // namespace

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

std::string MaskCameraPassword(std::string_view requestLine) {
  std::string line(requestLine);
  // The whole line is searched: a tab where the blank belongs puts the URL into the verb.
  const std::vector<DecodedByte> text = DecodeUrlSpans(requestLine);
  auto find = [&text](char c, std::size_t from) {
    for (std::size_t i = from; i < text.size(); ++i) {
      if (text[i].c == c) return i;
    }
    return npos;
  };
  const std::size_t question = find('?', 0);
  if (question == npos) return line;
  const RequestTarget target = FindRequestTarget(requestLine);
  // The query ends before the version, unless it started after the target.
  const std::size_t queryEnd = text[question].rawBegin < target.end ? target.end : line.size();
  const auto mask = [&line](std::size_t rawFrom, std::size_t rawTo) {
    if (rawFrom < rawTo) line.replace(rawFrom, rawTo - rawFrom, 1, '*');
  };

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
  if (IsPictureRoute(route)) {
    // The route's separator as its pages write it: an encoded blank (the only kind a URL
    // holds) or an "&" written as such; an encoded "&" is a character of some value.
    const char separator = QuerySeparator(route);
    const auto isSeparator = [&](std::size_t i) {
      return text[i].c == separator &&
             (separator == ' ' || text[i].rawEnd - text[i].rawBegin == 1);
    };
    const std::size_t first = find(separator, question + 1);
    const std::size_t equals =
        first == npos || !isSeparator(first) ? npos : find('=', first + 1);
    if (equals != npos && text[equals].rawEnd <= queryEnd) {
      std::size_t next = equals + 1;
      while (next < text.size() && text[next].rawBegin < queryEnd &&
             (route == CameraRoute::Wbmp || !isSeparator(next))) {
        ++next;
      }
      const std::size_t end = next < text.size() ? text[next].rawBegin : queryEnd;
      mask(text[equals].rawEnd, std::min(end, queryEnd));
      return line;
    }
  }
  // Read by no route, or not in the layout of its route: which value is a password cannot
  // be told, so no value is shown.
  mask(text[question].rawEnd, queryEnd);
  return line;
}

void ServeCameraRoute(CHttpClient& client, CameraState& camera, CameraRoute route) {
  if (route == CameraRoute::PhoneGate) {
    Refuse(client, 401);
    return;
  }
  const CameraQuery query = ReadCameraQuery(route, client.m_Request.query);
  if (!CheckCameraCredentials(route, query, camera.m_sCameraUser, camera.m_sCameraPassword)) {
    Refuse(client, 401);
    return;
  }
  if (route == CameraRoute::Status) {
    client.AddNextResponseFields(CameraFields({}, camera.m_sCorsOrigin));
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
  const SharedFrame frame = camera.m_LatestFrame.Share();
  if (route == CameraRoute::Jpeg) client.m_Request.localFile = CameraFileName(route);
  const std::shared_ptr<const CameraPicture> shared = camera.m_PictureCache.Get(
      CameraPictureKey(route, frame, query.width, query.height, query.quality), frame.generation,
      [&](const PictureKey&) {
        return EncodeCameraPicture(route, frame, query.width, query.height, query.quality);
      });
  const CameraPicture& picture = *shared;
  const std::string fields =
      CameraFields(frame.generation == 0 ? std::chrono::system_clock::time_point() : frame.captured,
                   camera.m_sCorsOrigin);
  if (route == CameraRoute::Jpeg) {
    // Before the first frame the JPEG route still answers 200, with an empty body.
    client.AddNextResponseFields(fields);
    client.ShareNextBody(shared);
    client.TransmitBuffer(picture.bytes.get(), picture.size, false, true);
    return;
  }
  if (!picture.hasPixels || !picture.bytes) {
    Refuse(client, 400);
    return;
  }
  client.m_Request.localFile = CameraFileName(route);
  client.AddNextResponseFields(fields);
  client.ShareNextBody(shared);
  client.TransmitBuffer(picture.bytes.get(), picture.size, false, true);
}

bool ServeCameraRequest(CHttpClient& client, CameraState& camera) {
  const CameraRoute route = FindCameraRoute(client.m_Request.url, camera.m_nPhoneSwitch != 0);
  if (route != CameraRoute::None) {
    ServeCameraRoute(client, camera, route);
    return true;
  }
  // After the specified routes and before the directories: a path ending in "/" is the
  // content folder's unless its query names one of the actions.
  return ServeCompatRoute(client, camera);
}

}  // namespace orbiscope
