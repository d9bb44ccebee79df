#include "dialogs/ServerPage.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "config/Codepage.h"
#include "httpd/client/Md5Hex.h"

namespace orbiscope {
namespace {

namespace fs = std::filesystem;

constexpr const char* kSection = "SERVER";
constexpr const char* kModule = "DlgOpcionServer";
constexpr const char* kInitFunction = "CDlgOpcionServer::OnInitDialog";
constexpr const char* kMoveFunction = "CDlgOpcionServer::MoveTo";
constexpr int kMinPasswordLength = 8;

// True when `inner` is `outer` or lies below it.
bool IsWithin(const fs::path& inner, const fs::path& outer) {
  auto i = inner.begin();
  for (auto o = outer.begin(); o != outer.end(); ++o, ++i) {
    if (o->empty() && std::next(o) == outer.end()) break;  // a trailing separator
    if (i == inner.end() || *i != *o) return false;
  }
  return true;
}

}  // namespace

std::vector<std::string> LocalIPv4Addresses() {
  std::vector<std::string> others;
  std::vector<std::string> loopback;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return others;
  for (const ifaddrs* ifa = list; ifa != nullptr; ifa = ifa->ifa_next) {
    if (ifa->ifa_addr == nullptr || ifa->ifa_addr->sa_family != AF_INET) continue;
    if ((ifa->ifa_flags & IFF_UP) == 0) continue;
    char text[INET_ADDRSTRLEN] = {};
    const auto* in = reinterpret_cast<const sockaddr_in*>(ifa->ifa_addr);
    if (::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text) == nullptr) continue;
    auto& target = (ifa->ifa_flags & IFF_LOOPBACK) != 0 ? loopback : others;
    bool seen = false;
    for (const auto& a : target) seen = seen || a == text;
    if (!seen) target.emplace_back(text);
  }
  ::freeifaddrs(list);
  others.insert(others.end(), loopback.begin(), loopback.end());
  return others;
}

