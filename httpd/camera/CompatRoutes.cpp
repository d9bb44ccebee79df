#include "httpd/camera/CompatRoutes.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <vector>

#include "httpd/RequestFraming.h"
#include "httpd/camera/CameraRoutes.h"
#include "httpd/camera/CameraState.h"
#include "httpd/client/Base64.h"
#include "httpd/client/HttpClient.h"
#include "httpd/client/Md5Hex.h"
#include "httpd/client/RequestParser.h"
#include "httpd/client/UrlCodec.h"

namespace orbiscope {
namespace {

constexpr std::size_t npos = std::string_view::npos;

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

// RFC 7616 writes its digests in lower case.
std::string Md5Lower(std::string_view text) {
  std::string digest;
  if (!Md5Hex(text, digest)) return {};
  for (char& c : digest) c = Lower(c);
  return digest;
}

// The still encoded query of the request line's target ("" without one).
std::string_view RawQuery(const ClientRequest& request) {
  const std::string_view line = request.requestLine;
  const RequestTarget target = FindRequestTarget(line);
  const std::string_view raw = line.substr(target.begin, target.end - target.begin);
  const std::size_t question = raw.find('?');
  return question == npos ? std::string_view() : raw.substr(question + 1);
}

std::string_view RequestUri(const ClientRequest& request) {
  const RequestTarget target = FindRequestTarget(request.requestLine);
  return std::string_view(request.requestLine).substr(target.begin, target.end - target.begin);
}

// The parameters of a Digest answer: name=value or name="quoted value", comma-separated.
struct DigestParams {
  std::string username, realm, nonce, uri, response, qop, nc, cnonce, algorithm;
};

DigestParams ParseDigest(std::string_view text) {
  DigestParams out;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && (text[i] == ' ' || text[i] == ',' || text[i] == '\t')) ++i;
    const std::size_t nameStart = i;
    while (i < text.size() && text[i] != '=' && text[i] != ',') ++i;
    std::string_view name = text.substr(nameStart, i - nameStart);
    while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
    if (i >= text.size() || text[i] != '=') continue;
    ++i;
    while (i < text.size() && text[i] == ' ') ++i;
    std::string value;
    if (i < text.size() && text[i] == '"') {
      for (++i; i < text.size() && text[i] != '"'; ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) ++i;
        value += text[i];
      }
      ++i;
    } else {
      while (i < text.size() && text[i] != ',') value += text[i++];
      while (!value.empty() && value.back() == ' ') value.pop_back();
    }
    std::string* field = EqualsNoCase(name, "username")    ? &out.username
                         : EqualsNoCase(name, "realm")     ? &out.realm
                         : EqualsNoCase(name, "nonce")     ? &out.nonce
                         : EqualsNoCase(name, "uri")       ? &out.uri
                         : EqualsNoCase(name, "response")  ? &out.response
                         : EqualsNoCase(name, "qop")       ? &out.qop
                         : EqualsNoCase(name, "nc")        ? &out.nc
                         : EqualsNoCase(name, "cnonce")    ? &out.cnonce
                         : EqualsNoCase(name, "algorithm") ? &out.algorithm
                                                           : nullptr;
    if (field != nullptr) *field = std::move(value);
  }
  return out;
}

// A password, or the stored digest itself, against the stored digest. The digest, which
// pages send, is compared first: no MD5 is made for it.
bool PasswordMatches(std::string_view password, std::string_view storedDigest, bool digestToo) {
  if (digestToo && SameDigest(password, storedDigest)) return true;
  std::string digest;
  return Md5Hex(password, digest) && SameDigest(digest, storedDigest);
}

// Where the query entry from `start` ends: at its "&", "?" or blank, else at the end. A loop
// of its own, as the snapshot action looks up several names in every request's query.
std::size_t EntryEnd(std::string_view query, std::size_t start) {
  while (start < query.size() && query[start] != '&' && query[start] != '?' && query[start] != ' ')
    ++start;
  return start;
}

// Whether a query key is `name`, decoded first when `encoded`. A key with nothing to decode
// (no "%" and no NUL, where decoding stops) is compared as it stands.
bool KeyIs(std::string_view key, std::string_view name, bool encoded) {
  if (!encoded) return key == name;
  const bool plain = std::none_of(key.begin(), key.end(), [](char c) { return c == '%' || c == '\0'; });
  return plain ? key == name : DecodeUrl(key) == name;
}

