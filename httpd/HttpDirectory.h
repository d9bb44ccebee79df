#pragma once
// A virtual directory: a URL alias mapped onto a folder, with its per-directory rules.

#include <string>
#include <string_view>

namespace orbiscope {

class CHttpClient;
struct HttpDirectorySettings;

class CHttpDirectory {
public:
  CHttpDirectory() = default;
  virtual ~CHttpDirectory();

  // Answers a request the path resolver mapped here: authorization first, then the
  // listing (`isDirectory`) or the file.
  virtual void HandleClient(CHttpClient& client, bool isDirectory) const;
  // The listing page of the request's local folder.
  virtual void TransmitDirectory(CHttpClient& client) const;
  // The request's local file, a 304, or the error that prevents either.
  virtual void TransmitFile(CHttpClient& client) const;
  // True when the request may proceed; otherwise the 401 or 500 has been sent.
  virtual bool HandleDirectoryAuthorization(CHttpClient& client) const;

  // Takes every rule of a configured directory (the alias normalised by SetAlias).
  void Configure(const HttpDirectorySettings& settings);

  // Normalises a configured alias: slashes become backslashes, the alias starts with "\"
  // and, when longer than that, ends with "\" ("/", "cam", "/cam" and "/cam/" give "\",
  // "\cam\", "\cam\" and "\cam\").
  void SetAlias(std::string_view alias);
  std::string GetAlias() const { return alias_; }
  // The physical folder the alias maps onto.
  void SetDirectory(std::string directory) { directory_ = std::move(directory); }
  std::string GetDirectory() const { return directory_; }
  // The file served when the URL names the alias itself and listing is off.
  void SetDefaultFile(std::string file) { defaultFile_ = std::move(file); }
  std::string GetDefaultFile() const { return defaultFile_; }

  // Whether folders are answered with a listing page.
  void SetDirectoryListing(bool on) { listing_ = on; }
  bool GetDirectoryListing() const { return listing_; }
  // Whether the folder holds scripts (never served: no script support).
  void SetScript(bool on) { script_ = on; }
  bool GetScript() const { return script_; }
  // Whether DELETE may remove files here.
  void SetWritable(bool on) { writable_ = on; }
  bool GetWritable() const { return writable_; }
  // Credentials protecting the directory; an empty user name leaves it open.
  void SetUserName(std::string name) { userName_ = std::move(name); }
  const std::string& GetUserName() const { return userName_; }
  void SetPassword(std::string password) { password_ = std::move(password); }
  const std::string& GetPassword() const { return password_; }
  // The realm of the challenge; the alias is used when it is empty.
  void SetRealm(std::string realm) { realm_ = std::move(realm); }
  const std::string& GetRealm() const { return realm_; }
  // The realm its challenges name: the realm, or the alias when there is none.
  const std::string& ChallengeRealm() const { return realm_.empty() ? alias_ : realm_; }

private:
  std::string alias_ = "\\";
  std::string directory_;
  std::string defaultFile_;
  bool listing_ = false;
  bool script_ = false;
  bool writable_ = false;
  std::string userName_;
  std::string password_;
  std::string realm_;
};

}  // namespace orbiscope
