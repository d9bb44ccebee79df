#pragma once
// Glossary: CDlgOpcionServer ("options dialog: server") is the page's model, without widgets.
// The server page: address, port, content folder, camera user and password, phone pages.
//
// This class is the page without widgets. The desktop front-end puts a view over it that
// forwards the user's edits and commands; the headless front-end uses it as it is. The
// main controller starts the web server with the page's Settings(), never its edit texts:
// a half-typed or refused password must not become the camera's digest.

#include <functional>
#include <string>
#include <vector>

#include "config/ConfigStore.h"
#include "config/MessageSink.h"
#include "log/LogXML.h"
#include "resources/ResourceLibrary.h"

namespace orbiscope {

// Whether the web server runs.
enum class ServerPhase { kStopped, kRunning };

// What the page asks of the main controller.
class ServerPageHost {
public:
  virtual ~ServerPageHost() = default;
  virtual ServerPhase ServerState() const = 0;
  // Stop capture, stop the server, start it again and, when that works, start capture.
  virtual void RestartServer() = 0;
};

// The machine's IPv4 addresses of interfaces that are up: others first, loopback last.
std::vector<std::string> LocalIPv4Addresses();

// How moving the content folder ended.
enum class FolderMove {
  kMoved,        // the files are in the new folder and the new folder is saved
  kNotEmpty,     // the destination holds something: nothing was touched
  kFailed,       // refused or failed; the old folder is whole and still the one in use
};

// Moves the content folder `from` to `to`, which must not exist or be an empty folder, so
// that no file is ever overwritten. One file system: rename(2). Otherwise a copy, then
// `saveNewFolder`, and only when that succeeds is `from` deleted; when the copy or the
// save fails, files already copied stay and `from` is kept. Refuses when either folder
// lies inside the other or they are the same, and when `from` is not a folder.
FolderMove MoveContentFolder(const std::string& from, const std::string& to,
                             const std::function<bool()>& saveNewFolder);

// What the web server runs with: the values read from the settings file, and what the
// user has applied since (an address or phone-pages choice, a folder move, Enter).
// The page's menu choices.
enum class ServerCommand {
  kAddress,        // an address of the list, by its index
  kPhonePagesOn,
  kPhonePagesOff,
};

struct ServerSettings {
  std::string address;         // empty when the machine lists none
  std::string port;            // text, as the file keeps it
  std::string contentFolder;
  std::string user;
  std::string passwordDigest;  // 32 upper-case hexadecimal digits; empty lets nobody in
  bool phonePages = false;
};

class CDlgOpcionServer {
public:
  using AddressSource = std::function<std::vector<std::string>()>;

  static constexpr int kStatePictureStopped = 206;
  static constexpr int kStatePictureRunning = 207;

  // `exeFolder` is the executable's folder; the default content folder is its "root".
  CDlgOpcionServer(ConfigStore& config, LogXML& log, const ResourceLibrary& resources,
                   MessageSink messages, ServerPageHost& host, std::string exeFolder,
                   AddressSource addresses = LocalIPv4Addresses);

  // Lists the machine's addresses; false when the page cannot work.
  bool OnInitDialog();
  // Loads the "SERVER" settings into the page. Filling is never an edit: a reload followed
  // by a close writes nothing back.
  void FillControls();
  // The server state changed: the page shows it.
  void SetServerState(ServerPhase state) {
    statePicture_ = state == ServerPhase::kRunning ? kStatePictureRunning : kStatePictureStopped;
  }
  // Writes the keys the user changed in the page since it was filled; every other key keeps
  // what the file holds now. The password is stored only by an accepted Enter. False when
  // a write failed.
  bool SaveSettings();

  // What StartServer starts the server with.
  ServerSettings Settings() const;

  // The selected address (empty when none) and the edits as the user sees them.
  std::string SelectedAddress() const;
  const std::string& PortText() const { return portText_; }
  const std::string& VirtualDirectoryText() const { return virtDirText_; }
  const std::string& UserText() const { return userText_; }
  const std::string& PasswordText() const { return passwordText_; }
  bool PhonePages() const { return phonePages_; }

  const std::vector<std::string>& Addresses() const { return addresses_; }
  int SelectedIndex() const { return selected_; }
  const std::string& VirtualDirectory() const { return virtDir_; }
  int StatePicture() const { return statePicture_; }
  // The text of the phone-pages display.
  std::string PhonePagesText() const;
  bool PasswordEdited() const { return passwordEdited_; }

  // Edits made by the user (each raises the edit's change notice as a widget would).
  void SetPortText(std::string text) { portText_ = std::move(text); }
  void SetUserText(std::string text) { userText_ = std::move(text); }
  void SetPasswordText(std::string text);
  void SetVirtualDirectoryText(std::string text);

  // Menu and button commands.
  void OnCommand(ServerCommand command, int item = 0);  // item: the address's index
  void OnFolderChosen(const std::string& folder);  // the folder picker was confirmed
  void OnEnter();                         // the Enter key

private:
  bool Digest(const std::string& text, std::string& digest) const;
  void ShowMessage(int textId, int captionId) const;
  void MoveTo(const std::string& folder);
  // Writes one key at once (Enter); on failure the user is told and false is answered.
  bool Store(const char* key, const std::string& value);

  ConfigStore& config_;
  LogXML& log_;
  const ResourceLibrary& resources_;
  MessageSink messages_;
  ServerPageHost& host_;
  std::string exeFolder_;
  AddressSource addressSource_;

  std::vector<std::string> addresses_;
  int selected_ = 0;
  std::string virtDir_;
  std::string lastVirtDirText_;
  bool phonePages_ = false;
  bool passwordEdited_ = false;
  bool virtDirEdited_ = false;
  bool addressChosen_ = false;
  bool loaded_ = false;
  int statePicture_ = kStatePictureStopped;

  std::string portText_;
  std::string virtDirText_;
  std::string userText_;
  std::string passwordText_;

  // The file's values as last read or written by the page: a close writes only what
  // differs from them, so a hand edit of any other key survives.
  ServerSettings read_;
  // Applied by Enter: the server runs with these, not with the edits.
  std::string appliedPort_;
  std::string appliedUser_;
  std::string digest_;
};

}  // namespace orbiscope