// The values of several names, each as NamedQueryValue finds it (the first entry with that
// name and a value), in one pass: the snapshot action reads six names from every query.
template <std::size_t N>
std::array<std::string, N> NamedQueryValues(std::string_view query,
                                            const std::array<std::string_view, N>& names,
                                            bool encoded) {
  std::array<std::string, N> values;
  std::array<bool, N> found {};
  std::size_t left = N;
  for (std::size_t start = 0; start <= query.size() && left > 0;) {
    const std::size_t end = EntryEnd(query, start);
    const std::string_view entry = query.substr(start, end - start);
    const std::size_t equals = entry.find('=');
    if (equals != npos && equals + 1 < entry.size()) {
      const std::string_view key = entry.substr(0, equals);
      const std::string_view value = entry.substr(equals + 1);
      for (std::size_t k = 0; k < N; ++k) {
        if (found[k] || !KeyIs(key, names[k], encoded)) continue;
        values[k] = encoded ? DecodeUrl(value) : std::string(value);
        found[k] = true;
        --left;
      }
    }
    start = end + 1;
  }
  return values;
}

bool DigestMatches(const ClientRequest& request, std::string_view header,
                   const CameraState& camera, std::chrono::system_clock::time_point now,
                   bool& stale) {
  const DigestParams p = ParseDigest(header);
  if (p.username != camera.m_sCameraUser || p.realm != kCameraRealm ||
      p.qop != "auth" || p.nc.empty() || p.cnonce.empty() ||
      !(p.algorithm.empty() || EqualsNoCase(p.algorithm, "MD5")) || p.uri != RequestUri(request)) {
    return false;
  }
  bool expired = false;
  if (!CheckNonce(p.nonce, camera.m_sNonceKey, now, expired)) return false;
  // Only the password's digest is stored, so the secret both sides share is that digest.
  const std::string ha1 =
      Md5Lower(camera.m_sCameraUser + ":" + std::string(kCameraRealm) + ":" + camera.m_sCameraPassword);
  const std::string ha2 = Md5Lower(request.verbText + ":" + p.uri);
  const std::string expected =
      Md5Lower(ha1 + ":" + p.nonce + ":" + p.nc + ":" + p.cnonce + ":" + p.qop + ":" + ha2);
  if (!SameDigest(p.response, expected)) return false;
  if (expired) {
    stale = true;
    return false;
  }
  return true;
}

}  // namespace

std::string NamedQueryValue(std::string_view query, std::string_view name, bool encoded) {
  return std::move(NamedQueryValues<1>(query, {name}, encoded)[0]);
}

int NamedQueryNumber(std::string_view query, std::string_view name, bool encoded) {
  return ParseDecimal(NamedQueryValue(query, name, encoded));
}

CompatAction FindCompatAction(std::string_view path, std::string_view rawQuery) {
  if (path.empty() || path.back() != '/') return CompatAction::None;
  const std::string action = NamedQueryValue(rawQuery, "action", true);
  if (action == "snapshot") return CompatAction::Snapshot;
  if (action == "stream") return CompatAction::Stream;
  return CompatAction::None;
}

bool SameDigest(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char difference = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    difference |= static_cast<unsigned char>(Lower(a[i]) ^ Lower(b[i]));
  }
  return difference == 0;
}

std::string MakeNonce(std::chrono::system_clock::time_point now, std::string_view key) {
  const long long seconds =
      std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
  char time[24];
  std::snprintf(time, sizeof time, "%llx", seconds);
  return std::string(time) + "." + Md5Lower(std::string(time) + ":" + std::string(key));
}

bool CheckNonce(std::string_view nonce, std::string_view key,
                std::chrono::system_clock::time_point now, bool& stale) {
  stale = false;
  const std::size_t dot = nonce.find('.');
  if (dot == npos || dot == 0 || dot > 16) return false;
  const std::string time(nonce.substr(0, dot));
  if (!SameDigest(nonce.substr(dot + 1), Md5Lower(time + ":" + std::string(key)))) return false;
  long long seconds = 0;
  for (char c : time) {
    const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (digit < 0) return false;
    seconds = seconds * 16 + digit;
  }
  const auto made = std::chrono::system_clock::time_point(std::chrono::seconds(seconds));
  stale = now - made > kNonceLifetime || made > now + std::chrono::seconds(5);
  return true;
}