FolderMove MoveContentFolder(const std::string& from, const std::string& to,
                             const std::function<bool()>& saveNewFolder) {
  std::error_code ec;
  if (from.empty() || to.empty() || !fs::is_directory(from, ec)) return FolderMove::kFailed;
  const fs::path src = fs::weakly_canonical(from, ec);
  if (ec) return FolderMove::kFailed;
  const fs::path dst = fs::weakly_canonical(to, ec);
  if (ec) return FolderMove::kFailed;
  // Copying a folder into itself, or onto a folder that holds it, and then deleting the
  // old folder would delete the new copy too.
  if (IsWithin(dst, src) || IsWithin(src, dst)) return FolderMove::kFailed;
  if (fs::exists(fs::symlink_status(dst, ec))) {
    if (!fs::is_directory(dst, ec)) return FolderMove::kFailed;
    if (!fs::is_empty(dst, ec)) return ec ? FolderMove::kFailed : FolderMove::kNotEmpty;
  }

  // One file system: the folder changes its name and nothing is copied or deleted. An
  // empty destination folder is replaced; one filled in the meantime is refused.
  if (::rename(src.c_str(), dst.c_str()) == 0) {
    if (saveNewFolder()) return FolderMove::kMoved;
    // The settings still name the old folder: it gets its files back.
    return ::rename(dst.c_str(), src.c_str()) == 0 ? FolderMove::kFailed : FolderMove::kMoved;
  }
  if (errno == ENOTEMPTY || errno == EEXIST) return FolderMove::kNotEmpty;
  if (errno != EXDEV) return FolderMove::kFailed;

  fs::create_directories(dst, ec);
  if (ec) return FolderMove::kFailed;
  // Without an overwrite option a file that appeared in the destination fails the copy.
  fs::copy(src, dst, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
  if (ec || !saveNewFolder()) return FolderMove::kFailed;

  fs::path cwd = fs::current_path(ec);
  if (!ec && IsWithin(cwd, src)) {
    while (IsWithin(cwd, src) && cwd.has_parent_path() && cwd != cwd.parent_path()) cwd = cwd.parent_path();
    fs::current_path(cwd, ec);
  }
  fs::remove_all(src, ec);
  return FolderMove::kMoved;
}

CDlgOpcionServer::CDlgOpcionServer(ConfigStore& config, LogXML& log,
                                   const ResourceLibrary& resources, MessageSink messages,
                                   ServerPageHost& host, std::string exeFolder,
                                   AddressSource addresses)
    : config_(config),
      log_(log),
      resources_(resources),
      messages_(std::move(messages)),
      host_(host),
      exeFolder_(std::move(exeFolder)),
      addressSource_(std::move(addresses)) {}

bool CDlgOpcionServer::OnInitDialog() {
  // The socket library needs no start-up here; the host name is still asked for, since a
  // machine without one cannot name its addresses either.
  char host[128];
  if (::gethostname(host, sizeof host) != 0) {
    if (messages_) messages_("Error: 0x000002 ", resources_.String(res::kStrNoHostName));
    log_.WriteEntry("Impossible to get IP address!", kModule, kInitFunction);
    return false;
  }
  addresses_ = addressSource_ ? addressSource_() : std::vector<std::string>{};
  return true;
}

void CDlgOpcionServer::FillControls() {
  const std::string ip = config_.GetValue(kSection, "IP", "");
  selected_ = 0;
  if (!ip.empty()) {
    for (std::size_t i = 0; i < addresses_.size(); ++i)
      if (addresses_[i] == ip) selected_ = static_cast<int>(i);
  }
  portText_ = config_.GetValue(kSection, "PORT", "80");
  virtDir_ = config_.GetValue(kSection, "VIRTDIR", exeFolder_ + "/root");
  // The program filling the edits is no change notice: a reload must not turn the stored
  // digest into a "typed" password that the close would hash again.
  virtDirText_ = lastVirtDirText_ = virtDir_;
  virtDirEdited_ = false;
  userText_ = config_.GetValue(kSection, "USER", "");
  passwordText_ = config_.GetValue(kSection, "PASS", "");
  passwordEdited_ = false;
  phonePages_ = config_.GetValue(kSection, "ENABLEWAP", "FALSE") != "FALSE";
  addressChosen_ = false;
  read_ = {ip, portText_, virtDir_, userText_, passwordText_, phonePages_};
  appliedPort_ = portText_;
  appliedUser_ = userText_;
  digest_ = passwordText_;
  statePicture_ = kStatePictureStopped;
  loaded_ = true;
}

ServerSettings CDlgOpcionServer::Settings() const {
  return {SelectedAddress(), appliedPort_, virtDir_, appliedUser_, digest_, phonePages_};
}

std::string CDlgOpcionServer::SelectedAddress() const {
  if (selected_ < 0 || static_cast<std::size_t>(selected_) >= addresses_.size()) return {};
  return addresses_[static_cast<std::size_t>(selected_)];
}

std::string CDlgOpcionServer::PhonePagesText() const {
  return resources_.String(phonePages_ ? 158 : 159);
}

void CDlgOpcionServer::SetPasswordText(std::string text) {
  passwordText_ = std::move(text);
  passwordEdited_ = true;
}

void CDlgOpcionServer::SetVirtualDirectoryText(std::string text) {
  virtDirText_ = std::move(text);
  if (!virtDirText_.empty() && lastVirtDirText_.empty()) {
    lastVirtDirText_ = virtDirText_;  // the program filling the edit
  } else if (!lastVirtDirText_.empty()) {
    lastVirtDirText_ = virtDirText_;
    virtDirEdited_ = true;
  }
}

void CDlgOpcionServer::OnCommand(ServerCommand command, int item) {
  if (command == ServerCommand::kAddress) {
    if (item < 0 || item >= static_cast<int>(addresses_.size())) return;
    selected_ = item;
    addressChosen_ = true;
  } else {
    phonePages_ = command == ServerCommand::kPhonePagesOn;
  }
  host_.RestartServer();
}

void CDlgOpcionServer::OnFolderChosen(const std::string& folder) {
  if (!folder.empty() && folder != virtDir_) MoveTo(folder);
  SetVirtualDirectoryText(virtDir_);
  host_.RestartServer();
}

void CDlgOpcionServer::MoveTo(const std::string& folder) {
  // The new folder is saved as soon as the files are in it: a crash before the close must
  // not leave the settings naming a folder that is gone.
  const FolderMove result = MoveContentFolder(virtDir_, folder, [&] {
    return config_.SetValue(kSection, "VIRTDIR", folder) == ConfigStore::kOk;
  });
  if (result == FolderMove::kMoved) {
    virtDir_ = folder;
    read_.contentFolder = folder;
    return;
  }
  if (result == FolderMove::kNotEmpty) {
    if (messages_) messages_(resources_.String(res::kStrSettingsTitle), resources_.String(res::kStrFolderNotEmpty, folder));
  } else {
    log_.WriteEntry("No se ha movido el directorio virtual a " + folder, kModule, kMoveFunction);
  }
  SetVirtualDirectoryText(virtDir_);
}

void CDlgOpcionServer::OnEnter() {
  const long port = AtoL(portText_);
  // A negative number would wrap to a valid-looking 16-bit port, so it is refused too.
  if (port < 1 || port > 65535) {
    ShowMessage(res::kStrPortRefused, res::kStrSettingsTitle);
    return;
  }
  appliedPort_ = portText_;
  // The running server's user is the stored one, so a new user is stored when applied.
  if (userText_ != appliedUser_ && Store("USER", userText_)) appliedUser_ = userText_;
  if (passwordEdited_) {
    std::string digest;
    if (Utf8ToCp1252(passwordText_).size() < kMinPasswordLength) {
      ShowMessage(res::kStrPasswordTooShort, res::kStrSettingsTitle);
    } else if (!Digest(passwordText_, digest)) {
      // The old digest stays in force and stored: an empty one would lock the owner out.
      log_.WriteEntry("Imposible generar password");
    } else if (Store("PASS", digest)) {
      digest_ = digest;
      passwordText_ = digest;
      passwordEdited_ = false;
    }
  }
  if (virtDirEdited_ && virtDirText_ != virtDir_) MoveTo(virtDirText_);
  if (host_.ServerState() == ServerPhase::kRunning) host_.RestartServer();
}

bool CDlgOpcionServer::Store(const char* key, const std::string& value) {
  if (config_.SetValue(kSection, key, value) != ConfigStore::kOk) {
    log_.WriteEntry("No se han podido guardar los ajustes en " + config_.FileName(), kModule,
                    "CDlgOpcionServer::OnEnter");
    if (messages_)
      messages_(resources_.String(res::kStrSettingsTitle),
                resources_.String(res::kStrSettingsNotSaved, config_.FileName()));
    return false;
  }
  if (std::string_view(key) == "USER") read_.user = value;
  if (std::string_view(key) == "PASS") read_.passwordDigest = value;
  return true;
}

bool CDlgOpcionServer::SaveSettings() {
  // A page that never loaded its values (the program closing during start-up) would
  // overwrite good settings with empty ones.
  if (!loaded_) return true;
  // Only what the user changed here: the file may have been edited by hand since it was
  // read, and those values are the newer ones. The address shown for an empty or unknown
  // "IP" is the program's pick, not the user's.
  const auto write = [this](const char* key, const std::string& value, bool changed) {
    return !changed || config_.SetValue(kSection, key, value) == ConfigStore::kOk;
  };
  const std::string address = SelectedAddress();
  if (!write("IP", address, addressChosen_ && address != read_.address)) return false;
  if (!write("PORT", portText_, portText_ != read_.port)) return false;
  if (!write("VIRTDIR", virtDirText_, virtDirText_ != read_.contentFolder)) return false;
  write("ENABLEWAP", phonePages_ ? "TRUE" : "FALSE", phonePages_ != read_.phonePages);
  // A typed password is stored only by Enter, which checks its length: hashing it here
  // would store a password the owner was told was refused.
  return write("USER", userText_, userText_ != read_.user);
}

bool CDlgOpcionServer::Digest(const std::string& text, std::string& digest) const {
  // The digest is of the password's windows-1252 bytes, the form the settings file keeps.
  return Md5Hex(Utf8ToCp1252(text), digest);
}

void CDlgOpcionServer::ShowMessage(int textId, int captionId) const {
  if (messages_) messages_(resources_.String(captionId), resources_.String(textId));
}

}  // namespace orbiscope
