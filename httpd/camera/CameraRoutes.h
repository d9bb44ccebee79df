#pragma once
// The camera routes: which paths are pictures, the positional values of their queries, the
// credential check and the access-log form of their request lines, all worked out on texts
// so they can be tried without a socket; CameraPicture.h makes the pictures, and the
// session routes at the end put the two on a connection.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "httpd/client/HttpClient.h"

namespace orbiscope {

struct CameraState;

// The routes in the order the decoded path is compared with them.
enum class CameraRoute : int {
  None = 0,       // not a camera path: the directories serve it
  PhoneGate = 1,  // "/index.wml" while phones are switched off: refused
  Jpeg = 2,       // "/image " (sent as /image%20)
  Gif = 3,        // "/image.xhtml" and "/image.chtml"
  Wbmp = 4,       // "/image.wml"
  Png = 5,        // "/image.png"
  Stream = 6,     // "/stream.mjpg": the live JPEG stream
  Status = 7,     // "/status.json": the status page, credentials as for PNG
};

// The route of a decoded path (no query); exact, case-sensitive comparisons.
CameraRoute FindCameraRoute(std::string_view path, bool phoneSwitch);

// The route of the client's current request: FindCameraRoute on its decoded path, and the
// phone gate too for any path the directories would answer with the file "/index.wml" is
// ("//index.wml", "/./index.wml", "/index.wml/", another alias of its folder), while phones
// are switched off.
CameraRoute FindRequestRoute(CHttpClient& client, bool phoneSwitch);

// The separator between a route's query values: a blank for JPEG, "&" for the others.
char QuerySeparator(CameraRoute route);

// The four positional values of a query: only the separators and the first "=" after each
// count, never the key names. A value whose closing separator is missing is empty.
struct QueryValues {
  std::string value[4];
};
QueryValues SplitQueryValues(std::string_view query, char separator);

// What a camera request asks for.
struct CameraQuery {
  std::string user;
  std::string password;  // the digest (JPEG, PNG) or the plain password (GIF, WBMP)
  int width = 0;         // JPEG and PNG only; read like atoi
  int height = 0;
  int quality = 0;       // the named value "quality" (JPEG and the stream); 0 when absent
  int fps = 0;           // the named value "fps" (the stream); 0 when absent
};
// The values of `query` as `route` reads them; the WBMP password is the rest of the query,
// and so is the status page's when no third value follows it.
CameraQuery ReadCameraQuery(CameraRoute route, std::string_view query);

// True when the query's user equals `cameraUser` and its password matches `cameraDigest`
// (32 upper-case hexadecimal digits): upper-cased for JPEG, PNG and the status page,
// digested for GIF and WBMP. Always false while no user or no digest is set.
bool CheckCameraCredentials(CameraRoute route, const CameraQuery& query,
                            std::string_view cameraUser, std::string_view cameraDigest);

// The request line as the access log writes it, decided by what the line carries rather
// than by where the request went; `cameraDigest` is the stored camera password digest.
// Becomes "*": the password of URL user information; the digest wherever it stands, in any
// letter case and spelling; on a line the parser gives a picture route, the text from the
// first "=" after the query's first separator up to the next separator (the rest of the
// query for WBMP), and the whole query when the line is not in its route's layout (the
// separators written as the pages write them: JPEG's blank encoded, the others' "&" as
// such, and that "=" before the next separator). In every other query only the values that
// could be a secret: of a key named like one, equal to the camera password, or holding an
// "=" of their own; the rest is kept as sent.
std::string MaskCameraPassword(std::string_view requestLine, std::string_view cameraDigest);

// Refuses the client's current request with status page `code`, `fields` (header lines) at
// the end of its head: no keep-alive promised, and the connection ends after it.
void RefuseCameraRequest(CHttpClient& client, int code, std::string_view fields = {});

// Answers a GET, POST or HEAD on `route` (not None) for the client's current request from
// `camera`: the gate, the credentials, the picture. A refusal ends the connection.
void ServeCameraRoute(CHttpClient& client, CameraState& camera, CameraRoute route);

// Sends the picture of `route` (Jpeg, Png, Gif or Wbmp) for `query` once the credentials
// passed, from the picture cache, with the frame's capture time.
void ServeCameraPicture(CHttpClient& client, CameraState& camera, CameraRoute route,
                        const CameraQuery& query);

// Answers the client's current request when its path is a camera route, the specified
// ones first and then the compatibility routes; false leaves it to the directories.
bool ServeCameraRequest(CHttpClient& client, CameraState& camera);

// The camera routes as a session serves them, before its directories; their access-log
// lines carry the module name "MyHttpClient" and never a camera password.
class CameraSessionRoutes final : public SessionRoutes {
public:
  // `camera` must outlive the server whose sessions use the routes.
  explicit CameraSessionRoutes(CameraState& camera);

  bool Serve(CHttpClient& session) override;
  std::string LoggedRequestLine(std::string_view requestLine) const override;
  std::string_view LogModule() const override { return "MyHttpClient"; }

private:
  CameraState& camera_;
};

// The program's session: the generic one with the camera routes.
std::unique_ptr<CHttpClient> MakeCameraSession(const ResourceLibrary& resources,
                                               CameraState& camera);

}  // namespace orbiscope
