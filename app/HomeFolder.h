#pragma once
// The home folder: where the settings, the log, WebServer.config.xml and the default content
// folder live when they are not to sit beside the executable (a packaged program whose own
// folder is read-only, a service with its state under /var/lib).

#include <string>
#include <vector>

namespace orbiscope {

// Name of the starter settings among the installed defaults.
inline constexpr const char* kStarterSettingsName = "starter.CONFIG.XML";
// The caption of a new home when the machine's host name cannot be read or does not fit.
inline constexpr const char* kStarterCaption = "Orbiscope";

// The home named by the --home option, else by ORBISCOPE_HOME (`environment`, may be null),
// made absolute; empty when neither names one.
std::string ChosenHome(const std::string& option, const char* environment);

// The folder a new home is filled from: the executable's own folder in a self-contained
// install (it holds WebServer.config.xml), else the package's data folder
// <exeFolder>/../../share/orbiscope.
std::string DefaultsFolder(const std::string& exeFolder);

// What PrepareHome did.
struct HomeReport {
  bool ok = false;                    // the home holds every file the program needs
  std::string error;                  // why not, for the user
  std::vector<std::string> created;   // names made in the home, in the order made
};

// Creates `home` when missing and copies in what it lacks from `defaults`: WebServer.config.xml,
// Log.xsl, the content folder root/ (only when there is none) and `settingsName`, made from
// the starter settings with SERVER/VIRTDIR set to the home's root/ and readable by its owner
// only. Existing files are never touched; every file appears whole or not at all.
HomeReport PrepareHome(const std::string& home, const std::string& defaults,
                       const std::string& settingsName);

}  // namespace orbiscope
