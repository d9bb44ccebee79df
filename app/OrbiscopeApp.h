#pragma once
// Process start-up: one instance, the settings file, the log, the resource library, then
// the main controller under one of the two front-ends.

#include <functional>
#include <string>

namespace orbiscope {

class ConfigStore;
class LogXML;
class ResourceLibrary;

// A front-end: runs the controller until it closes and answers the exit code.
using FrontEnd = std::function<int(ConfigStore& config, LogXML& log, const ResourceLibrary& resources,
                                   const std::string& exeFolder)>;

class COrbiscopeApp {
public:
  struct Options {
    bool headless = false;
    std::string home;  // --home: the folder of settings, log and content instead of the program's
    // The desktop window; empty in a build without one.
    FrontEnd window;
  };

  // Runs the program to its end; answers the process's exit code.
  int Run(const Options& options);

  // "orbiscope" of /opt/orbiscope/orbiscope: the caption of boxes without an owner.
  static constexpr const char* kAppName = "orbiscope";
};

// True when a window system is reachable (X11 or Wayland).
bool HaveDisplay();

}  // namespace orbiscope
