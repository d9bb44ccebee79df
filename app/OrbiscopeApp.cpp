#include "app/OrbiscopeApp.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "app/HeadlessFrontEnd.h"
#include "app/SingleInstance.h"
#include "config/ConfigStore.h"
#include "log/LogXML.h"
#include "resources/ResourceLibrary.h"

namespace orbiscope {

bool HaveDisplay() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
}

int COrbiscopeApp::Run(const Options& options) {
  // A closed standard output or error (a log reader gone, a terminal closed) and a peer
  // gone from a socket must fail that write, not end the program.
  std::signal(SIGPIPE, SIG_IGN);

  if (!options.headless) {
    // Say what to do instead of failing inside the window system.
    std::fprintf(stderr, "%s",
                 HaveDisplay()
                     ? "orbiscope: this build has no desktop window yet.\n"
                       "Run \"orbiscope --headless\" to serve the camera without a window.\n"
                     : "orbiscope: no display is available for the window.\n"
                       "Run \"orbiscope --headless\" to serve the camera without a window.\n");
    return 2;
  }

  // A second copy leaves at once, touching neither the log nor the settings.
  SingleInstance instance;
  if (!instance.Acquire()) return 0;

  const std::string exe = ExecutablePath();
  const std::string folder = FolderOf(exe);
  ConfigStore& config = TheConfig();
  config.SetFileName(exe + ".CONFIG.XML");
  config.SetMessageSink(PrintMessageToStderr);
  LogXML& log = TheLog();
  log.SetExecutablePath(exe);
  log.Open();  // without a log the program runs on

  ResourceLibrary resources;
  if (!resources.Load(folder + "/" + std::string(ResourceLibrary::kFileName))) {
    PrintMessageToStderr(kAppName, "Error loading " + std::string(ResourceLibrary::kFileName));
    return 1;
  }
  const int code = RunHeadless(config, log, resources, folder);
  log.Close();
  return code;
}

}  // namespace orbiscope
