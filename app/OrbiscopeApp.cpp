#include "app/OrbiscopeApp.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "app/HeadlessFrontEnd.h"
#include "app/HomeFolder.h"
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

namespace {

// Fills a new or incomplete home from the installed defaults; false (after saying why) when
// the home cannot hold the program's files, since starting without the starter settings
// would serve on the open defaults.
bool PrepareHomeFolder(const std::string& home, const std::string& exeFolder,
                       const std::string& settings) {
  const std::string defaults = DefaultsFolder(exeFolder);
  const HomeReport report = PrepareHome(home, defaults, settings);
  if (!report.ok) {
    std::fprintf(stderr, "orbiscope: cannot prepare the home folder %s: %s\n", home.c_str(),
                 report.error.c_str());
    return false;
  }
  for (const std::string& name : report.created) {
    std::fprintf(stderr, "orbiscope: made %s/%s from %s\n", home.c_str(), name.c_str(),
                 defaults.c_str());
    if (name == settings)
      std::fprintf(stderr, "orbiscope: these starter settings use a camera password known to "
                           "everyone: change it (see the comments in that file)\n");
  }
  return true;
}

}  // namespace

int COrbiscopeApp::Run(const Options& options) {
  // A closed standard output or error (a log reader gone, a terminal closed) and a peer
  // gone from a socket must fail that write, not end the program.
  std::signal(SIGPIPE, SIG_IGN);

  if (!options.headless && (!options.window || !HaveDisplay())) {
    // Say what to do instead of failing inside the window system.
    std::fprintf(stderr, "%s",
                 options.window == nullptr
                     ? "orbiscope: this build has no desktop window.\n"
                       "Run \"orbiscope --headless\" to serve the camera without a window.\n"
                     : "orbiscope: no display is available for the window.\n"
                       "Run \"orbiscope --headless\" to serve the camera without a window.\n");
    return 2;
  }

  // A second copy leaves at once, touching neither the log nor the settings; it says why,
  // so that a lock it cannot use is not mistaken for a copy that runs.
  SingleInstance instance;
  if (!instance.Acquire()) {
    std::fprintf(stderr, "orbiscope: %s\n", instance.Refusal().c_str());
    return instance.HeldElsewhere() ? 0 : 1;
  }

  const std::string exe = ExecutablePath();
  const std::string folder = FolderOf(exe);
  // Settings, log, WebServer.config.xml and root/ live beside the program unless a home
  // is named; the files keep the program's name either way.
  const std::string home = ChosenHome(options.home, std::getenv("ORBISCOPE_HOME"));
  const std::string name = exe.substr(exe.rfind('/') + 1);
  const std::string filesFolder = home.empty() ? folder : home;
  const std::string filesBase = home.empty() ? exe : home + "/" + name;
  if (!home.empty() && !PrepareHomeFolder(home, folder, name + ".CONFIG.XML")) return 1;

  ConfigStore& config = TheConfig();
  config.SetFileName(filesBase + ".CONFIG.XML");
  config.SetMessageSink(PrintMessageToStderr);
  LogXML& log = TheLog();
  log.SetExecutablePath(filesBase);
  log.Open();  // without a log the program runs on

  ResourceLibrary resources;
  if (!resources.Load(folder + "/" + std::string(ResourceLibrary::kFileName))) {
    PrintMessageToStderr(kAppName, "Error loading " + std::string(ResourceLibrary::kFileName));
    return 1;
  }
  const int code = options.headless ? RunHeadless(config, log, resources, filesFolder)
                                    : options.window(config, log, resources, filesFolder);
  log.Close();
  return code;
}

}  // namespace orbiscope
