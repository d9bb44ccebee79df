// libFuzzer target over everything a client's bytes reach before a file is opened: the
// request framing and head parser, the URL and Base64 codecs, the date reader, the path
// resolver and the access log's masks. Besides crashes and sanitizer findings it checks
// the properties the server relies on: framing does not depend on how the bytes are
// split, a request handed over has one sure body length, encoding round-trips, and a
// resolved path never leaves its folder.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "httpd/HttpResponseHeader.h"
#include "httpd/RequestFraming.h"
#include "httpd/camera/CameraRoutes.h"
#include "httpd/client/Base64.h"
#include "httpd/client/PathResolver.h"
#include "httpd/client/RequestParser.h"
#include "httpd/client/UrlCodec.h"

namespace {

namespace fs = std::filesystem;
using namespace orbiscope;

void CheckAt(bool condition, int line) {
  if (!condition) {
    std::fprintf(stderr, "property broken at line %d\n", line);
    std::abort();
  }
}
#define Check(condition) CheckAt((condition), __LINE__)

struct Folder {
  Folder() {
    std::string tmpl = (fs::temp_directory_path() / "orbiscope-fuzz-XXXXXX").string();
    Check(::mkdtemp(tmpl.data()) != nullptr);
    root = tmpl;
    fs::create_directories(root / "cam" / "sub");
    fs::create_symlink("/etc", root / "etc-link");
    auto add = [this](const char* alias, const fs::path& folder, bool listing) {
      auto d = std::make_unique<CHttpDirectory>();
      d->SetAlias(alias);
      d->SetDirectory(folder.string());
      d->SetDefaultFile("index.html");
      d->SetDirectoryListing(listing);
      dirs.push_back(std::move(d));
    };
    add("/", root, true);
    add("/cam/", root / "cam", false);
  }
  fs::path root;
  std::vector<std::unique_ptr<CHttpDirectory>> dirs;
};

std::vector<std::string> Frame(std::string_view first, std::string_view second, FrameState& last) {
  RequestAssembler assembler(64);
  std::vector<std::string> out;
  for (std::string_view piece : {first, second}) {
    last = assembler.Feed(piece);
    while (last == FrameState::Complete) {
      out.push_back(assembler.TakeRequest());
      last = assembler.State();
    }
    if (last != FrameState::Incomplete) break;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Folder folder;
  std::string_view text(reinterpret_cast<const char*>(data), size);

  // Framing: one piece or two must give the same requests.
  FrameState wholeState, splitState;
  std::vector<std::string> whole = Frame(text, {}, wholeState);
  std::size_t cut = size == 0 ? 0 : data[0] % (size + 1);
  std::vector<std::string> split = Frame(text.substr(0, cut), text.substr(cut), splitState);
  Check(whole == split && wholeState == splitState);

  for (const std::string& raw : whole) {
    Check(raw.size() <= kMaxRequestBytes);
    ClientRequest request;
    request.raw = raw;
    ParsePolicy policy;
    if (ParseHead(request, policy)) {
      Check(request.url.find('\0') == std::string::npos);
      // What was handed over has one sure length: no transfer coding, and a body that is
      // exactly the announced length.
      Check(request.headers.count("TRANSFER-ENCODING") == 0);
      Check(request.Body().size() == static_cast<std::size_t>(request.contentLength));
      if (const std::optional<ResolvedPath> resolved = ResolvePath(folder.dirs, request.url)) {
        const std::string& local = resolved->localFile;
        std::string normal = fs::path(local).lexically_normal().string();
        std::string root = folder.root.string();
        Check(normal.compare(0, root.size(), root) == 0);
        Check(IsInsideFolder(root, local));
        Check(resolved->directory != nullptr);
      }
    }
  }

  // Codecs on the raw bytes.
  std::string decoded = DecodeUrl(text);
  Check(decoded.size() <= size && decoded.find('\0') == std::string::npos);
  std::string plain(text.substr(0, std::min(text.find('\0'), text.size())));
  Check(DecodeUrl(EncodeUrl(plain)) == plain);
  Check(DecodeBase64(text).size() <= size);
  HttpTime time;
  ParseHttpDate(text, time);
  // The access log's masks read whatever a client sends; they only ever shorten it.
  Check(MaskCameraPassword(text, "0123456789ABCDEF0123456789ABCDEF").size() <= size);
  return 0;
}