bool CheckCompatCredentials(const ClientRequest& request, std::string_view rawQuery,
                            const CameraState& camera, std::chrono::system_clock::time_point now,
                            bool& stale) {
  stale = false;
  // Checked here whatever the other checks say: an empty stored user or password is a
  // camera nobody has set up, never an open one.
  const std::string& user = camera.m_sCameraUser;
  const std::string& stored = camera.m_sCameraPassword;
  if (user.empty() || stored.empty()) return false;

  const auto header = request.headers.find("AUTHORIZATION");
  if (header != request.headers.end()) {
    std::string_view value = header->second;
    while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
    const std::size_t blank = value.find(' ');
    const std::string_view scheme = value.substr(0, blank);
    const std::string_view rest = blank == npos ? std::string_view() : value.substr(blank + 1);
    if (EqualsNoCase(scheme, "Basic")) {
      std::string decoded = DecodeBase64(rest);
      const std::size_t colon = decoded.find(':');
      if (colon != std::string::npos && decoded.compare(0, colon, user) == 0 &&
          PasswordMatches(std::string_view(decoded).substr(colon + 1), stored, false)) {
        return true;
      }
    } else if (EqualsNoCase(scheme, "Digest") && camera.m_bDigestAuth &&
               DigestMatches(request, rest, camera, now, stale)) {
      return true;
    }
  }
  // URL user information ("user:pass@"): the parser took it out of the path.
  if (header == request.headers.end() && request.authScheme == AuthScheme::Basic &&
      request.userName == user && PasswordMatches(request.password, stored, false)) {
    return true;
  }
  const auto [namedUser, namedPass] = NamedQueryValues<2>(rawQuery, {"user", "pass"}, true);
  return namedUser == user && PasswordMatches(namedPass, stored, true);
}

std::string CompatChallenge(const CameraState& camera, std::chrono::system_clock::time_point now,
                            bool stale) {
  std::string out = "WWW-Authenticate: Basic realm=\"" + std::string(kCameraRealm) + "\"\r\n";
  if (camera.m_bDigestAuth) {
    out += "WWW-Authenticate: Digest realm=\"" + std::string(kCameraRealm) +
           "\", qop=\"auth\", algorithm=MD5, nonce=\"" + MakeNonce(now, camera.m_sNonceKey) + "\"";
    if (stale) out += ", stale=true";
    out += "\r\n";
  }
  return out;
}

bool ServeCompatRoute(CHttpClient& client, CameraState& camera) {
  const std::string_view rawQuery = RawQuery(client.Request());
  const CompatAction action = FindCompatAction(client.Request().url, rawQuery);
  if (action == CompatAction::None) return false;
  const auto now = std::chrono::system_clock::now();
  bool stale = false;
  if (!camera.m_bOpenCamera &&
      !CheckCompatCredentials(client.Request(), rawQuery, camera, now, stale)) {
    RefuseCameraRequest(client, 401,
                        CompatChallenge(camera, now, stale) +
                            CameraFields({}, camera.m_sCorsOrigin));
    return true;
  }
  CameraQuery query;
  const auto [w, h, quality, fps] = NamedQueryValues<4>(rawQuery, {"w", "h", "quality", "fps"}, true);
  query.width = ParseDecimal(w);
  query.height = ParseDecimal(h);
  query.quality = ParseDecimal(quality);
  query.fps = ParseDecimal(fps);
  if (action == CompatAction::Stream) {
    ServeCameraStream(client, camera, query);
    return true;
  }
  // Unlike the JPEG route, an empty picture is no answer a client here could tell from a
  // broken camera: before the first frame the snapshot is unavailable.
  if (camera.m_LatestFrame.Generation() == 0) {
    RefuseCameraRequest(client, 503);
    return true;
  }
  ServeCameraPicture(client, camera, CameraRoute::Jpeg, query);
  return true;
}

}  // namespace orbiscope
