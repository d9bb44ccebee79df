#include "httpd/HttpDirectory.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "httpd/HttpResponseHeader.h"
#include "httpd/HttpServer.h"
#include "httpd/HttpServerSettings.h"
#include "httpd/client/HtmlText.h"
#include "httpd/client/HttpClient.h"
#include "httpd/client/UrlCodec.h"
#include "resources/ResourceIds.h"
#include "resources/ResourceLibrary.h"

namespace orbiscope {
namespace {

// Closes a descriptor when the scope ends.
struct FileCloser {
  int fd;
  ~FileCloser() {
    if (fd >= 0) ::close(fd);
  }
};

struct ListingEntry {
  std::string name;
  unsigned long long size = 0;
  std::time_t modified = 0;
};

std::string ReplaceAll(std::string text, std::string_view from, std::string_view to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// The date and the time of the C locale ("%x" and "%X"), whatever locale the process runs in.
std::string FormatLocal(std::time_t t, bool date) {
  std::tm local {};
  ::localtime_r(&t, &local);
  char text[21];  // the listing keeps each to 20 characters
  if (date) {
    std::snprintf(text, sizeof text, "%02d/%02d/%02d", local.tm_mon + 1, local.tm_mday,
                  local.tm_year % 100);
  } else {
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
  }
  return text;
}

}  // namespace

CHttpDirectory::~CHttpDirectory() = default;

void CHttpDirectory::SetAlias(std::string_view alias) {
  // A configured "/cam/" must match like "/cam": the lookup works on backslashes only.
  std::string text(alias);
  std::replace(text.begin(), text.end(), '/', '\\');
  if (text.empty() || text.front() != '\\') text.insert(text.begin(), '\\');
  if (text.size() > 1 && text.back() != '\\') text += '\\';
  alias_ = std::move(text);
}

void CHttpDirectory::Configure(const HttpDirectorySettings& settings) {
  SetAlias(settings.m_sAlias);
  directory_ = settings.m_sDirectory;
  defaultFile_ = settings.m_sDefaultFile;
  listing_ = settings.m_bDirectoryListing;
  script_ = settings.m_bScript;
  writable_ = settings.m_bWritable;
  userName_ = settings.m_sUsername;
  password_ = settings.m_sPassword;
  realm_ = settings.m_sRealm;
}

void CHttpDirectory::HandleClient(CHttpClient& client, bool isDirectory) const {
  if (!HandleDirectoryAuthorization(client)) return;
  if (script_) {
    client.ReportError(
        "CHttpDirectory::HandleDirectoryAuthorization, Directory is a script directory but "
        "ISAPI and / or CGI is not supported in this configuration, All requests for this "
        "directory will fail!!, " + alias_);
    client.ReturnErrorMessage(500);
    return;
  }
  if (isDirectory) {
    TransmitDirectory(client);
  } else {
    TransmitFile(client);
  }
}

bool CHttpDirectory::HandleDirectoryAuthorization(CHttpClient& client) const {
  if (userName_.empty()) return true;
  const ClientRequest& request = client.Request();
  if (request.userName == userName_ && request.password == password_) return true;
  const CHttpServerSettings& settings = client.Settings();
  if (settings.m_bAllowBasicAuthentication || settings.m_bAllowNTLMAuthentication) {
    client.SendChallenge(ChallengeRealm());
    return false;
  }
  client.ReportError(
      "CHttpDirectory::HandleDirectoryAuthorization, Directory is protected but all "
      "authentication mechanisms are disabled, All requests for this directory will fail!!, " +
      alias_);
  client.ReturnErrorMessage(500);
  return false;
}

void CHttpDirectory::TransmitFile(CHttpClient& client) const {
  const ClientRequest& request = client.Request();
  const CHttpServerSettings& settings = client.Settings();

  // Non-blocking so that a FIFO in the folder cannot hold the worker at open.
  FileCloser file {::open(request.localFile.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)};
  const int openError = errno;
  struct stat info {};
  if (file.fd < 0 || ::fstat(file.fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    // Linux opens folders for reading; a folder (or any non-file) reached as a file is a 404.
    bool folder = file.fd >= 0;
    if (!folder && openError == EACCES &&
        (settings.m_bAllowBasicAuthentication || settings.m_bAllowNTLMAuthentication)) {
      client.SendChallenge(request.url);
    } else {
      client.ReturnErrorMessage(404);
    }
    return;
  }
  ::posix_fadvise(file.fd, 0, 0, POSIX_FADV_SEQUENTIAL);

  // Whole seconds; a time in the future is taken as now.
  std::time_t now = std::time(nullptr);
  std::time_t modified = std::min<std::time_t>(info.st_mtim.tv_sec, now);
  HttpTime fileTime = HttpTimeFromTimeT(modified);
  HttpTime nowTime = HttpTimeFromTimeT(now);

  Response response;
  response.date = nowTime;
  if (settings.m_bAutoExpire) response.expires = fileTime;
  response.lastModified = fileTime;
  if (request.verb == HttpVerb::Get && request.ifModifiedSincePresent) {
    std::time_t since = TimeTFromHttpTime(request.ifModifiedSince);
    if (since != static_cast<std::time_t>(-1) && modified <= since) {
      response.code = 304;
      response.head = Response::Head::Always;
      response.type = "text/html";
      client.Respond(std::move(response));
      return;
    }
  }

  response.typeOf = request.localFile;
  response.file = file.fd;
  response.fileSize = static_cast<std::uint64_t>(info.st_size);
  response.headlessFailure = "CHttpDirectory::TransmitFile, Failed to send to socket, Error:";
  client.Respond(std::move(response));
}

void CHttpDirectory::TransmitDirectory(CHttpClient& client) const {
  const ClientRequest& request = client.Request();

  DIR* folder = ::opendir(request.localFile.c_str());
  if (folder == nullptr) {
    // The error page writes the one access-log line of this answer.
    client.ReturnErrorMessage(500);
    return;
  }
  std::vector<ListingEntry> entries;
  std::string base = request.localFile;
  if (!base.empty() && base.back() != '/') base += '/';
  while (dirent* entry = ::readdir(folder)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat info {};
    std::string path = base + name;
    if (::stat(path.c_str(), &info) != 0 && ::lstat(path.c_str(), &info) != 0) continue;
    ListingEntry item;
    item.name = std::move(name);
    item.size = S_ISDIR(info.st_mode) ? 0 : static_cast<unsigned long long>(info.st_size);
    item.modified = info.st_mtim.tv_sec;
    entries.push_back(std::move(item));
  }
  ::closedir(folder);
  // The folder's own order is arbitrary; a listing reads best by name.
  std::sort(entries.begin(), entries.end(),
            [](const ListingEntry& a, const ListingEntry& b) { return a.name < b.name; });

  std::string urlBase = request.url;
  if (urlBase.empty() || (urlBase.back() != '/' && urlBase.back() != '\\')) urlBase += '/';
  // The link is percent-encoded whole, so neither the URL nor a name can leave the attribute.
  const std::string hrefBase = EncodePath(urlBase);

  std::string page = client.Resources().String(res::kStrListingHead);
  page += "<table>\r\n";
  std::time_t newest = 0;
  bool any = false;
  for (const ListingEntry& entry : entries) {
    any = true;
    newest = std::max(newest, entry.modified);
    const unsigned long long kb = (entry.size + 1023) / 1024;
    page += "<tr>\r\n<td><a href=" + hrefBase + EncodeUrl(entry.name) + ">" +
            HtmlEscape(entry.name) + "</a></td><td>" +
            std::to_string(static_cast<std::int32_t>(kb)) + "KB</td><td>" +
            FormatLocal(entry.modified, true) + "</td><td>" + FormatLocal(entry.modified, false) +
            "</td>\r\n</tr>";
  }
  page += "</table>\r\n";
  page += client.Resources().String(res::kStrListingTail);
  page = ReplaceAll(std::move(page), "%1", HtmlEscape(request.url));

  Response response;
  response.head = Response::Head::Always;
  if (any) response.fields.AddLastModified(HttpTimeFromTimeT(newest));
  response.type = "text/html";
  response.bytes = page;
  client.Respond(std::move(response));
}

}  // namespace orbiscope
