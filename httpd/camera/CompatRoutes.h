#pragma once
// The routes the programs people point at a webcam server ask for: a path ending in "/"
// (any prefix) whose query names `action=snapshot` (the latest frame as JPEG) or
// `action=stream` (the live stream). Their queries are read by name, never by position,
// because those programs add cache-busters of their own anywhere; their credentials come
// as HTTP Basic (header or URL user information), as Digest where enabled, or as the named
// values `user` and `pass`.

#include <chrono>
#include <string>
#include <string_view>

namespace orbiscope {

class CHttpClient;
struct CameraState;
struct ClientRequest;

// The realm of the compatibility routes' challenges.
inline constexpr std::string_view kCameraRealm = "Orbiscope camera";
// How long a Digest nonce stays good.
inline constexpr std::chrono::seconds kNonceLifetime {300};

// The first non-empty value of `name` in `query`, whose values are separated by "&", "?"
// or a blank; percent-decoded when `encoded`. Names are exact; an entry without "=" (a
// bare cache-buster number) has no value.
std::string NamedQueryValue(std::string_view query, std::string_view name, bool encoded);
// The same read as a decimal number (0 when absent or not a number).
int NamedQueryNumber(std::string_view query, std::string_view name, bool encoded);

enum class CompatAction { None, Snapshot, Stream };
// The action of decoded path `path` with the still encoded query `rawQuery`.
CompatAction FindCompatAction(std::string_view path, std::string_view rawQuery);

// Equal texts, letters compared without regard to case, in a time that depends only on
// the lengths: how digests are compared.
bool SameDigest(std::string_view a, std::string_view b);

// The Digest nonce for `now`: its time and that time signed with `key`.
std::string MakeNonce(std::chrono::system_clock::time_point now, std::string_view key);
// Whether `nonce` was made with `key`; `stale` tells a signed one that has expired.
bool CheckNonce(std::string_view nonce, std::string_view key,
                std::chrono::system_clock::time_point now, bool& stale);

// Whether the request may have the compatibility route's picture. Nobody is let in while
// the stored user or password is empty. `stale` is set when the only credential was a
// Digest answer to an expired nonce.
bool CheckCompatCredentials(const ClientRequest& request, std::string_view rawQuery,
                            const CameraState& camera,
                            std::chrono::system_clock::time_point now, bool& stale);

// The challenge lines of a refusal: Basic, and Digest when enabled.
std::string CompatChallenge(const CameraState& camera, std::chrono::system_clock::time_point now,
                            bool stale);

// Answers the client's current request when it is a compatibility route: true then.
bool ServeCompatRoute(CHttpClient& client, CameraState& camera);

}  // namespace orbiscope
