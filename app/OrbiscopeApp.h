#pragma once
// Process start-up: one instance, the settings file, the log, the resource library, then
// the main controller under one of the two front-ends.

#include <string>

namespace orbiscope {

class COrbiscopeApp {
public:
  struct Options {
    bool headless = false;
    std::string home;  // --home: the folder of settings, log and content instead of the program's
  };

  // Runs the program to its end; answers the process's exit code.
  int Run(const Options& options);

  // "orbiscope" of /opt/orbiscope/orbiscope: the caption of boxes without an owner.
  static constexpr const char* kAppName = "orbiscope";
};

// True when a window system is reachable (X11 or Wayland).
bool HaveDisplay();

}  // namespace orbiscope
